// Pictures sent through the transmitter and received by the whole receive chain.

#include <gtest/gtest.h>

#include <cstring>

#include "profiles/ReceiverProfile.h"
#include "support/Reception.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace nbtv {
namespace {

constexpr int frames = 3;

struct Sent {
    RgbImage card;
    std::vector<std::int16_t> signal;
};

Sent send(TestCardKind kind, bool mono, ChannelImpairments channel = {}, int count = frames) {
    const ReceiverProfile& profile = nbtv48Profile();
    Sent sent;
    sent.card = makeTestCard(kind, profile.pictureColumns, profile.pictureLines);
    TransmitOptions options;
    options.mono = mono;
    options.frames = mono ? 3 * count : count;
    options.channel = channel;
    sent.signal = transmit(profile, sent.card, options);
    return sent;
}

// The card as the received picture should look: 3 x 3 pixels a pixel, grey in mono.
RgbImage expected(const Sent& sent, bool mono) {
    return test::enlarge(mono ? test::luminance(sent.card) : sent.card, 3);
}

std::vector<RgbImage> receive(const Sent& sent, bool mono,
                              const std::function<void(Receiver&)>& setUp = {}) {
    Receiver receiver(nbtv48Profile());
    receiver.settings().colourMode = mono ? 0 : 1;
    if (setUp) {
        setUp(receiver);
    }
    return test::receive(receiver, sent.signal);
}

// The worst match of the pictures after the first, whose first columns were received before
// the signal began.
double worstPsnr(const std::vector<RgbImage>& pictures, const RgbImage& reference) {
    double worst = INFINITY;
    for (std::size_t i = 1; i < pictures.size(); ++i) {
        worst = std::min(worst, test::psnr(pictures[i], reference));
    }
    return worst;
}

TEST(RoundTrip, EveryCardComesBackInColourAndMono) {
    // The receiver softens every edge (a discriminator value spans two picture columns and
    // the picture is smoothed horizontally), so one-pixel stripes and checks come back grey:
    // the detail card is held to a lower bound than the bars and the ramp.
    struct Case {
        TestCardKind kind;
        bool mono;
        double atLeast;
    };
    for (Case c :
         {Case{TestCardKind::Bars, false, 18.0}, Case{TestCardKind::Bars, true, 22.0},
          Case{TestCardKind::Ramp, false, 23.0}, Case{TestCardKind::Ramp, true, 23.0},
          Case{TestCardKind::Detail, false, 10.0}, Case{TestCardKind::Detail, true, 11.0}}) {
        const Sent sent = send(c.kind, c.mono);
        const auto pictures = receive(sent, c.mono);
        ASSERT_EQ(pictures.size(), std::size_t(c.mono ? 3 * frames : frames));
        EXPECT_GE(worstPsnr(pictures, expected(sent, c.mono)), c.atLeast)
            << "card " << static_cast<int>(c.kind) << " mono " << c.mono;
    }
}

TEST(RoundTrip, ColoursLandInTheirFieldsWithoutAClick) {
    const Sent sent = send(TestCardKind::Bars, false);
    const auto pictures = receive(sent, false);
    ASSERT_GE(pictures.size(), 2u);
    const RgbImage& picture = pictures[1];
    // Middle of each bar (6 card columns a bar, 18 picture columns), middle row.
    const int expectedColours[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                       {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
    for (int bar = 0; bar < 8; ++bar) {
        const std::uint8_t* p = picture.pixel(bar * 18 + 9, 70);
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(p[c], expectedColours[bar][c], 40) << "bar " << bar << " channel " << c;
        }
    }
}

TEST(RoundTrip, NoiseCostsQualityAndTheNoiseFilterWinsSomeBack) {
    ChannelImpairments noisy;
    noisy.snrDb = 6.0;
    noisy.seed = 5;
    const Sent sent = send(TestCardKind::Bars, false, noisy, 8);
    const Sent clean = send(TestCardKind::Bars, false, {}, 8);
    const RgbImage reference = expected(sent, false);
    const double cleanQuality = worstPsnr(receive(clean, false), reference);
    const double noisyQuality = worstPsnr(receive(sent, false), reference);
    const auto filtered = receive(sent, false, [](Receiver& r) {
        r.settings().noiseFilterOn = 1;
        r.settings().noiseFilterWeights = lightFilter;
    });
    const double filteredQuality = test::psnr(filtered.back(), reference);
    EXPECT_LT(noisyQuality, cleanQuality - 2.0);
    EXPECT_GE(noisyQuality, 12.0);
    EXPECT_GT(filteredQuality, noisyQuality + 1.5); // once the filter has settled
}

TEST(RoundTrip, FineTuneCorrectsAFrequencyOffset) {
    ChannelImpairments shifted;
    shifted.frequencyOffsetHz = 3.0;
    const Sent sent = send(TestCardKind::Ramp, false, shifted);
    const auto clean = receive(send(TestCardKind::Ramp, false), false);
    const auto uncorrected = receive(sent, false);
    const auto corrected =
        receive(sent, false, [](Receiver& r) { r.settings().fineTuneHz = -3.0f; });
    ASSERT_EQ(corrected.size(), clean.size());
    const double correctedMatch = test::psnr(corrected.back(), clean.back());
    EXPECT_GE(correctedMatch, 30.0);
    EXPECT_LT(test::psnr(uncorrected.back(), clean.back()), correctedMatch - 15.0);
}

TEST(RoundTrip, CalibrationCorrectsASampleRateError) {
    ChannelImpairments slow;
    slow.rateError = 0.005;
    const Sent sent = send(TestCardKind::Bars, false, slow);
    const RgbImage reference = expected(sent, false);
    const auto corrected = receive(sent, false, [](Receiver& r) { r.setCalibration(0.005); });
    ASSERT_EQ(corrected.size(), std::size_t(frames));
    const auto uncorrected = receive(sent, false);
    EXPECT_GE(worstPsnr(corrected, reference), 18.0);
    EXPECT_LT(test::psnr(uncorrected.back(), reference), worstPsnr(corrected, reference) - 3.0);
}

TEST(RoundTrip, FastPathGivesTheLiteralPictures) {
    ChannelImpairments channel;
    channel.snrDb = 25.0;
    channel.frequencyOffsetHz = -2.2;
    channel.rateError = -0.004;
    const Sent sent = send(TestCardKind::Detail, false, channel);
    auto setUp = [](Receiver& r) {
        r.setCalibration(-0.004);
        r.settings().fineTuneHz = 2.2f;
        r.settings().noiseFilterOn = 1;
    };
    Receiver fast(nbtv48Profile());
    Receiver literal(nbtv48Profile());
    literal.setLiteral(true);
    setUp(fast);
    setUp(literal);
    const auto a = test::receive(fast, sent.signal);
    const auto b = test::receive(literal, sent.signal);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].rgb, b[i].rgb) << "picture " << i;
    }
    EXPECT_EQ(fast.monitorSurface().pixels, literal.monitorSurface().pixels);
    EXPECT_EQ(fast.pictures().scopeHistory, literal.pictures().scopeHistory);
}

} // namespace
} // namespace nbtv
