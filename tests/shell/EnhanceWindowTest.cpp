// The "&Enhance" menu's enhanced picture in a real window fed by the transmitter.

#include <gtest/gtest.h>

#include <algorithm>

#include <QAction>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QSlider>
#include <QThread>

#include "profiles/ReceiverProfile.h"
#include "shell/MainWindow.h"
#include "support/Reception.h"
#include "support/ScriptedWaveIn.h"
#include "support/TuningSupport.h"
#include "support/ViewPicture.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace nbtv {
namespace {

struct Window {
    test::ScriptedWaveIn* source;
    MainWindow window;

    Window(const ReceiverProfile& profile, int frames, ChannelImpairments channel = {},
           std::size_t skip = 0, const RgbImage* picture = nullptr)
        : source(new test::ScriptedWaveIn(signal(picture != nullptr ? *picture : card(profile),
                                                 profile, frames, channel, skip))),
          window(profile, std::unique_ptr<WaveIn>(source)) {
        window.show();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    ~Window() { window.close(); }

    // The signal from sample `skip` on (a recording that began part-way into a frame).
    static std::vector<std::int16_t> signal(const RgbImage& picture, const ReceiverProfile& profile,
                                            int frames, ChannelImpairments channel,
                                            std::size_t skip) {
        TransmitOptions options;
        options.frames = frames;
        options.channel = channel;
        std::vector<std::int16_t> samples = transmit(profile, picture, options);
        samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(skip));
        return samples;
    }
    static RgbImage card(const ReceiverProfile& profile) {
        return makeTestCard(TestCardKind::Bars, profile.pictureColumns, profile.pictureLines);
    }

    // Runs the event loop until `done` or about a minute has passed. The scripted source runs
    // far faster than real time: it waits while the enhanced path catches up, as a sound card
    // would.
    template <class Done>
    void runUntil(Done done) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < 60000) {
            const bool wait = window.enhancedBacklog() > 20;
            source->pause(wait);
            QCoreApplication::processEvents();
            if (wait) {
                QThread::msleep(1); // the worker thread has the processor meanwhile
            }
        }
    }

    RgbImage shown() const {
        return test::viewPicture(window.pictureView()->image(),
                                 window.profile().geometry.pictureCrop);
    }
};

TEST(EnhanceMenu, EnhancedPictureReplacesTheOrdinaryOneWhileChecked) {
    const ReceiverProfile& profile = nbtv48Profile();
    Window w(profile, 8);
    QAction* enhanced = w.window.action(ids::enhancedPicture);
    ASSERT_NE(enhanced, nullptr);
    EXPECT_TRUE(enhanced->isCheckable());
    EXPECT_FALSE(enhanced->isChecked());
    EXPECT_FALSE(w.window.enhancedPicture());

    // Off: the ordinary picture, soft at the ramp's steps.
    w.runUntil([&] { return w.window.framesCompleted() >= 2; });
    const RgbImage expected = test::enlarge(Window::card(profile), 3);
    const double ordinary = test::psnr(w.shown(), expected);
    EXPECT_LT(ordinary, 35.0);

    enhanced->trigger();
    EXPECT_TRUE(enhanced->isChecked());
    EXPECT_TRUE(w.window.enhancedPicture());
    for (long n = 1; n <= 3; ++n) {
        w.runUntil([&] { return w.window.enhancedPicturesShown() >= n; });
        ASSERT_GE(w.window.enhancedPicturesShown(), n);
        EXPECT_GE(test::psnr(w.shown(), expected), 50.0) << "picture " << n;
    }

    // Off again: the next completed frame shows the ordinary picture.
    enhanced->trigger();
    EXPECT_FALSE(enhanced->isChecked());
    const long frames = w.window.framesCompleted();
    const long enhancedShown = w.window.enhancedPicturesShown();
    w.runUntil([&] { return w.window.framesCompleted() >= frames + 1; });
    ASSERT_GE(w.window.framesCompleted(), frames + 1);
    EXPECT_LT(test::psnr(w.shown(), expected), 35.0);
    EXPECT_EQ(w.window.enhancedPicturesShown(), enhancedShown);
}

// "Automatic fine tune" finds a mistuned signal's offset and shows it on the slider, its
// readouts and the pilot-scope marker as a user's tuning would.
TEST(EnhanceMenu, AutomaticFineTuneMovesTheManualControls) {
    const ReceiverProfile& profile = nbtv48Profile();
    ChannelImpairments channel;
    channel.frequencyOffsetHz = 7.0;
    channel.snrDb = 25.0;
    Window w(profile, 4, channel);
    QAction* automatic = w.window.action(ids::automaticFineTune);
    ASSERT_NE(automatic, nullptr);
    EXPECT_FALSE(automatic->isChecked());
    automatic->trigger();
    EXPECT_TRUE(automatic->isChecked());
    EXPECT_TRUE(w.window.tuner().fineTune());
    w.runUntil([&] { return w.window.framesCompleted() >= 3; });

    const ReceiverSettings& s = w.window.settings();
    EXPECT_NEAR(s.fineTuneHz, -7.0, 0.1);
    auto* slider = qobject_cast<QSlider*>(w.window.control(ids::fineTuneSlider));
    ASSERT_NE(slider, nullptr);
    EXPECT_NEAR(slider->value(), 512 - 105, 2);
    EXPECT_NEAR(s.pilotMarker, profile.pilotMarkerZero - 35, 1);
    auto* negative = qobject_cast<QLabel*>(w.window.control(ids::negativeReadout));
    auto* positive = qobject_cast<QLabel*>(w.window.control(ids::positiveReadout));
    ASSERT_NE(negative, nullptr);
    ASSERT_NE(positive, nullptr);
    EXPECT_TRUE(negative->text().startsWith("-07.") || negative->text().startsWith("-06.9"))
        << negative->text().toStdString();
    EXPECT_TRUE(positive->text().isEmpty());

    // Off again: the fine tune stays where it is.
    automatic->trigger();
    EXPECT_FALSE(w.window.tuner().fineTune());
}

// A recording that began a third of a frame late shows the wrong fields as colours; "Find
// frame phase" puts the field boundary back, and "Rotate colours" moves the phase a field at a
// time, so one of three rotations shows the picture as sent.
TEST(EnhanceMenu, FindFramePhaseAndRotateColours) {
    const ReceiverProfile& profile = nbtv48Profile();
    const RgbImage sent = test::syntheticPhoto(profile.pictureColumns, profile.pictureLines, 3);
    const std::size_t field = 48 * 256;
    Window w(profile, 12, {}, field + 5 * 768, &sent);
    const RgbImage expected = test::enlarge(sent, 3);
    w.runUntil([&] { return w.window.framesCompleted() >= 1; });

    w.window.action(ids::findFramePhase)->trigger();
    EXPECT_TRUE(w.window.tuner().searchingFramePhase());
    w.runUntil([&] { return w.window.framesCompleted() >= 4; });
    ASSERT_GE(w.window.framesCompleted(), 4);

    std::vector<double> rotations;
    for (int turn = 0; turn < 3; ++turn) {
        const long frames = w.window.framesCompleted();
        w.runUntil([&] { return w.window.framesCompleted() >= frames + 2; });
        ASSERT_GE(w.window.framesCompleted(), frames + 2);
        rotations.push_back(test::psnr(w.shown(), expected));
        const int offset = w.window.receiver().frameOffset();
        w.window.action(ids::rotateColours)->trigger();
        const int width = profile.frameColumns();
        EXPECT_EQ(((w.window.receiver().frameOffset() - offset) % width + width) % width,
                  profile.fieldWidth);
    }
    const double best = *std::max_element(rotations.begin(), rotations.end());
    const double worst = *std::min_element(rotations.begin(), rotations.end());
    EXPECT_GE(best, 17.0);
    EXPECT_LT(worst, best - 3.0);
}

// A grey picture has no colours to tell the fields by: the status line says the order found is
// a guess, and Rotate colours (the user's choice) takes the notice away; a new search gives it
// back.
TEST(EnhanceMenu, AGuessedColourOrderIsSaidSo) {
    const ReceiverProfile& profile = nbtv48Profile();
    const RgbImage sent =
        test::luminance(test::syntheticPhoto(profile.pictureColumns, profile.pictureLines, 8));
    Window w(profile, 12, {}, 20 * 768, &sent);
    const QString guess =
        QString::fromUtf8("colours: a guess \u2014 Rotate colours if they look wrong");
    auto* status = qobject_cast<QLabel*>(w.window.control(ids::statusLabel));
    ASSERT_NE(status, nullptr);
    QAction* rotate = w.window.action(ids::rotateColours);
    ASSERT_NE(rotate, nullptr);
    w.runUntil([&] { return w.window.framesCompleted() >= 1; });
    EXPECT_NE(status->text(), guess);

    w.window.action(ids::findFramePhase)->trigger();
    w.runUntil([&] { return w.window.tuner().colourGuess(); });
    ASSERT_TRUE(w.window.tuner().colourGuess())
        << w.window.tuner().lastFramePhase().found << " "
        << w.window.tuner().lastFramePhase().colourMargin << " " << w.window.framesCompleted();
    EXPECT_EQ(status->text(), guess);
    EXPECT_EQ(rotate->text(), QStringLiteral("Rotate colours"));

    rotate->trigger();
    EXPECT_FALSE(w.window.tuner().colourGuess());
    EXPECT_TRUE(status->text().isEmpty()) << status->text().toStdString();

    w.window.action(ids::findFramePhase)->trigger();
    w.runUntil([&] { return w.window.tuner().colourGuess(); });
    EXPECT_EQ(status->text(), guess);
}

} // namespace
} // namespace nbtv
