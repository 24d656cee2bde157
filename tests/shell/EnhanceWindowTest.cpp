// The "&Enhance" menu's enhanced picture in a real window fed by the transmitter.

#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QThread>

#include "profiles/ReceiverProfile.h"
#include "shell/MainWindow.h"
#include "support/Reception.h"
#include "support/ScriptedWaveIn.h"
#include "support/ViewPicture.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace nbtv {
namespace {

struct Window {
    test::ScriptedWaveIn* source;
    MainWindow window;

    Window(const ReceiverProfile& profile, int frames)
        : source(new test::ScriptedWaveIn(signal(profile, frames))),
          window(profile, std::unique_ptr<WaveIn>(source)) {
        window.show();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    ~Window() { window.close(); }

    static std::vector<std::int16_t> signal(const ReceiverProfile& profile, int frames) {
        TransmitOptions options;
        options.frames = frames;
        return transmit(profile, card(profile), options);
    }
    static RgbImage card(const ReceiverProfile& profile) {
        return makeTestCard(TestCardKind::Ramp, profile.pictureColumns, profile.pictureLines);
    }

    // Runs the event loop until `done` or about a minute has passed. The scripted source runs
    // far faster than real time: it waits while the enhanced path catches up, as a sound card
    // would.
    template <class Done>
    void runUntil(Done done) {
        for (int i = 0; i < 600000 && !done(); ++i) {
            source->pause(window.enhancedBacklog() > 20);
            QCoreApplication::processEvents();
            if (i % 64 == 0) {
                QThread::usleep(100);
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

} // namespace
} // namespace nbtv
