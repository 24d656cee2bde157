// The nbtv48 main window driven as a user drives it: real widgets, real clicks, offscreen.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

#include "capture/Sources.h"
#include "core/Conversions.h"
#include "io/AudioFile.h"
#include "widgets/DialogUnits.h"

#include "display/SurfaceView.h"
#include "profiles/ReceiverProfile.h"
#include "shell/MainWindow.h"
#include "support/Reception.h"
#include "support/ScriptedWaveIn.h"
#include "support/ViewPicture.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"
#include "widgets/Controls.h"
#include "widgets/FitText.h"
#include "widgets/Warning.h"

namespace nbtv {
namespace {

struct Warnings {
    struct Shown {
        QString caption;
        QString text;
    };
    std::vector<Shown> shown;
    WarningFunction previous;
    Warnings() {
        previous =
            setWarningFunction([this](QWidget*, const QString& caption, const QString& text) {
                shown.push_back({caption, text});
            });
    }
    ~Warnings() { setWarningFunction(previous); }
};

std::vector<std::int16_t> barsSignal(int frames) {
    const ReceiverProfile& profile = nbtv48Profile();
    TransmitOptions options;
    options.frames = frames;
    return transmit(profile,
                    makeTestCard(TestCardKind::Bars, profile.pictureColumns, profile.pictureLines),
                    options);
}

// A shown window fed by `source`, its initialisation event handled.
struct Shown {
    Warnings warnings;
    test::ScriptedWaveIn* source;
    MainWindow window;

    explicit Shown(std::vector<std::int16_t> samples = {}, bool present = true)
        : source(new test::ScriptedWaveIn(std::move(samples), present)),
          window(nbtv48Profile(), std::unique_ptr<WaveIn>(source)) {
        window.show();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    ~Shown() { window.close(); }

    void waitForFrames(long frames) {
        for (int i = 0; i < 20000 && window.framesCompleted() < frames; ++i) {
            QCoreApplication::processEvents();
        }
    }
};

TEST(MainWindow, ControlsStandAtTheirPlacesInCreationOrder) {
    Shown shown;
    struct Expected {
        int id;
        const char* kind;
        const char* text;
        QRect rect;
    };
    const std::vector<Expected> expected = {
        {1500, "nbtv::SurfaceView", "", {300, 0, 100, 220}},
        {1501, "nbtv::SurfaceView", "", {0, 221, 144, 50}},
        {430, "nbtv::SurfaceView", "", {0, 0, 288, 220}},
        {433, "QPushButton", "Record", {207, 225, 75, 20}},
        {417, "QLabel", "", {207, 258, 188, 30}},
        {0, "QGroupBox", "Mode", {5, 274, 150, 40}},
        {438, "nbtv::RadioButton", "Colour", {30, 287, 50, 20}},
        {439, "nbtv::RadioButton", "Mono", {90, 287, 50, 20}},
        {416, "nbtv::Trackbar", "", {5, 315, 390, 27}},
        {415, "QLabel", "-1", {10, 345, 20, 15}},
        {415, "QLabel", "+1", {380, 345, 20, 15}},
        {415, "QLabel", "-----Fine Tune-----", {160, 345, 90, 15}},
        {1710, "QLabel", "", {270, 345, 100, 15}},
        {1711, "QLabel", "", {70, 345, 100, 15}},
        {425, "nbtv::CheckBox", "Noise filter (light)", {315, 225, 70, 14}},
        {1712, "nbtv::CheckBox", "", {165, 230, 20, 14}},
        {0, "QLabel", "Big picture?", {147, 248, 60, 14}},
    };
    const QWidget* client = shown.window.centralWidget();
    const QObjectList children = client->children();
    std::vector<QWidget*> widgets;
    for (QObject* child : children) {
        if (auto* w = qobject_cast<QWidget*>(child)) {
            widgets.push_back(w);
        }
    }
    ASSERT_EQ(widgets.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Expected& e = expected[i];
        QWidget* w = widgets[i];
        EXPECT_EQ(controlId(w), e.id) << i;
        EXPECT_STREQ(w->metaObject()->className(), e.kind) << i;
        EXPECT_EQ(w->geometry(), e.rect) << i << " " << e.text;
        QString text;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            text = b->text();
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            text = l->text();
        } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
            text = g->title();
        }
        EXPECT_EQ(text, QString(e.text)) << i;
    }
    auto* status = qobject_cast<QLabel*>(shown.window.control(417));
    EXPECT_EQ(status->frameShadow(), QFrame::Sunken);
    EXPECT_TRUE(qobject_cast<QPushButton*>(shown.window.control(433))->isCheckable());
}

TEST(MainWindow, ClientAreaIsFourHundredByThreeNinetyWithTheMenuBarTakenFromIt) {
    Shown shown;
    EXPECT_EQ(shown.window.windowTitle(), "48x48 pixel RGB/MONO TV receiver");
    const int menuHeight = shown.window.menuBar()->height();
    EXPECT_EQ(shown.window.centralWidget()->width(), 400);
    EXPECT_EQ(shown.window.centralWidget()->height() + menuHeight, 390);
    EXPECT_GE(shown.window.centralWidget()->height(), 360) << "the lowest controls still fit";
    EXPECT_FALSE(shown.window.windowIcon().isNull());
    // Resizing moves nothing.
    shown.window.resize(700, 600);
    QCoreApplication::processEvents();
    EXPECT_EQ(shown.window.control(416)->geometry(), QRect(5, 315, 390, 27));
}

// At each program's own sizes every caption shows whole, with every noise-filter caption, and
// every menu of the menu bar lies inside the window (none hidden behind an extension button).
TEST(MainWindow, NothingIsCutOffInAnyProgram) {
    for (const ReceiverProfile* profile :
         {&nbtv48Profile(), &nbtv96Profile(), &nbtv96rggbProfile()}) {
        SCOPED_TRACE(profile->name);
        Warnings warnings;
        MainWindow window(*profile,
                          std::make_unique<test::ScriptedWaveIn>(std::vector<std::int16_t>{}));
        window.show();
        QCoreApplication::processEvents();
        auto expectFits = [&] {
            for (QObject* child : window.centralWidget()->children()) {
                if (auto* w = qobject_cast<QWidget*>(child)) {
                    EXPECT_TRUE(captionFits(w, w->font())) << caption(w).toStdString();
                }
            }
        };
        expectFits();
        for (int filter : {ids::mediumFilter, ids::heavyFilter}) {
            if (window.action(filter) != nullptr) {
                window.action(filter)->trigger();
                expectFits();
            }
        }
        // A second row of menus does not take the client area's room.
        auto* bar = static_cast<WrappingMenuBar*>(window.menuBar());
        EXPECT_EQ(window.centralWidget()->height() + bar->firstRowHeight(), profile->clientHeight);
        const QRect inside = window.rect();
        QList<QMenuBar*> rows{window.menuBar()};
        if (QMenuBar* second = bar->secondRow()) {
            rows.push_back(second);
        }
        int menus = 0;
        for (QMenuBar* row : rows) {
            for (QAction* a : row->actions()) {
                const QRect at = row->actionGeometry(a);
                EXPECT_FALSE(at.isEmpty()) << a->text().toStdString();
                EXPECT_TRUE(row->rect().contains(at)) << a->text().toStdString();
                EXPECT_TRUE(inside.contains(QRect(row->mapTo(&window, at.topLeft()), at.size())))
                    << a->text().toStdString();
                ++menus;
            }
            auto* extension = row->findChild<QWidget*>("qt_menubar_ext_button");
            EXPECT_TRUE(extension == nullptr || !extension->isVisible());
        }
        EXPECT_EQ(menus, static_cast<int>(profile->menuBar.size()) + 1) << "with Enhance";
        window.close();
    }
}

TEST(MainWindow, MenuBarCarriesEveryCommandInOrder) {
    Shown shown;
    QStringList lines;
    std::function<void(const QList<QAction*>&, const QString&)> walk =
        [&](const QList<QAction*>& actions, const QString& indent) {
            for (QAction* a : actions) {
                if (a->isSeparator()) {
                    lines << indent + "-";
                } else if (a->menu() != nullptr) {
                    lines << indent + a->text();
                    walk(a->menu()->actions(), indent + " ");
                } else {
                    lines << indent + a->text() + " " + QString::number(a->data().toInt()) +
                                 (a->isCheckable() ? " checkable" : "");
                    EXPECT_FALSE(a->isChecked()) << a->text().toStdString();
                }
            }
        };
    walk(shown.window.menuBar()->actions(), "");
    if (QMenuBar* second = static_cast<WrappingMenuBar*>(shown.window.menuBar())->secondRow()) {
        walk(second->actions(), "");
    }
    const QStringList expected = {"&File",
                                  " &Exit 402",
                                  "Soundcard",
                                  " &Adjust input 411",
                                  " -",
                                  " Audio properties 1607",
                                  " -",
                                  " Select soundcard 1600",
                                  " -",
                                  " Calibrate soundcard 1603",
                                  "Picture properties",
                                  " Picture adjust 1700",
                                  " -",
                                  " Colour mode",
                                  "  RGB 438",
                                  "  MONO 439",
                                  " -",
                                  " Noise filter",
                                  "  Light filter 426",
                                  "  Medium filter 427",
                                  "  Heavy filter 428",
                                  "Record options",
                                  " Frame rate to save 436",
                                  "&Enhance",
                                  " Enhanced picture 2000 checkable",
                                  " -",
                                  " Automatic fine tune 2001 checkable",
                                  " Automatic calibration 2002 checkable",
                                  " -",
                                  " Find frame phase 2003",
                                  " Rotate colours 2004",
                                  " -",
                                  " Record audio 2010 checkable",
                                  " Record audio as WAV 2011 checkable",
                                  " -",
                                  " Replay last minute 2012",
                                  " Save last minute 2013",
                                  " -",
                                  " Band view 2014",
                                  "&Help",
                                  " &Help 409",
                                  " -",
                                  " &About 410"};
    EXPECT_EQ(lines, expected);
}

TEST(MainWindow, FirstDisplayShowsTheStartValues) {
    Shown shown;
    const MainWindow& w = shown.window;
    EXPECT_TRUE(qobject_cast<QRadioButton*>(w.control(438))->isChecked());
    EXPECT_FALSE(qobject_cast<QRadioButton*>(w.control(439))->isChecked());
    EXPECT_FALSE(qobject_cast<QCheckBox*>(w.control(425))->isChecked());
    EXPECT_FALSE(qobject_cast<QCheckBox*>(w.control(1712))->isChecked());
    auto* slider = qobject_cast<QSlider*>(w.control(416));
    EXPECT_EQ(slider->minimum(), 0);
    EXPECT_EQ(slider->maximum(), 1024);
    EXPECT_EQ(slider->value(), 512);
    EXPECT_EQ(slider->singleStep(), 1);
    EXPECT_EQ(slider->pageStep(), 204);
    for (int id : {1710, 1711, 417}) {
        EXPECT_TRUE(qobject_cast<QLabel*>(w.control(id))->text().isEmpty()) << id;
    }
    const QImage& picture = w.pictureView()->image();
    EXPECT_EQ(picture.size(), QSize(288, 220));
    EXPECT_EQ(picture.pixel(144, 110) & 0xffffff, 0u);
    const ReceiverSettings& s = shown.window.receiver().settings();
    EXPECT_EQ(s.deviceIndex, 0);
    EXPECT_EQ(s.blockLength, 768);
    EXPECT_EQ(s.sampleRateOffset, 0.0);
    EXPECT_EQ(s.pilotMarker, 100);
    EXPECT_EQ(s.colourMode, 1);
    EXPECT_EQ(s.noiseFilterOn, -1);
    EXPECT_TRUE(shown.warnings.shown.empty());
    EXPECT_EQ(shown.source->opens(), 1);
}

TEST(MainWindow, WithoutADeviceOneWarningAndTheWindowWorksOn) {
    Shown shown({}, false);
    ASSERT_EQ(shown.warnings.shown.size(), 1u);
    EXPECT_EQ(shown.warnings.shown[0].caption, "WARNING");
    EXPECT_EQ(shown.warnings.shown[0].text, "No suitable device found");
    QTest::mouseClick(shown.window.control(439), Qt::LeftButton);
    EXPECT_EQ(shown.window.receiver().settings().colourMode, 0);
    QTest::mouseClick(shown.window.centralWidget(), Qt::LeftButton, {}, QPoint(350, 95));
    EXPECT_EQ(shown.window.receiver().settings().fineTuneHz, -1.0f);
    EXPECT_EQ(shown.warnings.shown.size(), 1u);
}

TEST(MainWindow, PilotScopeClicksSetTheFineTuneAndItsReadouts) {
    Shown shown;
    QWidget* client = shown.window.centralWidget();
    auto* slider = qobject_cast<QSlider*>(shown.window.control(416));
    auto* positive = qobject_cast<QLabel*>(shown.window.control(1710));
    auto* negative = qobject_cast<QLabel*>(shown.window.control(1711));
    QTest::mouseClick(client, Qt::LeftButton, {}, QPoint(350, 95));
    EXPECT_EQ(shown.window.receiver().settings().fineTuneHz, -1.0f);
    EXPECT_EQ(slider->value(), 497);
    EXPECT_EQ(negative->text(), "-1Hz");
    EXPECT_TRUE(positive->text().isEmpty());
    QTest::mouseClick(client, Qt::LeftButton, {}, QPoint(350, 100));
    EXPECT_EQ(slider->value(), 512);
    EXPECT_EQ(positive->text(), " 0Hz");
    EXPECT_TRUE(negative->text().isEmpty());
    EXPECT_EQ(shown.window.receiver().settings().pilotMarker, 100);
}

TEST(MainWindow, MonitorClicksMoveTheFramePhase) {
    Shown shown;
    QTest::mouseClick(shown.window.centralWidget(), Qt::LeftButton, {}, QPoint(30, 250));
    EXPECT_EQ(shown.window.receiver().frameOffset(), 423 - 90);
    EXPECT_EQ(shown.window.centralWidget()->cursor().shape(), Qt::CrossCursor);
    QTest::mouseClick(shown.window.centralWidget(), Qt::LeftButton, {}, QPoint(30, 225));
    EXPECT_EQ(shown.window.receiver().frameOffset(), 423 - 90) << "between the bands: ignored";
}

TEST(MainWindow, ModeControlsAndMenusReachOneCommand) {
    Shown shown;
    auto* colour = qobject_cast<QRadioButton*>(shown.window.control(438));
    auto* mono = qobject_cast<QRadioButton*>(shown.window.control(439));
    // A click on the right-hand part of the rectangle, away from indicator and text.
    QTest::mouseClick(mono, Qt::LeftButton, {}, QPoint(47, 10));
    EXPECT_TRUE(mono->isChecked());
    EXPECT_EQ(shown.window.receiver().settings().colourMode, 0);
    shown.window.action(438)->trigger();
    EXPECT_TRUE(colour->isChecked());
    EXPECT_FALSE(mono->isChecked());
    EXPECT_EQ(shown.window.receiver().settings().colourMode, 1);

    auto* filter = qobject_cast<QCheckBox*>(shown.window.control(425));
    shown.window.action(428)->trigger();
    EXPECT_EQ(filter->text(), "Noise filter (heavy)");
    EXPECT_EQ(shown.window.receiver().settings().noiseFilterOn, -1) << "weights only";
    QTest::mouseClick(filter, Qt::LeftButton, {}, QPoint(60, 7));
    EXPECT_TRUE(filter->isChecked());
    EXPECT_EQ(shown.window.receiver().settings().noiseFilterOn, 1);
    EXPECT_EQ(shown.window.receiver().settings().noiseFilterWeights.divisor, 16);

    QTest::mouseClick(shown.window.control(1712), Qt::LeftButton);
    EXPECT_EQ(shown.window.receiver().settings().bigPicture, 1);
}

TEST(MainWindow, BlocksRunTheWholeRoadIntoTheViews) {
    Shown shown(barsSignal(3));
    shown.waitForFrames(2);
    ASSERT_GE(shown.window.framesCompleted(), 2);
    EXPECT_EQ(shown.window.blocksHandled(), 48 * shown.window.framesCompleted());
    // The picture view holds the composed surface, which shows the card.
    const RgbImage picture = test::viewPicture(shown.window.pictureView()->image(),
                                               nbtv48Profile().geometry.pictureCrop);
    const RgbImage card = test::enlarge(makeTestCard(TestCardKind::Bars, 48, 48), 3);
    EXPECT_GE(test::psnr(picture, card), 17.0);
    // Three fields in the monitor strip, traces in the scope.
    const QImage strip = shown.window.monitorStrip()->image();
    EXPECT_NE(strip.pixel(20, 25) & 0xffffff, 0u);
    EXPECT_NE(strip.pixel(120, 25) & 0xffffff, 0u);
    int cyan = 0;
    const QImage scope = shown.window.pilotScope()->image();
    for (int y = 0; y < scope.height(); ++y) {
        for (int x = 0; x < scope.width(); ++x) {
            cyan += (scope.pixel(x, y) & 0xffffff) == 0x00ffffu ? 1 : 0;
        }
    }
    EXPECT_GE(cyan, 200);
    // Buffers alternate: the count of blocks is even after an even number of frames.
    EXPECT_EQ(shown.window.receiver().settings().currentBuffer,
              shown.window.blocksHandled() % 2 == 0 ? 1 : -1);
}

TEST(MainWindow, ExitShutsCaptureDownAndNoBlockFollows) {
    Shown shown(barsSignal(1));
    for (int i = 0; i < 50; ++i) {
        QCoreApplication::processEvents();
    }
    shown.window.action(402)->trigger();
    EXPECT_FALSE(shown.window.isVisible());
    EXPECT_EQ(shown.source->closes(), 1);
    EXPECT_FALSE(shown.window.capture().isOpen());
    const long handled = shown.window.blocksHandled();
    for (int i = 0; i < 50; ++i) {
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(shown.window.blocksHandled(), handled);
}

TEST(MainWindow, ALostDeviceIsReportedOnce) {
    Shown shown(barsSignal(1));
    shown.source->loseDevice();
    shown.source->loseDevice();
    for (int i = 0; i < 10; ++i) {
        QCoreApplication::processEvents();
    }
    ASSERT_EQ(shown.warnings.shown.size(), 1u);
    EXPECT_EQ(shown.warnings.shown[0].text, "No suitable device found");
}

// An audio file that opens but does not decode: one warning through the usual window, naming
// the file and why, instead of a white picture.
TEST(MainWindow, AnInputFileThatDoesNotDecodeIsReportedOnce) {
    QTemporaryDir folder;
    const QString path = folder.filePath("not-mpeg.wav");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    // A WAV header that announces MPEG audio (format 0x55), followed by no MPEG frame at all.
    const auto le = [](quint32 v, int bytes) {
        QByteArray b;
        for (int i = 0; i < bytes; ++i) {
            b.append(static_cast<char>((v >> (8 * i)) & 0xff));
        }
        return b;
    };
    const QByteArray data(20000, '\0');
    const QByteArray format =
        le(0x55, 2) + le(1, 2) + le(11025, 4) + le(11025, 4) + le(1, 2) + le(0, 2);
    const QByteArray body = "WAVEfmt " + le(static_cast<quint32>(format.size()), 4) + format +
                            "data" + le(static_cast<quint32>(data.size()), 4) + data;
    file.write("RIFF" + le(static_cast<quint32>(body.size()), 4) + body);
    file.close();

    Warnings warnings;
    MainWindow window(nbtv48Profile(), makeFileInput(path));
    window.show();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !warnings.shown.empty(); }, 10000));
    QTest::qWait(200);
    window.close();
    ASSERT_EQ(warnings.shown.size(), 1u);
    EXPECT_EQ(warnings.shown[0].caption, "WARNING");
    EXPECT_EQ(warnings.shown[0].text, "cannot decode the audio of '" + path +
                                          "': Invalid data found when processing input");
    EXPECT_EQ(window.blocksHandled(), 0);
}

// The warning window's own look; a short message exactly as it always was, a long one wrapped
// inside the same width with the window grown to hold it.
TEST(ShowWarning, IsAWhiteOnRedToolWindowKeptOnTop) {
    const QString longText =
        "error writing to output file '/media/recordings/a-folder-with-a-long-name/"
        "NBTV_48x48_01-31-2009_235959.avi': No space left on device (3 frames kept)";
    struct Seen {
        QSize window;
        QRect label;
        QString text;
        int lineWidthNeeded = 0;
        int heightNeeded = 0;
    };
    std::vector<Seen> seen;
    bool checked = false;
    const auto look = [&] {
        QWidget* modal = QApplication::activeModalWidget();
        ASSERT_NE(modal, nullptr);
        EXPECT_EQ(modal->windowTitle(), "WARNING");
        EXPECT_TRUE(modal->windowFlags() & Qt::WindowStaysOnTopHint);
        EXPECT_EQ(modal->windowFlags() & Qt::WindowType_Mask, Qt::Tool);
        auto* label = modal->findChild<QLabel*>("warningText");
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->palette().color(QPalette::Window), QColor(Qt::red));
        EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(Qt::white));
        EXPECT_EQ(label->font().pixelSize(), modal->logicalDpiY() * 14 / 72);
        EXPECT_TRUE(label->alignment() & Qt::AlignHCenter);
        const QFontMetrics metrics(label->font());
        Seen s{modal->size(), label->geometry(), label->text()};
        for (const QString& line : label->text().split('\n')) {
            s.lineWidthNeeded = std::max(s.lineWidthNeeded, metrics.horizontalAdvance(line));
        }
        s.heightNeeded = metrics
                             .boundingRect(QRect(0, 0, label->width(), 1 << 20),
                                           Qt::AlignHCenter | Qt::AlignTop, label->text())
                             .height();
        seen.push_back(s);
        checked = true;
        modal->close();
    };
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            modal->close();
        }
    });
    for (const QString& text : {QString("No suitable device found"), longText}) {
        QTimer::singleShot(0, look);
        watchdog.start(5000);
        showWarningWindow(nullptr, "WARNING", text);
    }
    EXPECT_TRUE(checked);
    ASSERT_EQ(seen.size(), 2u);

    QDialog plain;
    const DialogUnits units(plain.font());
    const Seen& shortOne = seen[0];
    EXPECT_EQ(shortOne.text, "No suitable device found");
    EXPECT_EQ(shortOne.window, QSize(units.width(260), units.height(30)));
    EXPECT_EQ(shortOne.label, QRect(0, 0, units.width(260), units.height(20)));

    const Seen& longOne = seen[1];
    EXPECT_EQ(longOne.window.width(), units.width(260)) << "as wide as ever";
    EXPECT_EQ(longOne.label.width(), units.width(260));
    EXPECT_GT(longOne.text.count('\n'), 0) << "wrapped";
    EXPECT_LE(longOne.lineWidthNeeded, longOne.label.width()) << "no line is cut off";
    EXPECT_GE(longOne.label.height(), longOne.heightNeeded) << "every line shows";
    EXPECT_GE(longOne.window.height(), longOne.label.bottom() + 1);
    QString all = longOne.text;
    all.remove('\n').remove(' ');
    EXPECT_EQ(all, QString(longText).remove(' ')) << "every character is kept";
}

// ---- The program itself ----

struct ProgramRun {
    int code = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QString out;
    QString err;
};

QProcessEnvironment withoutDisplay() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        env.remove(name);
    }
    return env;
}

ProgramRun runProgram(const QStringList& arguments,
                      const QProcessEnvironment& env = withoutDisplay()) {
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(NBTV48_PROGRAM, arguments);
    ProgramRun run;
    if (!program.waitForFinished(60000)) {
        program.kill();
        program.waitForFinished();
        return run;
    }
    run.code = program.exitCode();
    run.status = program.exitStatus();
    run.out = QString::fromLocal8Bit(program.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(program.readAllStandardError());
    return run;
}

// A user who tuned too late: the signal came 3 Hz off while the slider stood at 0, so the
// pictures came out wrong; moved to -3 Hz, "Replay last minute" gives the right picture of what
// was already heard.
TEST(MainWindow, ReplayOfTheLastMinuteGivesThePictureWithTheTuningNowInUse) {
    const ReceiverProfile& profile = nbtv48Profile();
    TransmitOptions options;
    options.frames = 3;
    const RgbImage card =
        makeTestCard(TestCardKind::Bars, profile.pictureColumns, profile.pictureLines);
    const std::vector<std::int16_t> clean = transmit(profile, card, options);
    options.channel.frequencyOffsetHz = 3.0;
    Shown shown(transmit(profile, card, options));
    shown.waitForFrames(3);
    ASSERT_GE(shown.window.framesCompleted(), 3);
    shown.source->pause(true);
    Receiver reference(profile);
    const RgbImage wanted = test::receive(reference, clean).back();
    const PixelRect crop = profile.geometry.pictureCrop;
    const double before =
        test::psnr(test::viewPicture(shown.window.pictureView()->image(), crop), wanted);

    auto* slider = qobject_cast<QSlider*>(shown.window.control(ids::fineTuneSlider));
    slider->setFocus();
    for (int i = 0; i < 45; ++i) {
        QTest::keyClick(slider, Qt::Key_Left);
    }
    ASSERT_FLOAT_EQ(shown.window.settings().fineTuneHz, -3.0f);
    const long frames = shown.window.framesCompleted();
    shown.window.action(ids::replayLastMinute)->trigger();
    EXPECT_EQ(shown.window.framesCompleted(), frames + 3) << "the three whole frames heard";
    const double after =
        test::psnr(test::viewPicture(shown.window.pictureView()->image(), crop), wanted);
    EXPECT_GT(after, 30.0);
    EXPECT_GT(after, before + 10.0);
}

// The band view shows the comb where the fine tune puts it; a click on the waterfall at the
// pilot heard 15 Hz high tunes as the slider would, to the slider position nearest -15 Hz.
TEST(MainWindow, AClickOnThePilotInTheWaterfallTunesAsTheSliderWould) {
    const ReceiverProfile& profile = nbtv48Profile();
    TransmitOptions options;
    options.frames = 1;
    options.channel.frequencyOffsetHz = 15.0;
    Shown shown(transmit(
        profile, makeTestCard(TestCardKind::Bars, profile.pictureColumns, profile.pictureLines),
        options));
    shown.window.action(ids::bandView)->trigger();
    BandView* band = shown.window.bandView();
    ASSERT_NE(band, nullptr);
    EXPECT_TRUE(band->isVisible());
    const long start = shown.window.blocksHandled();
    for (int i = 0; i < 20000 && shown.window.blocksHandled() < start + 40; ++i) {
        QCoreApplication::processEvents();
    }
    const int pilot = profile.carriers.pilotBin;
    EXPECT_DOUBLE_EQ(band->xOfBin(pilot), 4.0 * pilot) << "at no fine tune, on its bin";
    // The waterfall holds the pilot where it is heard.
    const int heard = roundHalfEven(4.0 * pilot + 15.0 * 1024 / 11025);
    const QImage rows = band->waterfallImage();
    EXPECT_GT(qGray(rows.pixel(heard, 5)), qGray(rows.pixel(heard + 2, 5)) + 20);

    QTest::mouseClick(band->waterfall(), Qt::LeftButton, {}, QPoint(heard, 50));
    auto* slider = qobject_cast<QSlider*>(shown.window.control(ids::fineTuneSlider));
    const float fineTune = shown.window.settings().fineTuneHz;
    EXPECT_NEAR(fineTune, -15.0, 1.5);
    EXPECT_FLOAT_EQ(fineTune, static_cast<float>((slider->value() - 512) / 15.0));
    EXPECT_EQ(shown.window.settings().pilotMarker, 100 + floorToInt(5.0 * fineTune));
    EXPECT_EQ(qobject_cast<QLabel*>(shown.window.control(ids::negativeReadout))->text(),
              fineTuneReadout(fineTune));
    EXPECT_NEAR(band->xOfBin(pilot), heard, 0.5) << "the mark follows the fine tune";
    shown.window.close();
    EXPECT_FALSE(band->isVisible()) << "it ends with the window";
}

// An audio recording of a program that was killed stays readable to its last block, in either
// format; the program's own transmitter feeds it.
TEST(Program, AKilledAudioRecordingIsReadableToItsLastBlock) {
    QTemporaryDir folder;
    for (const char* name : {"killed.flac", "killed.wav"}) {
        SCOPED_TRACE(name);
        const QString path = folder.filePath(name);
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        program.start(NBTV48_PROGRAM, {"--demo", "--record-audio", path});
        ASSERT_TRUE(program.waitForStarted(30000));
        // Blocks come in real time: wait for a few seconds of them.
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(path).size() > 40000; }, 60000));
        ::kill(static_cast<pid_t>(program.processId()), SIGKILL);
        ASSERT_TRUE(program.waitForFinished(30000));
        const qint64 size = QFileInfo(path).size();
        std::vector<std::int16_t> samples;
        std::string error;
        ASSERT_TRUE(readAudioFile(path.toStdString(), 11025, samples, error)) << error;
        if (QString(name).endsWith("wav")) {
            EXPECT_EQ(static_cast<qint64>(samples.size() * 2), size - 44)
                << "every sample written is read back";
        } else {
            EXPECT_GE(static_cast<qint64>(samples.size() * 2), size / 2)
                << "the frames written are read back";
        }
        EXPECT_EQ(samples.size() % 256, 0u) << "whole frames, whole blocks";
        // What was heard is the transmitter's signal, not silence.
        EXPECT_GT(*std::max_element(samples.begin(), samples.end()), 1000);
    }
}

// Help, mistakes and a missing display are told before Qt starts, on one line where they are
// mistakes, with the usual exit status.
TEST(Program, ReadsItsOptionsBeforeQtAndSaysWhatIsWrongInOneLine) {
    const ProgramRun help = runProgram({"--help"});
    EXPECT_EQ(help.status, QProcess::NormalExit);
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.startsWith("usage: nbtv48 [--demo | --input FILE]\n"))
        << help.out.toStdString();
    EXPECT_TRUE(help.out.contains("QT_QPA_PLATFORM=offscreen"));
    EXPECT_TRUE(help.out.contains("exit status:"));
    EXPECT_TRUE(help.err.isEmpty()) << help.err.toStdString();

    const ProgramRun usage = runProgram({"--help"});
    struct Wrong {
        QStringList arguments;
        QString line;
    };
    for (const Wrong& w :
         {Wrong{{"--bogus"}, "nbtv48: unknown option '--bogus'"},
          Wrong{{"--input"}, "nbtv48: --input needs a file"},
          Wrong{{"--demo", "--input", "a.wav"}, "nbtv48: --demo and --input exclude each other"}}) {
        SCOPED_TRACE(w.arguments.join(' ').toStdString());
        const ProgramRun run = runProgram(w.arguments);
        EXPECT_EQ(run.status, QProcess::NormalExit);
        EXPECT_EQ(run.code, 2);
        EXPECT_TRUE(run.out.isEmpty());
        EXPECT_EQ(run.err, w.line + "\n" + usage.out);
    }

    const ProgramRun noDisplay = runProgram({"--demo"});
    EXPECT_EQ(noDisplay.status, QProcess::NormalExit);
    EXPECT_EQ(noDisplay.code, 1);
    EXPECT_TRUE(noDisplay.out.isEmpty());
    EXPECT_EQ(noDisplay.err.count('\n'), 1) << noDisplay.err.toStdString();
    EXPECT_TRUE(noDisplay.err.startsWith("nbtv48: ")) << noDisplay.err.toStdString();
    EXPECT_TRUE(noDisplay.err.contains("QT_QPA_PLATFORM=offscreen")) << noDisplay.err.toStdString();
}

// Whether the process catches `signal` yet, from the kernel's account of it.
bool catches(qint64 pid, int signal) {
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return false;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:")) {
            bool ok = false;
            const qulonglong mask = line.mid(7).trimmed().toULongLong(&ok, 16);
            return ok && (mask >> (signal - 1) & 1u) != 0;
        }
    }
    return false;
}

// SIGTERM, SIGINT and SIGHUP end the running program as "&Exit" does, with 128 + the signal as
// its status (the recording they finish is checked in the window tests).
TEST(Program, ASignalEndsTheProgramAsExitDoes) {
    QProcessEnvironment env = withoutDisplay();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(NBTV48_PROGRAM, {"--demo"});
        ASSERT_TRUE(program.waitForStarted(30000));
        // Once the program catches the signal it is on its way to the window.
        ASSERT_TRUE(QTest::qWaitFor([&] { return catches(program.processId(), signal); }, 60000));
        ::kill(static_cast<pid_t>(program.processId()), signal);
        ASSERT_TRUE(program.waitForFinished(60000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 128 + signal);
        const QString err = QString::fromLocal8Bit(program.readAllStandardError());
        EXPECT_FALSE(err.contains("Sanitizer") || err.contains("runtime error"))
            << err.toStdString();
    }
}

} // namespace
} // namespace nbtv
