// The display: pilot-scope traces, the scope, picture and strip drawings, and the drawing areas.

#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QTest>

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "display/Display.h"
#include "picture/PilotScopeTraces.h"
#include "session/Receiver.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace nbtv {
namespace {

constexpr std::uint32_t black = 0x000000, white = 0xffffff, cyan = 0x00ffff, red = 0xff0000,
                        yellow = 0xffff00, green = 0x00ff00, blue = 0x0000ff;
constexpr std::uint32_t marker = 0x123456; // what a view held before a drawing

// The colour of an image pixel without its fourth byte.
std::uint32_t rgbAt(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xffffffu;
}

int countColour(const QImage& image, std::uint32_t colour, int x0 = 0, int x1 = -1) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = x0; x <= (x1 < 0 ? image.width() - 1 : x1); ++x) {
            count += rgbAt(image, x, y) == colour ? 1 : 0;
        }
    }
    return count;
}

// A different colour at every pixel, so that any shift or mix-up shows.
PixelSurface patternSurface(int width, int height) {
    PixelSurface surface(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            surface.at(x, y) = rgbPixel(x & 0xff, static_cast<std::uint32_t>(y), (x >> 8) + 7);
        }
    }
    return surface;
}

void expectShows(const QImage& image, const PixelSurface& surface, int width, int height) {
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            ASSERT_EQ(rgbAt(image, x, y), surface.at(x, y)) << x << "," << y;
        }
    }
}

struct Scope {
    const ReceiverProfile& profile = nbtv48Profile();
    ReceiverSettings settings = entrySettings(profile);
    PictureStore store{profile};
    SurfaceView view{ids::pilotScope, 100, 220, nullptr};

    std::int32_t& history(std::size_t row, int column) {
        return store.scopeHistory[row][static_cast<std::size_t>(column)];
    }
    const QImage& draw() {
        drawPilotScope(view, store, profile, settings);
        return view.image();
    }
};

// ---- Trace values

TEST(PilotScopeTraces, ColourSumsTwelveSamplesAndMonoFourTwentyNineColumnsApart) {
    Scope s;
    // Column 88 is sample j = 0..3 of the points 88, 59, 30 and 1; column 204 is their sample
    // j = 4..7, which only the colour sums reach.
    s.history(1, 88) = 40;
    s.history(1, 204) = 120;
    const auto colour = pilotScopeTraces(s.profile, s.store, 1);
    const auto mono = pilotScopeTraces(s.profile, s.store, 0);
    ASSERT_EQ(colour.size(), 3u);
    for (int x = 1; x <= 100; ++x) {
        const bool hit = x == 1 || x == 30 || x == 59 || x == 88;
        EXPECT_EQ(colour[1][x], hit ? 4 : 0) << x; // (40 + 120) / 40
        EXPECT_EQ(mono[1][x], hit ? 3 : 0) << x;   // 40 / 12 = 3.33
        EXPECT_EQ(colour[0][x] | colour[2][x], 0);
    }
    for (int j = 0; j < 12; ++j) {
        s.history(2, 7 + 29 * j) = j + 1;
    }
    const auto sums = pilotScopeTraces(s.profile, s.store, 1);
    EXPECT_EQ(sums[2][7], 2);                                    // 78 / 40 = 1.95
    EXPECT_EQ(sums[2][36], 2);                                   // from j = 1: 77 / 40
    EXPECT_EQ(pilotScopeTraces(s.profile, s.store, 0)[2][7], 1); // 10 / 12
}

TEST(PilotScopeTraces, HalvesRoundToEven) {
    // Columns 2..14 feed only the point of their own number: {column, value, / 40, / 12}.
    const int cases[][4] = {{2, 20, 0, 2},    {3, 60, 2, 5},  {4, 100, 2, 8},   {5, -20, 0, -2},
                            {6, -60, -2, -5}, {8, 61, 2, 5},  {9, 59, 1, 5},    {10, 6, 0, 0},
                            {11, 18, 0, 2},   {12, 30, 1, 2}, {13, -18, 0, -2}, {14, -30, -1, -2}};
    Scope s;
    for (const auto& c : cases) {
        s.history(0, c[0]) = c[1];
    }
    const auto colour = pilotScopeTraces(s.profile, s.store, 1);
    const auto mono = pilotScopeTraces(s.profile, s.store, 0);
    for (const auto& c : cases) {
        EXPECT_EQ(colour[0][c[0]], c[2]) << c[1];
        EXPECT_EQ(mono[0][c[0]], c[3]) << c[1];
    }
}

// ---- Pilot scope

TEST(PilotScope, EmptyHistoryDrawsTracesOnTheirBaselinesUnderTheCentreLine) {
    Scope s;
    const QImage& image = s.draw();
    for (int x = 1; x <= 99; ++x) {
        EXPECT_EQ(rgbAt(image, x, 50), cyan);
        EXPECT_EQ(rgbAt(image, x, 150), cyan);
        EXPECT_EQ(rgbAt(image, x, 100), yellow); // over the marker at its default 100
    }
    EXPECT_EQ(rgbAt(image, 0, 50), black);
    EXPECT_EQ(rgbAt(image, 0, 100), black);
    EXPECT_EQ(countColour(image, red), 0);
    EXPECT_EQ(countColour(image, cyan), 2 * 99);
    EXPECT_EQ(countColour(image, yellow), 99);
}

TEST(PilotScope, MarkerIsRedAwayFromTheCentreAndLinesStopBeforeTheirEnd) {
    Scope s;
    s.settings.pilotMarker = 60;
    const QImage& image = s.draw();
    EXPECT_EQ(countColour(image, red), 99);
    EXPECT_EQ(rgbAt(image, 1, 60), red);
    EXPECT_EQ(rgbAt(image, 0, 60), black);

    // A wider view shows what the 100-pixel scope hides: point 100 exists, the lines' end not.
    SurfaceView wide(ids::pilotScope, 120, 220, nullptr);
    drawPilotScope(wide, s.store, s.profile, s.settings);
    EXPECT_EQ(rgbAt(wide.image(), 99, 60), red);
    EXPECT_EQ(rgbAt(wide.image(), 100, 60), black);
    EXPECT_EQ(rgbAt(wide.image(), 99, 100), yellow);
    EXPECT_EQ(rgbAt(wide.image(), 100, 100), cyan); // the pilot's last point, not covered
    EXPECT_EQ(rgbAt(wide.image(), 100, 50), cyan);

    s.settings.pilotMarker = 100; // redrawn from scratch: the old marker is gone
    EXPECT_EQ(countColour(s.draw(), red), 0);
}

TEST(PilotScope, PointsSitAtBaselineMinusValueAndOnlyInsideTheScope) {
    Scope s;
    s.history(0, 7) = 13 * 40;   // a(7) = 13
    s.history(2, 8) = -20 * 40;  // b(8) = -20
    s.history(0, 9) = 51 * 40;   // a(9) = 51: above the top
    s.history(2, 10) = -80 * 40; // b(10) = -80: below the bottom
    s.history(1, 11) = std::numeric_limits<std::int32_t>::max();
    s.history(1, 12) = std::numeric_limits<std::int32_t>::min();
    s.history(0, 204) = 400; // a = 10 at x = 30 in colour (samples j = 4..7), 0 in mono
    const QImage& image = s.draw();
    EXPECT_EQ(rgbAt(image, 7, 37), cyan);
    EXPECT_EQ(rgbAt(image, 7, 50), black);
    EXPECT_EQ(rgbAt(image, 8, 170), cyan);
    EXPECT_EQ(rgbAt(image, 8, 150), black);
    EXPECT_EQ(countColour(image, cyan, 7, 7), 2); // 37 and 150; the pilot's is under yellow
    EXPECT_EQ(countColour(image, cyan, 9, 9), 1); // 150 only
    EXPECT_EQ(countColour(image, cyan, 10, 10), 1);
    EXPECT_EQ(countColour(image, cyan, 11, 12), 4);
    EXPECT_EQ(rgbAt(image, 30, 40), cyan);
    s.settings.colourMode = 0;
    s.draw();
    EXPECT_EQ(rgbAt(image, 30, 40), black);
    EXPECT_EQ(rgbAt(image, 30, 50), cyan);
}

TEST(PilotScope, CaptionIsWhiteOnOpaqueBlackFromItsCorner) {
    Scope s;
    s.settings.pilotMarker = 210; // a red line through the caption, covered by its background
    const QImage& image = s.draw();
    int left = 100, right = -1, top = 220;
    for (int y = 0; y < 220; ++y) {
        for (int x = 0; x < 100; ++x) {
            if (rgbAt(image, x, y) == white) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
            }
        }
    }
    EXPECT_GT(countColour(image, white), 60);
    EXPECT_TRUE(left >= 20 && left <= 23) << left;
    EXPECT_TRUE(top >= 200 && top <= 204) << top;
    EXPECT_GT(right - left, 40); // "Pilot carrier" at 11 pixels is about 60 wide
    for (int y = 200; y < 214; ++y) {
        for (int x = 20; x <= right; ++x) {
            const std::uint32_t c = rgbAt(image, x, y);
            EXPECT_TRUE(c == white || c == black) << x << "," << y << " " << std::hex << c;
        }
    }
    EXPECT_EQ(rgbAt(image, 10, 210), red);
}

// ---- Picture

TEST(PictureView, NaturalSizeShowsTheSurfaceAndLeavesTheBottomRow) {
    const PixelSurface surface = patternSurface(288, 219);
    SurfaceView view(ids::pictureView, 288, 220, nullptr);
    view.image().fill(QColor(QRgb(marker)));
    drawPicture(view, surface, nbtv48Profile(), 0);
    expectShows(view.image(), surface, 288, 219);
    EXPECT_EQ(countColour(view.image(), marker), 288);
    EXPECT_EQ(rgbAt(view.image(), 287, 219), marker);
}

// The picture area in four coloured quarters, grey around it.
PixelSurface quarteredSurface() {
    PixelSurface surface(288, 219);
    for (int y = 0; y < 219; ++y) {
        for (int x = 0; x < 288; ++x) {
            const bool inside = x >= 70 && x < 214 && y >= 34 && y < 178;
            const bool right = x >= 142, lower = y >= 106;
            surface.at(x, y) = !inside ? 0x808080
                               : lower ? (right ? white : blue)
                                       : (right ? green : red);
        }
    }
    return surface;
}

TEST(PictureView, BigViewScalesThePictureAreaAndKeepsTheBands) {
    SurfaceView view(ids::pictureView, 288, 220, nullptr);
    view.image().fill(QColor(QRgb(marker)));
    drawPicture(view, quarteredSurface(), nbtv48Profile(), 1);
    const QImage& image = view.image();
    EXPECT_EQ(countColour(image, marker, 0, 34), 35 * 220);
    EXPECT_EQ(countColour(image, marker, 254, 287), 34 * 220);
    EXPECT_EQ(countColour(image, marker), 69 * 220 + 219); // and the bottom row
    // Corners: the grey around the picture area does not bleed in.
    EXPECT_EQ(rgbAt(image, 35, 0), red);
    EXPECT_EQ(rgbAt(image, 253, 0), green);
    EXPECT_EQ(rgbAt(image, 35, 218), blue);
    EXPECT_EQ(rgbAt(image, 253, 218), white);
    // Scaled by 219 / 144: the quarters meet near x = 35 + 109.5, not at 35 + 72.
    EXPECT_EQ(rgbAt(image, 135, 100), red);
    EXPECT_EQ(rgbAt(image, 153, 100), green);
    EXPECT_EQ(rgbAt(image, 135, 118), blue);
    EXPECT_EQ(rgbAt(image, 153, 118), white);
    // The centre averages the four quarters, as halftone stretching does.
    const QRgb centre = image.pixel(35 + 109, 109);
    for (int channel : {qRed(centre), qGreen(centre), qBlue(centre)}) {
        EXPECT_NEAR(channel, 128, 12) << std::hex << centre;
    }
}

TEST(PictureView, NaturalSizeAfterTheBigViewLeavesNoRemains) {
    const PixelSurface surface = patternSurface(288, 219);
    SurfaceView view(ids::pictureView, 288, 220, nullptr);
    drawPicture(view, quarteredSurface(), nbtv48Profile(), 1);
    drawPicture(view, surface, nbtv48Profile(), 0);
    expectShows(view.image(), surface, 288, 219);
    EXPECT_EQ(countColour(view.image(), black), 288); // the bottom row, black from the start
}

TEST(PictureView, SurfaceImageWrapsThePixels) {
    PixelSurface surface = patternSurface(288, 219);
    const QImage image = surfaceImage(surface);
    EXPECT_EQ(image.format(), QImage::Format_RGB32);
    EXPECT_EQ(image.size(), QSize(288, 219));
    EXPECT_EQ(static_cast<const void*>(image.constBits()),
              static_cast<const void*>(surface.pixels.data()));
    surface.at(3, 4) = 0xabcdef; // seen through the image
    EXPECT_EQ(rgbAt(image, 3, 4), 0xabcdefu);
}

TEST(MonitorStrip, ShowsTheTopLeftOfTheMonitorSurface) {
    const PixelSurface monitor = patternSurface(288, 73);
    SurfaceView strip(ids::monitorStrip, 144, 50, nullptr);
    showMonitorStrip(strip, monitor);
    expectShows(strip.image(), monitor, 144, 50);
}

// ---- Drawing areas

TEST(SurfaceView, CarriesItsIdentifierAndABlackImage) {
    SurfaceView view(ids::pilotScope, 100, 220, nullptr);
    EXPECT_EQ(view.objectName(), QString("id1500"));
    EXPECT_EQ(view.property("controlId").toInt(), 1500);
    EXPECT_EQ(view.size(), QSize(100, 220));
    EXPECT_EQ(view.image().size(), QSize(100, 220));
    EXPECT_EQ(view.image().format(), QImage::Format_RGB32);
    EXPECT_EQ(countColour(view.image(), black), 100 * 220);
    EXPECT_TRUE(view.testAttribute(Qt::WA_OpaquePaintEvent));
}

class PressRecorder : public QWidget {
  public:
    std::vector<QPoint> presses;

  protected:
    void mousePressEvent(QMouseEvent* event) override {
        presses.push_back(event->position().toPoint());
    }
};

TEST(SurfaceView, PressesReachTheWindowBeneathAndTheImageIsPainted) {
    PressRecorder window;
    window.resize(200, 200);
    SurfaceView view(ids::monitorStrip, 144, 50, &window);
    view.move(10, 20);
    view.image().setPixel(3, 4, qRgb(200, 100, 50));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, QPoint(40, 45));
    ASSERT_EQ(window.presses.size(), 1u);
    EXPECT_EQ(window.presses[0], QPoint(40, 45)); // in the window's coordinates
    // Delivered straight to the window: the view is not even a candidate for presses.
    EXPECT_EQ(window.childAt(40, 45), nullptr);

    const QImage shown = view.grab().toImage();
    EXPECT_EQ(rgbAt(shown, 3, 4), 0xc86432u);
    EXPECT_EQ(rgbAt(shown, 143, 49), black);
}

// ---- The whole chain

TEST(Display, ReceivedBarsShowInTheirColours) {
    const ReceiverProfile& profile = nbtv48Profile();
    const RgbImage card = makeTestCard(TestCardKind::Bars, 48, 48);
    TransmitOptions options;
    options.frames = 3;
    const std::vector<std::int16_t> signal = transmit(profile, card, options);

    Receiver receiver(profile);
    SurfaceView picture(ids::pictureView, 288, 220, nullptr);
    SurfaceView scope(ids::pilotScope, 100, 220, nullptr);
    SurfaceView strip(ids::monitorStrip, 144, 50, nullptr);
    const std::size_t length = static_cast<std::size_t>(receiver.settings().blockLength);
    int frames = 0;
    for (std::size_t at = 0; at + length <= signal.size(); at += length) {
        if (receiver.processBlock(std::span(signal).subspan(at, length))) {
            drawPicture(picture, receiver.pictureSurface(), profile, 0);
            ++frames;
        }
        drawPilotScope(scope, receiver.pictures(), profile, receiver.settings());
        showMonitorStrip(strip, receiver.monitorSurface());
    }
    ASSERT_EQ(frames, 3);

    // Bars of six picture columns, sampled at their middles with room for the softening.
    const auto expectBars = [&](const QImage& image, auto columnOfBar, int y) {
        for (int bar = 0; bar < 8; ++bar) {
            const std::uint8_t* sent = card.pixel(bar * 6 + 3, 24);
            const QRgb shown = image.pixel(columnOfBar(bar), y);
            EXPECT_NEAR(qRed(shown), sent[0], 64) << "bar " << bar;
            EXPECT_NEAR(qGreen(shown), sent[1], 64) << "bar " << bar;
            EXPECT_NEAR(qBlue(shown), sent[2], 64) << "bar " << bar;
        }
    };
    expectBars(
        picture.image(), [](int bar) { return 70 + 18 * bar + 9; }, 106);
    // The big view: the same bars, 219 / 144 as wide, from x = 35.
    drawPicture(picture, receiver.pictureSurface(), profile, 1);
    expectBars(
        picture.image(), [](int bar) { return 35 + (18 * bar + 9) * 219 / 144; }, 109);

    expectShows(strip.image(), receiver.monitorSurface(), 144, 50);
    // The received pilot swings about its baseline; the neighbours' traces stay within 20 of
    // theirs (50 and 150).
    EXPECT_GE(countColour(scope.image().copy(0, 80, 100, 41), cyan), 50);
}

} // namespace
} // namespace nbtv

int main(int argc, char** argv) {
    // Before the application exists: test discovery runs this without ctest's environment.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
