// Every command of the nbtv48 window through its menu item or control, the fine-tune slider
// through real drags and keys, and the way out.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "dialogs/Dialogs.h"
#include "profiles/ReceiverProfile.h"
#include "shell/DesktopTools.h"
#include "shell/MainWindow.h"
#include "support/ScriptedWaveIn.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"
#include "widgets/Trackbar.h"
#include "widgets/Warning.h"

namespace nbtv {
namespace {

std::vector<std::int16_t> barsSignal() {
    const ReceiverProfile& profile = nbtv48Profile();
    TransmitOptions options;
    options.frames = 1;
    return transmit(profile, makeTestCard(TestCardKind::Bars, 48, 48), options);
}

struct Window {
    WarningFunction previous;
    std::vector<QString> warnings;
    test::ScriptedWaveIn* source;
    MainWindow window;

    explicit Window(std::vector<std::int16_t> samples = {})
        : source(new test::ScriptedWaveIn(std::move(samples))),
          window(nbtv48Profile(), std::unique_ptr<WaveIn>(source)) {
        previous = setWarningFunction(
            [this](QWidget*, const QString&, const QString& text) { warnings.push_back(text); });
        window.show();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    ~Window() {
        window.close();
        setWarningFunction(previous);
    }

    Trackbar* slider() const {
        return qobject_cast<Trackbar*>(window.control(ids::fineTuneSlider));
    }
    QString positive() const {
        return qobject_cast<QLabel*>(window.control(ids::positiveReadout))->text();
    }
    QString negative() const {
        return qobject_cast<QLabel*>(window.control(ids::negativeReadout))->text();
    }
    const ReceiverSettings& settings() { return window.receiver().settings(); }
};

QWidget* topLevel(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == name && w->isVisible()) {
            return w;
        }
    }
    return nullptr;
}

// Runs `steps` one after the other from the event loop, each once the previous has returned;
// a watchdog closes whatever is left open so that a forgotten dialog fails instead of hanging.
void script(std::vector<std::function<void()>> steps) {
    auto* runner =
        new QTimer(QCoreApplication::instance()); // goes with the application at the latest
    QObject::connect(runner, &QTimer::timeout,
                     [runner, steps = std::move(steps), next = std::size_t{0}]() mutable {
                         if (next < steps.size()) {
                             steps[next++]();
                         } else {
                             runner->stop();
                             runner->deleteLater();
                         }
                     });
    runner->start(10);
    QTimer::singleShot(10000, [] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (qobject_cast<QDialog*>(w) != nullptr && w->isVisible()) {
                ADD_FAILURE() << "left open: " << w->objectName().toStdString();
                w->close();
            }
        }
    });
}

QPoint handleCentre(QSlider* slider) {
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = slider->orientation();
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.sliderPosition = slider->sliderPosition();
    option.sliderValue = slider->value();
    return slider->style()
        ->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, slider)
        .center();
}

TEST(FineTuneSlider, DragsShowTheFineTuneInTheReadoutOfItsSign) {
    Window w;
    Trackbar* slider = w.slider();
    const QPoint grip = handleCentre(slider);
    QTest::mousePress(slider, Qt::LeftButton, {}, grip);
    QTest::mouseMove(slider, QPoint(-50, grip.y()));
    EXPECT_EQ(slider->sliderPosition(), 0);
    EXPECT_EQ(w.negative(), "-34.13 Hz");
    EXPECT_TRUE(w.positive().isEmpty());
    QTest::mouseMove(slider, QPoint(slider->width() + 50, grip.y()));
    EXPECT_EQ(w.positive(), "34.13 Hz");
    EXPECT_TRUE(w.negative().isEmpty());
    EXPECT_FLOAT_EQ(w.settings().fineTuneHz, 512.0f / 15.0f);
    EXPECT_EQ(w.settings().pilotMarker, 100 + 170);
    QTest::mouseMove(slider, grip);
    QTest::mouseRelease(slider, Qt::LeftButton, {}, grip);
    EXPECT_NEAR(slider->value(), 512, 3);
}

TEST(FineTuneSlider, KeysStepLikeATrackbarWithExactValues) {
    Window w;
    Trackbar* slider = w.slider();
    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_Left);
    EXPECT_EQ(slider->value(), 511);
    EXPECT_EQ(w.negative(), "-00.07 Hz");
    EXPECT_EQ(w.settings().pilotMarker, 99); // 100 + floor(-0.33)
    QTest::keyClick(slider, Qt::Key_Right);
    EXPECT_EQ(w.positive(), "00.00 Hz");
    EXPECT_TRUE(w.negative().isEmpty());
    for (int i = 0; i < 83; ++i) {
        QTest::keyClick(slider, Qt::Key_Down); // down moves a horizontal trackbar right
    }
    EXPECT_EQ(slider->value(), 595);
    EXPECT_EQ(w.positive(), "05.53 Hz");
    EXPECT_EQ(w.settings().fineTuneHz, static_cast<float>(83 / 15.0));
    EXPECT_EQ(w.settings().pilotMarker, 127);
    QTest::keyClick(slider, Qt::Key_PageUp);
    EXPECT_EQ(slider->value(), 595 - 204);
    QTest::keyClick(slider, Qt::Key_Home);
    EXPECT_EQ(w.negative(), "-34.13 Hz");
    QTest::keyClick(slider, Qt::Key_End);
    EXPECT_EQ(w.positive(), "34.13 Hz");
    // After a drag an arrow moves by exactly one step.
    const QPoint grip = handleCentre(slider);
    QTest::mousePress(slider, Qt::LeftButton, {}, grip);
    QTest::mouseMove(slider, QPoint(grip.x() - 100, grip.y()));
    QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(grip.x() - 100, grip.y()));
    const int dragged = slider->value();
    EXPECT_EQ(w.settings().fineTuneHz, static_cast<float>((dragged - 512) / 15.0));
    QTest::keyClick(slider, Qt::Key_Right);
    EXPECT_EQ(slider->value(), dragged + 1);
    EXPECT_EQ(w.settings().fineTuneHz, static_cast<float>((dragged + 1 - 512) / 15.0));
}

TEST(Commands, NoiseFilterWeightsChangeOnlyTheCaptionUntilTheBoxIsClicked) {
    Window w;
    auto* box = qobject_cast<QCheckBox*>(w.window.control(ids::noiseFilter));
    w.window.action(ids::mediumFilter)->trigger();
    EXPECT_EQ(box->text(), "Noise filter (medium)");
    EXPECT_EQ(w.settings().noiseFilterWeights.keep, 3);
    EXPECT_EQ(w.settings().noiseFilterOn, -1);
    QTest::mouseClick(box, Qt::LeftButton);
    EXPECT_EQ(w.settings().noiseFilterOn, 1);
    w.window.action(ids::lightFilter)->trigger();
    EXPECT_EQ(box->text(), "Noise filter (light)");
    EXPECT_EQ(w.settings().noiseFilterWeights.divisor, 2);
    QTest::mouseClick(box, Qt::LeftButton);
    EXPECT_EQ(w.settings().noiseFilterOn, -1);
}

TEST(Commands, MenuItemsOpenTheirDialogsAndMainWindowKeepsReceiving) {
    Window w(barsSignal());
    long blocksWhileOpen = 0;
    bool sawList = false;
    script({[&] {
                blocksWhileOpen = w.window.blocksHandled();
                QWidget* dialog = topLevel(soundCardDialogName);
                ASSERT_NE(dialog, nullptr);
                auto* list = dialog->findChild<QListWidget*>();
                ASSERT_NE(list, nullptr);
                sawList = list->count() == 1 && list->item(0)->text() == "Scripted source";
            },
            [&] {
                // Blocks go on while the dialog runs its own loop.
                EXPECT_GT(w.window.blocksHandled(), blocksWhileOpen);
                topLevel(soundCardDialogName)->close();
            }});
    w.window.action(ids::selectSoundcard)->trigger();
    EXPECT_TRUE(sawList);

    bool calibrationSeen = false;
    script({[&] {
        QWidget* dialog = topLevel(calibrationDialogName);
        calibrationSeen = dialog != nullptr;
        if (dialog != nullptr) {
            dialog->close();
        }
    }});
    w.window.action(ids::calibrateSoundcard)->trigger();
    EXPECT_TRUE(calibrationSeen);

    bool frameRateSeen = false;
    script({[&] {
        QWidget* dialog = topLevel(frameRateDialogName);
        frameRateSeen = dialog != nullptr;
        if (dialog != nullptr) {
            dialog->close();
        }
    }});
    w.window.action(ids::frameRate)->trigger();
    EXPECT_TRUE(frameRateSeen);

    w.window.action(ids::pictureAdjust)->trigger(); // modeless: returns at once
    QWidget* picture = topLevel(pictureDialogName);
    ASSERT_NE(picture, nullptr);
    picture->close();

    for (int id : {ids::help, ids::about}) {
        bool modal = false;
        script({[&] {
            QWidget* window = QApplication::activeModalWidget();
            modal = window != nullptr && window->parentWidget() == &w.window;
            if (window != nullptr) {
                window->close();
            }
        }});
        w.window.action(id)->trigger();
        EXPECT_TRUE(modal) << id;
    }
    EXPECT_TRUE(w.warnings.empty());
}

TEST(Commands, ApplyInTheSoundCardDialogRestartsCaptureFromTheStartValues) {
    Window w(barsSignal());
    QTest::mouseClick(w.window.control(ids::mono), Qt::LeftButton);
    w.window.action(ids::heavyFilter)->trigger();
    ASSERT_EQ(w.source->opens(), 1);
    script({[&] {
                QWidget* dialog = topLevel(soundCardDialogName);
                ASSERT_NE(dialog, nullptr);
                auto* list = dialog->findChild<QListWidget*>();
                list->setCurrentRow(0);
                for (QPushButton* b : dialog->findChildren<QPushButton*>()) {
                    if (b->text() == "Apply") {
                        QTest::mouseClick(b, Qt::LeftButton);
                    }
                }
            },
            [&] { topLevel(soundCardDialogName)->close(); }});
    w.window.action(ids::selectSoundcard)->trigger();
    EXPECT_EQ(w.source->opens(), 2);
    EXPECT_EQ(w.source->closes(), 1);
    EXPECT_EQ(w.settings().deviceIndex, 0);
    // The restart brought the settings and the controls back to their start values.
    EXPECT_EQ(w.settings().colourMode, 1);
    EXPECT_TRUE(qobject_cast<QRadioButton*>(w.window.control(ids::colour))->isChecked());
    EXPECT_EQ(qobject_cast<QCheckBox*>(w.window.control(ids::noiseFilter))->text(),
              "Noise filter (light)");
    const long before = w.window.blocksHandled();
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.window.blocksHandled() > before + 3; }, 5000));
}

TEST(Commands, DesktopToolsStartWhereTheyExistAndDoNothingElsewhere) {
    QTemporaryDir bin;
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.path().toLocal8Bit());
    EXPECT_FALSE(startDesktopTool(DesktopTool::RecordingLevels));
    // A stand-in volume control that notes how it was started.
    const QString log = bin.filePath("args.txt");
    QFile tool(bin.filePath("pavucontrol"));
    ASSERT_TRUE(tool.open(QIODevice::WriteOnly));
    tool.write(QStringLiteral("#!/bin/sh\necho \"$@\" > %1\n").arg(log).toLocal8Bit());
    tool.close();
    tool.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    Window w;
    w.window.action(ids::adjustInput)->trigger();
    // The shell makes the file before it writes to it.
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(log).size() > 0; }, 5000));
    QFile args(log);
    ASSERT_TRUE(args.open(QIODevice::ReadOnly));
    EXPECT_EQ(args.readAll().trimmed(), "--tab=4");
    qputenv("PATH", path);
}

TEST(Commands, EscapeAndEnterDoNothing) {
    Window w;
    w.window.activateWindow();
    QTest::keyClick(&w.window, Qt::Key_Escape);
    QTest::keyClick(&w.window, Qt::Key_Return);
    QTest::keyClick(&w.window, Qt::Key_Enter);
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.window.isVisible());
    EXPECT_EQ(w.settings().colourMode, 1);
    EXPECT_EQ(w.source->closes(), 0);
}

TEST(Commands, ExitEndsTheLoopWithZeroAndLeavesNoDeviceOpen) {
    Window w(barsSignal());
    QTimer::singleShot(50, [&] { w.window.action(ids::exitCommand)->trigger(); });
    const int status = QApplication::exec();
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(w.window.isVisible());
    EXPECT_FALSE(w.window.capture().isOpen());
    EXPECT_EQ(w.source->closes(), 1);
}

} // namespace
} // namespace nbtv
