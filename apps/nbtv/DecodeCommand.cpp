// nbtv decode: recorded audio (a file, a pipe or standard input) through one receive session;
// every picture that counts into PNG files, an AVI file and/or a frame file.

#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "Commands.h"
#include "DecodeOutputs.h"
#include "DecodeRequest.h"
#include "Progress.h"
#include "core/FineTuneScale.h"
#include "io/RecordingSource.h"
#include "session/ReceiveSession.h"

namespace nbtv::cli {

namespace {

// The session set as the command line asks, before its first block.
void setUp(ReceiveSession& session, const DecodeRequest& request) {
    Receiver& receiver = session.receiver();
    receiver.keepScopeHistories(false); // no scope or monitor strip to show here
    receiver.keepMonitor(false);
    receiver.keepFilteredPlanes(request.noiseFilter.has_value()); // the filter never changes
    ReceiverSettings& settings = session.settings();
    settings.colourMode = request.mono ? 0 : 1;
    if (request.fineTuneHz) {
        writeFineTune(settings, session.profile(), *request.fineTuneHz);
    }
    receiver.setCalibration(request.rateOffset);
    if (request.noiseFilter) {
        settings.noiseFilterOn = 1;
        settings.noiseFilterWeights = *request.noiseFilter;
    }
    settings.brightness = request.brightness;
    settings.contrast = request.contrast;
    if (request.monitorPress) {
        receiver.pressMonitor(*request.monitorPress);
    }
    if (request.scopePress) {
        receiver.pressPilotScope(*request.scopePress);
    }
    // The enhanced picture takes the ordinary picture's place in every output; its fit uses
    // the second core.
    session.setEnhancedSecondThread(true);
    session.setEnhanced(request.enhanced, request.denoise);
    // --auto: the fine tune and the sound card's rate follow the signal from the first block,
    // and the frame phase is searched over the first frames.
    if (request.automatic) {
        session.tuner().setFineTune(true);
        session.tuner().setCalibration(true);
        session.tuner().findFramePhase();
    }
}

// A WAV input shorter than its header says is told once on standard error: at the start for a
// file, at the end for a stream (only then is its length known).
class ShortfallNotice {
  public:
    explicit ShortfallNotice(const RecordingSource& source) : source_(source) {}
    void tellIfKnown() {
        const auto shortfall = source_.shortfall();
        if (!shortfall || told_) {
            return;
        }
        told_ = true;
        std::fprintf(stderr,
                     "nbtv: %s is shorter than its header says (%llu bytes of samples, not "
                     "%llu): decoding what it holds\n",
                     source_.name().c_str(),
                     static_cast<unsigned long long>(shortfall->presentBytes),
                     static_cast<unsigned long long>(shortfall->declaredBytes));
    }

  private:
    const RecordingSource& source_;
    bool told_ = false;
};

// Every block of the source through the session, then its end; returns the samples read.
std::uint64_t receiveAll(ReceiveSession& session, RecordingSource& source, ProgressLine& progress,
                         const DecodeOutputs& outputs) {
    std::uint64_t samples = 0;
    std::vector<std::int16_t> block;
    for (;;) {
        // The block length follows the calibration: an automatic one may change it.
        const auto blockLength = static_cast<std::size_t>(session.settings().blockLength);
        block.resize(blockLength);
        const std::size_t got = source.produce(block);
        if (got < blockLength && !source.error().empty()) {
            throw RunError(source.error());
        }
        samples += got;
        if (got < blockLength) {
            session.finish(std::span(block).first(got));
            return samples;
        }
        session.processBlock(block);
        progress.update(samples, outputs.pictures());
    }
}

} // namespace

int runDecode(const std::vector<std::string>& args) {
    const Arguments arguments(args, decodeOptions());
    const ReceiverProfile& profile = programOption(arguments);
    const DecodeRequest request = readDecodeRequest(arguments, profile);
    DecodeOutputs outputs(request, profile); // checked before any work starts

    RecordingSource source;
    if (!source.open(request.input, profile.sampleRate, request.raw)) {
        throw RunError(source.error());
    }
    ShortfallNotice shortfall(source);
    shortfall.tellIfKnown();
    outputs.open();

    ReceiveSession session(profile);
    setUp(session, request);
    session.setPictureListener(
        [&](const SessionPicture& picture) { outputs.add(picture.surface); });
    ProgressLine progress(progressShown(request.quiet), profile.sampleRate, source.length());
    const std::uint64_t samples = receiveAll(session, source, progress, outputs);
    if (samples == 0) {
        throw RunError(source.name() + " holds no audio");
    }
    shortfall.tellIfKnown();
    outputs.finish();
    progress.finish(samples, outputs.pictures());

    if (!request.quiet) {
        std::fprintf(stderr, "nbtv: %d picture%s from %s\n", outputs.pictures(),
                     outputs.pictures() == 1 ? "" : "s", source.name().c_str());
    }
    if (request.automatic) {
        // What the tuning found, for the next decode of the same station or sound card (also
        // with --quiet: it is what --auto was asked for).
        const ReceiverSettings& settings = session.settings();
        // "colours=guess" when the frame phase's colour order is only a guess (a grey picture,
        // or colours that fit several orders): rotate them with a --phase-click a field on.
        std::fprintf(stderr, "auto: fine-tune=%.3f rate-offset=%.6f phase-block=%d%s\n",
                     static_cast<double>(settings.fineTuneHz), settings.sampleRateOffset,
                     session.tuner().phaseBlock(session.receiver().tunerAccess()),
                     session.tuner().colourGuess() ? " colours=guess" : "");
    }
    return 0;
}

} // namespace nbtv::cli
