// PSNR against the sent card of the third received picture (of four sent), ordinary path against
// the enhanced path with and without shrinkage, for every program and mode, test card and noise
// level.
//
//   build/release/bench/enhanced_quality [bars|ramp|detail]

#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "enhance/EnhancedReceiver.h"
#include "profiles/ReceiverProfile.h"
#include "session/ReceiveSession.h"
#include "session/Receiver.h"
#include "support/Reception.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace {

using namespace nbtv;

struct Pictures {
    std::vector<RgbImage> ordinary;
    std::vector<RgbImage> enhanced;
};

Pictures receive(const ReceiverProfile& profile, const std::vector<std::int16_t>& signal, bool mono,
                 bool denoise) {
    ReceiveSession session(profile);
    Receiver& receiver = session.receiver();
    receiver.keepScopeHistories(false);
    receiver.settings().colourMode = mono ? 0 : 1;
    session.setEnhanced(true, denoise);
    Pictures out;
    session.setPictureListener(
        [&](const SessionPicture& picture) { out.enhanced.push_back(*picture.picture); });
    for (std::size_t at = 0; at + 768 <= signal.size(); at += 768) {
        if (session.processBlock(std::span(signal).subspan(at, 768)).frameCompleted) {
            out.ordinary.push_back(
                toRgbImage(receiver.pictureSurface(), profile.geometry.pictureCrop));
        }
    }
    session.finish();
    return out;
}

} // namespace

int main(int argc, char** argv) {
    TestCardKind kind = TestCardKind::Bars;
    if (argc > 1 && std::strcmp(argv[1], "ramp") == 0) {
        kind = TestCardKind::Ramp;
    } else if (argc > 1 && std::strcmp(argv[1], "detail") == 0) {
        kind = TestCardKind::Detail;
    }
    const std::vector<std::optional<double>> noise{std::nullopt, 30.0, 20.0, 10.0, 5.0};
    std::printf("%-18s %-9s %8s %8s %8s %8s %8s\n", "program", "path", "clean", "SNR 30", "SNR 20",
                "SNR 10", "SNR 5");
    for (const ReceiverProfile* profile :
         {&nbtv48Profile(), &nbtv96Profile(), &nbtv96rggbProfile()}) {
        for (bool mono : {false, true}) {
            if (mono && !profile->hasMonochrome) {
                continue;
            }
            const RgbImage card =
                makeTestCard(kind, profile->pictureColumns, profile->pictureLines);
            const RgbImage sent = mono ? test::luminance(card) : card;
            double rows[3][5] = {};
            for (std::size_t i = 0; i < noise.size(); ++i) {
                TransmitOptions options;
                options.mono = mono;
                options.frames = mono ? 4 * profile->fieldsPerFrame : 4;
                options.channel.snrDb = noise[i];
                options.channel.seed = 3;
                const auto signal = transmit(*profile, card, options);
                const Pictures plain = receive(*profile, signal, mono, false);
                const Pictures shrunk = receive(*profile, signal, mono, true);
                rows[0][i] = plain.ordinary.size() > 2
                                 ? test::psnr(plain.ordinary[2], test::enlarge(sent, 3))
                                 : NAN;
                rows[1][i] = plain.enhanced.size() > 2 ? test::psnr(plain.enhanced[2], sent) : NAN;
                rows[2][i] =
                    shrunk.enhanced.size() > 2 ? test::psnr(shrunk.enhanced[2], sent) : NAN;
            }
            const char* names[3] = {"ordinary", "enhanced", "+denoise"};
            for (int r = 0; r < 3; ++r) {
                std::printf("%-18s %-9s", (profile->name + (mono ? " mono" : " colour")).c_str(),
                            names[r]);
                for (double v : rows[r]) {
                    std::printf(" %8.2f", v);
                }
                std::printf("\n");
            }
        }
    }
    return 0;
}
