// The column-synchronous path end to end: test cards through the transmitter, received by the
// ordinary receiver with the enhanced receiver following it, compared with the card.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <ostream>
#include <span>
#include <string>

#include "enhance/EnhancedReceiver.h"
#include "io/ImageFile.h"
#include "profiles/ReceiverProfile.h"
#include "session/ReceiveSession.h"
#include "session/Receiver.h"
#include "support/Reception.h"
#include "support/TuningSupport.h"
#include "tuning/AutoTuner.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace nbtv {
namespace {

struct Reception {
    std::vector<RgbImage> enhanced;
    std::vector<RgbImage> ordinary;
    double columnPhase = 0.0;
};

struct Options {
    bool mono = false;
    bool denoise = false;
    double sampleRateOffset = 0.0;
    float fineTuneHz = 0.0f;
    bool secondThread = false;
};

Reception receiveBoth(const ReceiverProfile& profile, std::span<const std::int16_t> signal,
                      const Options& options) {
    ReceiveSession session(profile);
    Receiver& receiver = session.receiver();
    receiver.settings().colourMode = options.mono ? 0 : 1;
    receiver.setCalibration(options.sampleRateOffset);
    receiver.settings().fineTuneHz = options.fineTuneHz;
    session.setEnhancedSecondThread(options.secondThread);
    session.setEnhanced(true, options.denoise);
    Reception out;
    session.setPictureListener(
        [&](const SessionPicture& picture) { out.enhanced.push_back(*picture.picture); });
    const auto length = static_cast<std::size_t>(receiver.settings().blockLength);
    for (std::size_t at = 0; at + length <= signal.size(); at += length) {
        if (session.processBlock(signal.subspan(at, length)).frameCompleted) {
            out.ordinary.push_back(
                toRgbImage(receiver.pictureSurface(), profile.geometry.pictureCrop));
        }
    }
    session.finish();
    out.columnPhase = session.enhancedReceiver()->columnPhase();
    return out;
}

RgbImage sentPicture(const RgbImage& card, bool mono) {
    return mono ? test::luminance(card) : card;
}

std::vector<std::int16_t> send(const ReceiverProfile& profile, const RgbImage& card, bool mono,
                               int frames, ChannelImpairments channel = {}) {
    TransmitOptions options;
    options.mono = mono;
    options.frames = mono ? profile.fieldsPerFrame * frames : frames;
    options.channel = channel;
    return transmit(profile, card, options);
}

struct Mode {
    const ReceiverProfile& (*profile)();
    bool mono;
};

void PrintTo(const Mode& mode, std::ostream* out) {
    *out << mode.profile().name << (mode.mono ? " mono" : " colour");
}

class EnhancedRoundTrip : public ::testing::TestWithParam<Mode> {};

// A clean signal comes back all but exactly: every picture after the first (whose start was
// on air before the recording began) matches the card, in every program and mode, and the
// enhanced picture count follows the ordinary path's.
TEST_P(EnhancedRoundTrip, CleanSignalGivesTheCardBack) {
    const ReceiverProfile& profile = GetParam().profile();
    const bool mono = GetParam().mono;
    const RgbImage card =
        makeTestCard(TestCardKind::Bars, profile.pictureColumns, profile.pictureLines);
    const std::vector<std::int16_t> signal = send(profile, card, mono, 3);
    const Reception got = receiveBoth(profile, signal, {.mono = mono});

    ASSERT_EQ(got.enhanced.size(), got.ordinary.size());
    ASSERT_GE(got.enhanced.size(), 3u);
    const RgbImage expected = sentPicture(card, mono);
    for (std::size_t i = 1; i + 1 < got.enhanced.size(); ++i) {
        EXPECT_GE(test::psnr(got.enhanced[i], expected), 55.0) << "picture " << i;
    }
    // The transmitter's columns begin 555 samples before the recording's first sample.
    const double phase = std::fmod(std::fmod(got.columnPhase, 256.0) + 256.0, 256.0);
    EXPECT_NEAR(phase, 555.0 - 512.0, 1.0);
    if (profile.pictureScheme == PictureScheme::Rggb) {
        // RGGB sends a pair of lines' red and blue as the pair's mean: a photograph's colour
        // detail between the lines comes back from its green (shown as the pair's mean on both
        // lines, this one gave 29.2 dB; 34.2 now).
        RgbImage photo;
        std::string error;
        ASSERT_TRUE(loadImageScaled(std::string(NBTV_PHOTO_DIR) + "/96x72/picture1a.png", 96, 72,
                                    photo, error))
            << error;
        const Reception sent = receiveBoth(profile, send(profile, photo, false, 3), {});
        ASSERT_GE(sent.enhanced.size(), 3u);
        for (std::size_t i = 1; i + 1 < sent.enhanced.size(); ++i) {
            EXPECT_GE(test::psnr(sent.enhanced[i], photo), 32.0) << "photograph, picture " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, EnhancedRoundTrip,
                         ::testing::Values(Mode{nbtv48Profile, false}, Mode{nbtv48Profile, true},
                                           Mode{nbtv96Profile, false}, Mode{nbtv96Profile, true},
                                           Mode{nbtv96rggbProfile, false}));

// The ordinary path's calibration and fine tune carry over: a recording 0.5 % slow and 3 Hz
// high comes back as cleanly once they are set.
TEST(EnhancedReceiver, FollowsCalibrationAndFineTune) {
    const ReceiverProfile& profile = nbtv48Profile();
    const RgbImage card = makeTestCard(TestCardKind::Ramp, 48, 48);
    ChannelImpairments channel;
    channel.frequencyOffsetHz = 3.0;
    channel.rateError = 0.005;
    const auto signal = send(profile, card, false, 4, channel);
    const Reception tuned =
        receiveBoth(profile, signal, {.sampleRateOffset = 0.005, .fineTuneHz = -3.0f});
    ASSERT_GE(tuned.enhanced.size(), 3u);
    EXPECT_GE(test::psnr(tuned.enhanced[1], card), 55.0);
    EXPECT_GE(test::psnr(tuned.enhanced[2], card), 55.0);

    const Reception untuned = receiveBoth(profile, signal, {});
    ASSERT_GE(untuned.enhanced.size(), 3u);
    EXPECT_LT(test::psnr(untuned.enhanced[2], card), 30.0);
}

// With the automatic tuning finding the fine tune and the rate as it goes (as a user's
// receiver would), the enhanced picture settles on the sent picture: the column phase is
// searched again as the tuning moves (a phase found while it was on its way can sit in the wrong
// valley of the residual, a picture near the ordinary one's 25 dB), tracked while the rate
// estimate settles, and the frames' ends find the columns where fields meet. Also a photograph
// joined part-way into a frame, and through static crashes: those had thrown the rate's
// estimate about while it settled, the pilot's offset measured next to them with it, and left
// frames fitted with those poorer rates in the crashes' repairs (40 to 50 dB until picture 7).
TEST(EnhancedReceiver, FollowsTheAutomaticTuning) {
    const ReceiverProfile& profile = nbtv48Profile();
    RgbImage ladybird;
    RgbImage wood;
    std::string error;
    ASSERT_TRUE(loadImageScaled(std::string(NBTV_PHOTO_DIR) + "/48x48/ladybird.png", 48, 48,
                                ladybird, error))
        << error;
    ASSERT_TRUE(
        loadImageScaled(std::string(NBTV_PHOTO_DIR) + "/48x48/wood.png", 48, 48, wood, error))
        << error;
    struct Case {
        RgbImage photo;
        double offsetHz;
        double rateError;
        int frames;
        std::size_t skip;
        std::size_t firstChecked;
        bool findPhase; // joined part-way: the frame phase is found too
        double crashesPerSecond = 0.0;
        double least = 40.0; // the least PSNR of a picture checked
    };
    const Case cases[] = {{test::syntheticPhoto(48, 48, 5), 4.3, 0.003, 10, 0, 7, false},
                          {ladybird, 7.3, 0.0013, 13, 30 * 768 + 23, 8, true},
                          // Columns on air that begin just before the calibration's retune: a
                          // search whose candidates straddle the retune missed them.
                          {wood, 7.3, 0.0013, 13, 27 * 768 + 214, 8, true},
                          {ladybird, 7.3, 0.0013, 9, 0, 4, false, 0.5, 55.0},
                          {wood, 0.0, 0.0, 7, 0, 4, false, 0.5, 55.0}};
    for (const Case& c : cases) {
        ChannelImpairments channel;
        channel.frequencyOffsetHz = c.offsetHz;
        channel.rateError = c.rateError;
        channel.crashesPerSecond = c.crashesPerSecond;
        channel.seed = 5;
        TransmitOptions options;
        options.frames = c.frames;
        options.channel = channel;
        const std::vector<std::int16_t> full = transmit(profile, c.photo, options);
        const std::span<const std::int16_t> signal = std::span(full).subspan(c.skip);
        // With a second thread the fit runs behind the samples and fits ahead: the same
        // pictures, bit for bit.
        std::vector<RgbImage> alone;
        for (const bool second : {false, true}) {
            ReceiveSession session(profile);
            session.setEnhancedSecondThread(second);
            Receiver& receiver = session.receiver();
            session.tuner().setFineTune(true);
            session.tuner().setCalibration(true);
            if (c.findPhase) {
                session.tuner().findFramePhase();
            }
            session.setEnhanced(true, true);
            std::vector<RgbImage> pictures;
            session.setPictureListener(
                [&](const SessionPicture& picture) { pictures.push_back(*picture.picture); });
            for (std::size_t at = 0;;) {
                const auto length = static_cast<std::size_t>(receiver.settings().blockLength);
                if (at + length > signal.size()) {
                    break;
                }
                session.processBlock(signal.subspan(at, length));
                at += length;
            }
            const std::size_t received = pictures.size(); // keeping up
            session.finish();
            if (second) {
                ASSERT_EQ(pictures.size(), alone.size());
                for (std::size_t i = 0; i < pictures.size(); ++i) {
                    EXPECT_EQ(pictures[i].rgb, alone[i].rgb) << "picture " << i;
                }
                continue;
            }
            ASSERT_GE(received, c.firstChecked + 2);
            EXPECT_NEAR(receiver.settings().sampleRateOffset, c.rateError, 1e-4);
            for (std::size_t i = c.firstChecked; i < received; ++i) {
                EXPECT_GE(test::psnr(pictures[i], c.photo), c.least)
                    << "picture " << i << " of " << received;
            }
            alone = pictures;
        }
    }
}

// With noise the denoised enhanced picture is never worse than the ordinary path's, and on a
// weak signal the shrinkage helps a lot.
TEST(EnhancedReceiver, NoisySignalBeatsTheOrdinaryPath) {
    const ReceiverProfile& profile = nbtv48Profile();
    const RgbImage card = makeTestCard(TestCardKind::Bars, 48, 48);
    for (double snr : {20.0, 8.0}) {
        const auto signal = send(profile, card, false, 3, {.snrDb = snr, .seed = 11});
        const Reception plain = receiveBoth(profile, signal, {});
        const Reception denoised = receiveBoth(profile, signal, {.denoise = true});
        ASSERT_GE(plain.enhanced.size(), 3u);
        ASSERT_GE(denoised.enhanced.size(), 3u);
        const double ordinary = test::psnr(plain.ordinary[2], test::enlarge(card, 3));
        const double enhanced = test::psnr(denoised.enhanced[2], card);
        EXPECT_GT(enhanced, ordinary) << "SNR " << snr;
        if (snr < 10.0) {
            EXPECT_GT(enhanced, test::psnr(plain.enhanced[2], card) + 3.0) << "SNR " << snr;
        }
    }
}

// A drifting radio received with the settings fixed: the ordinary picture drifts off its levels,
// the enhanced one follows the drift from the pilots and with noise is as good as without drift,
// not pulled toward the ordinary picture that its fit's noise would otherwise make it trust.
TEST(EnhancedReceiver, DriftWithNoiseKeepsTheEnhancedPictureOffTheOrdinaryOne) {
    const ReceiverProfile& profile = nbtv96Profile();
    RgbImage photo;
    std::string error;
    ASSERT_TRUE(
        loadImageScaled(std::string(NBTV_PHOTO_DIR) + "/96x72/bridge.png", 96, 72, photo, error))
        << error;
    ChannelImpairments steady{.snrDb = 20.0, .seed = 11};
    ChannelImpairments drifting = steady;
    drifting.driftHzPerMinute = 2.0;
    const Reception still =
        receiveBoth(profile, send(profile, photo, false, 5, steady), {.denoise = true});
    const Reception drifted =
        receiveBoth(profile, send(profile, photo, false, 5, drifting), {.denoise = true});
    ASSERT_GE(still.enhanced.size(), 5u);
    ASSERT_GE(drifted.enhanced.size(), 5u);
    ASSERT_GE(drifted.ordinary.size(), 5u);
    for (std::size_t i = 2; i < 5; ++i) {
        const double ordinary = test::psnr(drifted.ordinary[i], test::enlarge(photo, 3));
        const double enhanced = test::psnr(drifted.enhanced[i], photo);
        EXPECT_LT(ordinary, 20.0) << "picture " << i;
        EXPECT_GT(enhanced, test::psnr(still.enhanced[i], photo) - 1.5) << "picture " << i;
    }
}

// A still picture is made of the frames as far as it stands still, a moving one keeps its own
// columns. Static crashes: the fit blanks them, the picture's noise is measured away from them,
// and the columns they spoiled take the frame before's, and so do the columns either side whose
// knots a crash bent a little (without noise, 53.5 dB where those kept their own), so a crash
// leaves no streak. Two fading paths with noise: each column is the mean of the last frames
// weighted by their precision, and a fade spoils different places in each. Panning eight
// columns a frame, or cut to another photograph every frame, each picture shows its own frame,
// never worse than the ordinary one.
TEST(EnhancedReceiver, StillPicturesCombineFramesMovingOnesKeepTheirOwn) {
    const ReceiverProfile& profile = nbtv48Profile();
    auto load = [](const char* name) {
        RgbImage photo;
        std::string error;
        EXPECT_TRUE(loadImageScaled(std::string(NBTV_PHOTO_DIR) + "/48x48/" + name + ".png", 48, 48,
                                    photo, error))
            << error;
        return photo;
    };
    const RgbImage photo = load("ladybird");
    const RgbImage other = load("garden");
    ASSERT_EQ(photo.width, 48);
    ASSERT_EQ(other.width, 48);
    std::vector<RgbImage> panning;
    for (int f = 0; f < 7; ++f) {
        RgbImage moved(48, 48);
        for (int y = 0; y < 48; ++y) {
            for (int x = 0; x < 48; ++x) {
                std::copy_n(photo.pixel((x + 8 * f) % 48, y), 3, moved.pixel(x, y));
            }
        }
        panning.push_back(moved);
    }
    struct Case {
        const char* name;
        ChannelImpairments channel;
        double still; // the least mean PSNR of a still picture
    };
    const Case cases[] = {
        {"crashes", {.snrDb = 30.0, .crashesPerSecond = 0.5, .seed = 3}, 30.0},
        {"crashes alone", {.snrDb = std::nullopt, .crashesPerSecond = 0.5, .seed = 3}, 56.0},
        {"two-path and noise", {.snrDb = 20.0, .fading = Fading{}, .seed = 5}, 25.0}, // 21 a frame
    };
    for (const Case& c : cases) {
        TransmitOptions options;
        options.frames = 7;
        options.channel = c.channel;
        const std::vector<std::vector<RgbImage>> sequences{{photo}, panning, {photo, other}};
        for (std::size_t q = 0; q < sequences.size(); ++q) {
            SCOPED_TRACE(std::string(c.name) + (q == 0   ? ", still"
                                                : q == 1 ? ", panning"
                                                         : ", cut"));
            const std::vector<RgbImage>& sent = sequences[q];
            const auto signal = transmitSequence(profile, sent, options);
            const Reception got = receiveBoth(profile, signal, {.denoise = true});
            ASSERT_GE(got.enhanced.size(), 6u);
            double sum = 0.0;
            for (std::size_t i = 2; i < got.enhanced.size(); ++i) {
                const RgbImage& picture = sent[i % sent.size()];
                const double enhanced = test::psnr(got.enhanced[i], picture);
                EXPECT_GT(enhanced, test::psnr(got.ordinary[i], test::enlarge(picture, 3)))
                    << "picture " << i;
                sum += enhanced;
            }
            if (q == 0) {
                EXPECT_GE(sum / static_cast<double>(got.enhanced.size() - 2), c.still);
            }
        }
    }
}

// Wherever the recording begins, the column phase is found to the sample, also through static
// crashes (one burst must not outweigh the rest of the search's segments). Real photographs
// too, clean and through crashes without noise: there a crash's remains had outweighed what the
// phase changes (every one of ten photographs was found 2 to 70 samples off), and on some
// photographs one round of the fit on the search's coarse grid ranked a wrong valley first.
TEST(EnhancedReceiver, FindsTheColumnPhaseFromAnyStart) {
    const ReceiverProfile& profile = nbtv48Profile();
    const RgbImage card = makeTestCard(TestCardKind::Detail, 48, 48);
    for (const auto& [channel, skip] :
         {std::pair{ChannelImpairments{.snrDb = 30.0}, 37u},
          {ChannelImpairments{.snrDb = 30.0}, 1000u},
          {ChannelImpairments{.snrDb = 30.0}, 5555u},
          {ChannelImpairments{.snrDb = 30.0, .crashesPerSecond = 0.5, .seed = 1}, 37u},
          {ChannelImpairments{.snrDb = 30.0, .crashesPerSecond = 0.5, .seed = 2}, 1000u},
          {ChannelImpairments{.snrDb = 30.0, .crashesPerSecond = 0.5, .seed = 5}, 5555u}}) {
        const auto signal = send(profile, card, false, 2, channel);
        SCOPED_TRACE(channel.crashesPerSecond > 0.0 ? "crashes" : "no crashes");
        EnhancedReceiver enhanced(profile);
        const std::span<const std::int16_t> rest(signal.data() + skip, signal.size() - skip);
        for (std::size_t at = 0; at + 768 <= rest.size() && !enhanced.locked(); at += 768) {
            enhanced.addSamples(rest.subspan(at, 768), 0.0, 0.0f);
        }
        ASSERT_TRUE(enhanced.locked()) << "skip " << skip;
        const double expected = std::fmod(555.0 + static_cast<double>(skip), 256.0);
        const double found = std::fmod(std::fmod(enhanced.columnPhase(), 256.0) + 256.0, 256.0);
        const double error = std::remainder(found - expected, 256.0);
        // A crash's blanked samples cost a little of the search's precision; tracking refines it.
        EXPECT_LT(std::abs(error), channel.crashesPerSecond > 0.0 ? 1.5 : 1.0)
            << "skip " << skip << " found " << found;
    }
    struct Photo {
        const ReceiverProfile& profile;
        const char* name;
        double crashesPerSecond;
        int frames; // enough for the search
    };
    // The last, for six frames: it keeps the phase through every crash (a crash too weak to
    // stand far above the signal had been left in, the segment fitted as lost, and the search
    // there moved the phase 60 samples for good).
    for (const Photo& p :
         {Photo{nbtv48Profile(), "bythewater", 0.5, 2}, Photo{nbtv96Profile(), "picture1a", 0.0, 1},
          Photo{nbtv96Profile(), "picture1a", 0.5, 1},
          Photo{nbtv96Profile(), "picosdeeuropa", 0.5, 6}}) {
        SCOPED_TRACE(p.profile.name + " " + p.name + (p.crashesPerSecond > 0.0 ? ", crashes" : ""));
        const int columns = p.profile.pictureColumns;
        const int lines = p.profile.pictureLines;
        RgbImage photo;
        std::string error;
        ASSERT_TRUE(loadImageScaled(std::string(NBTV_PHOTO_DIR) + "/" + std::to_string(columns) +
                                        "x" + std::to_string(lines) + "/" + p.name + ".png",
                                    columns, lines, photo, error))
            << error;
        ChannelImpairments channel;
        channel.crashesPerSecond = p.crashesPerSecond;
        channel.seed = 5;
        const auto signal = send(p.profile, photo, false, p.frames, channel);
        EnhancedReceiver enhanced(p.profile);
        double worst = 0.0;
        for (std::size_t at = 0; at + 768 <= signal.size(); at += 768) {
            enhanced.addSamples(std::span(signal).subspan(at, 768), 0.0, 0.0f);
            if (enhanced.locked()) {
                worst = std::max(worst,
                                 std::abs(std::remainder(enhanced.columnPhase() - 555.0, 256.0)));
            }
        }
        ASSERT_TRUE(enhanced.locked());
        EXPECT_LT(worst, 1.0);
    }
}

// Samples lost on the way (the phase of every carrier jumps, the columns shift) cost at most
// the pictures around the loss: the search runs again and the next picture is clean.
TEST(EnhancedReceiver, RecoversFromDroppedSamples) {
    const ReceiverProfile& profile = nbtv48Profile();
    const RgbImage card = makeTestCard(TestCardKind::Bars, 48, 48);
    std::vector<std::int16_t> signal = send(profile, card, false, 7);
    const std::size_t frame = 3 * 48 * 256;
    // Drop 100 samples in the middle of the third frame.
    signal.erase(signal.begin() + static_cast<std::ptrdiff_t>(2 * frame + frame / 2),
                 signal.begin() + static_cast<std::ptrdiff_t>(2 * frame + frame / 2 + 100));
    const Reception got = receiveBoth(profile, signal, {});
    ASSERT_GE(got.enhanced.size(), 6u);
    EXPECT_GE(test::psnr(got.enhanced[1], card), 55.0);
    // The search after the loss comes out the same with a second thread fitting ahead, also
    // where the segment that finds the phase lost moves it after the next one was fitted ahead
    // at the old phase (a loss 24 columns later).
    std::vector<std::int16_t> later = send(profile, card, false, 7);
    const std::size_t loss = 2 * frame + frame / 2 + 24 * 256;
    later.erase(later.begin() + static_cast<std::ptrdiff_t>(loss),
                later.begin() + static_cast<std::ptrdiff_t>(loss + 100));
    for (const std::vector<std::int16_t>* lossy : {&signal, &later}) {
        const Reception alone = lossy == &signal ? got : receiveBoth(profile, *lossy, {});
        const Reception ahead = receiveBoth(profile, *lossy, {.secondThread = true});
        ASSERT_EQ(ahead.enhanced.size(), alone.enhanced.size());
        for (std::size_t i = 0; i < alone.enhanced.size(); ++i) {
            EXPECT_EQ(ahead.enhanced[i].rgb, alone.enhanced[i].rgb) << "picture " << i;
        }
    }
    // Picture 2 holds the loss; the one after it is clean again.
    for (std::size_t i = 3; i < 6; ++i) {
        EXPECT_GE(test::psnr(got.enhanced[i], card), 55.0) << "picture " << i;
    }
    const double phase = std::fmod(std::fmod(got.columnPhase, 256.0) + 256.0, 256.0);
    EXPECT_NEAR(phase, 43.0 + 100.0, 1.0);
}

// A strong tone just above the comb does not upset the fit: lines far from it stay clean, and
// the top lines next to it as well.
TEST(EnhancedReceiver, InterferingToneDoesNotUpsetTheFit) {
    const ReceiverProfile& profile = nbtv48Profile();
    const RgbImage card = makeTestCard(TestCardKind::Bars, 48, 48);
    std::vector<std::int16_t> signal = send(profile, card, false, 3);
    const double bin = 60.5; // the top line is bin 58
    for (std::size_t n = 0; n < signal.size(); ++n) {
        const double tone =
            1500.0 * std::sin(2.0 * std::numbers::pi * bin / 256.0 * static_cast<double>(n));
        signal[n] = static_cast<std::int16_t>(std::clamp(signal[n] + tone, -32768.0, 32767.0));
    }
    const Reception got = receiveBoth(profile, signal, {});
    ASSERT_GE(got.enhanced.size(), 3u);
    const RgbImage& picture = got.enhanced[2];
    auto rows = [](const RgbImage& image, int from, int to) {
        RgbImage out(image.width, to - from);
        std::copy(image.rgb.begin() + static_cast<std::ptrdiff_t>(image.offset(0, from)),
                  image.rgb.begin() + static_cast<std::ptrdiff_t>(image.offset(0, to)),
                  out.rgb.begin());
        return out;
    };
    EXPECT_GE(test::psnr(rows(picture, 12, 48), rows(card, 12, 48)), 45.0);
    EXPECT_GE(test::psnr(rows(picture, 0, 4), rows(card, 0, 4)), 45.0);
}

// The enhanced picture fills the picture surface as the ordinary one does: three by three
// pixels a pixel inside the picture rectangle.
TEST(EnhancedReceiver, DrawsIntoThePictureRectangle) {
    for (const ReceiverProfile* profile :
         {&nbtv48Profile(), &nbtv96Profile(), &nbtv96rggbProfile()}) {
        const RgbImage card =
            makeTestCard(TestCardKind::Detail, profile->pictureColumns, profile->pictureLines);
        PixelSurface surface;
        drawEnhancedSurface(*profile, card, surface);
        EXPECT_EQ(surface.width, profile->surfaceWidth);
        EXPECT_EQ(surface.height, profile->pictureSurfaceHeight);
        const RgbImage shown = toRgbImage(surface, profile->geometry.pictureCrop);
        EXPECT_TRUE(shown.rgb == test::enlarge(card, 3).rgb) << profile->name;
    }
}

} // namespace
} // namespace nbtv
