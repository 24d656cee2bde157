// The nbtv96 window: its own layout and menus on the same window code, the pilot-scope press
// that writes the fine tune into the caption, and the picture stretched to 288 x 225.

#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSlider>
#include <QTest>

#include "profiles/ReceiverProfile.h"
#include "shell/MainWindow.h"
#include "support/Reception.h"
#include "support/ScriptedWaveIn.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"
#include "widgets/Controls.h"
#include "widgets/Warning.h"

namespace nbtv {
namespace {

struct Window96 {
    WarningFunction previous;
    test::ScriptedWaveIn* source;
    MainWindow window;

    explicit Window96(std::vector<std::int16_t> samples = {})
        : source(new test::ScriptedWaveIn(std::move(samples))),
          window(nbtv96Profile(), std::unique_ptr<WaveIn>(source)) {
        previous = setWarningFunction([](QWidget*, const QString&, const QString&) {});
        window.show();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    ~Window96() {
        window.close();
        setWarningFunction(previous);
    }
};

TEST(Nbtv96Window, ControlsStandAtTheirOwnPlaces) {
    Window96 w;
    EXPECT_EQ(w.window.windowTitle(), "96x72 pixel RGB/MONO TV receiver");
    EXPECT_EQ(w.window.centralWidget()->height() + w.window.menuBar()->height(), 440);
    struct Expected {
        int id;
        const char* text;
        QRect rect;
    };
    const std::vector<Expected> expected = {
        {1500, "", {295, 0, 100, 300}},     {1501, "", {0, 227, 288, 72}},
        {430, "", {0, 0, 288, 220}},        {433, "Record", {185, 315, 75, 20}},
        {417, "", {90, 398, 290, 14}},      {0, "Mode", {5, 305, 150, 38}},
        {438, "Colour", {30, 318, 50, 20}}, {439, "Mono", {90, 318, 50, 20}},
        {416, "", {5, 345, 390, 27}},       {415, "-34", {10, 375, 20, 15}},
        {415, "+34", {370, 375, 20, 15}},   {415, "-----Fine Tune-----", {160, 375, 90, 15}},
        {1710, "", {270, 375, 100, 15}},    {1711, "", {70, 375, 100, 15}},
    };
    std::vector<QWidget*> widgets;
    for (QObject* child : w.window.centralWidget()->children()) {
        if (auto* widget = qobject_cast<QWidget*>(child)) {
            widgets.push_back(widget);
        }
    }
    ASSERT_EQ(widgets.size(), expected.size()) << "no noise filter, no big picture";
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(controlId(widgets[i]), expected[i].id) << i;
        EXPECT_EQ(widgets[i]->geometry(), expected[i].rect) << i;
    }
    auto* status = qobject_cast<QLabel*>(w.window.control(417));
    EXPECT_EQ(status->frameShape(), QFrame::NoFrame);
    EXPECT_EQ(w.window.control(425), nullptr);
    EXPECT_EQ(w.window.control(1712), nullptr);
}

TEST(Nbtv96Window, PictureMenuEndsAfterTheColourMode) {
    Window96 w;
    QMenu* picture = nullptr;
    for (QAction* a : w.window.menuBar()->actions()) {
        if (a->text() == "Picture properties") {
            picture = a->menu();
        }
    }
    ASSERT_NE(picture, nullptr);
    const QList<QAction*> items = picture->actions();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0]->text(), "Picture adjust");
    EXPECT_TRUE(items[1]->isSeparator());
    EXPECT_EQ(items[2]->text(), "Colour mode");
    for (int id : {426, 427, 428}) {
        EXPECT_EQ(w.window.action(id), nullptr) << id;
    }
}

TEST(Nbtv96Window, PilotScopePressesWriteTheFineTuneIntoTheCaption) {
    Window96 w;
    auto* slider = qobject_cast<QSlider*>(w.window.control(416));
    auto* positive = qobject_cast<QLabel*>(w.window.control(1710));
    QTest::mouseClick(w.window.centralWidget(), Qt::LeftButton, {}, QPoint(320, 150));
    EXPECT_EQ(w.window.receiver().settings().fineTuneHz, 0.0f);
    EXPECT_EQ(slider->value(), 512);
    EXPECT_EQ(w.window.windowTitle(), " 0");
    QTest::mouseClick(w.window.centralWidget(), Qt::LeftButton, {}, QPoint(320, 0));
    EXPECT_EQ(w.window.receiver().settings().fineTuneHz, -30.0f);
    EXPECT_EQ(slider->value(), 62);
    EXPECT_EQ(w.window.windowTitle(), "-30");
    EXPECT_TRUE(positive->text().isEmpty()) << "the readouts keep what they showed";
    // Below the scope's region a press with x > 288 is a monitor press.
    QTest::mouseClick(w.window.centralWidget(), Qt::LeftButton, {}, QPoint(300, 303));
    EXPECT_EQ(w.window.windowTitle(), "-30");
    EXPECT_EQ(w.window.receiver().frameOffset(), 1); // 0 + 864 - 9 - 900, raised to 1
}

TEST(Nbtv96Window, SliderReadoutsCentreThePilotMarkerOn150) {
    Window96 w;
    auto* slider = qobject_cast<QSlider*>(w.window.control(416));
    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_Left);
    EXPECT_EQ(w.window.receiver().settings().pilotMarker, 149);
    EXPECT_EQ(qobject_cast<QLabel*>(w.window.control(1711))->text(), "-00.07 Hz");
}

TEST(Nbtv96Window, ThePictureFillsTheViewStretched) {
    const ReceiverProfile& profile = nbtv96Profile();
    TransmitOptions options;
    options.frames = 2;
    Window96 w(transmit(profile, makeTestCard(TestCardKind::Bars, 96, 72), options));
    for (int i = 0; i < 20000 && w.window.framesCompleted() < 2; ++i) {
        QCoreApplication::processEvents();
    }
    ASSERT_GE(w.window.framesCompleted(), 2);
    const QImage view = w.window.pictureView()->image();
    // Eight bars across the whole width; white on the left, blue second from the right.
    EXPECT_GT(qRed(view.pixel(18, 110)), 200);
    EXPECT_GT(qBlue(view.pixel(18, 110)), 200);
    EXPECT_LT(qRed(view.pixel(6 * 36 + 18, 110)), 60);
    EXPECT_GT(qBlue(view.pixel(6 * 36 + 18, 110)), 200);
    // Stretched: the surface's black last row falls below the view, whose lowest row shows
    // the picture.
    EXPECT_NE(view.pixel(18, 219) & 0xffffff, 0u);
}

} // namespace
} // namespace nbtv
