#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/ReceiverSettings.h"
#include "picture/PictureAssembler.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {
namespace {

struct Pipeline {
    const ReceiverProfile& profile = nbtv48Profile();
    ReceiverSettings settings = entrySettings(profile);
    Matrix<float> buffer{432, 384};
    PictureStore store{profile};
    PictureAssembler assembler{profile, buffer, store};

    void fillCarriers(float value, int firstColumn = 1, int lastColumn = 432) {
        for (int c = firstColumn; c <= lastColumn; ++c) {
            for (int r = 6; r <= 384; r += 3) {
                buffer(c, r) = value;
            }
        }
    }
    // Runs the blocks of one whole frame (offsets 423 .. 0) over the buffer as it stands.
    void runFrame() {
        const int width = settings.colourMode == 1 ? 432 : 144;
        for (int f = width - 9; f >= 0; f -= 9) {
            assembler.assembleBlock(f, settings);
        }
        assembler.composePicture(settings);
    }
    std::int32_t plane(ColourComponent c, int column, int row) const {
        return store.planes[static_cast<std::size_t>(c)](column, row);
    }
};

TEST(PictureAssembler, LevelsFollowBrightnessAndContrast) {
    ReceiverSettings s = entrySettings(nbtv48Profile());
    EXPECT_EQ(PictureAssembler::level(0.0f, s), 148.0f);
    EXPECT_EQ(PictureAssembler::level(0.5f, s), 255.0f);
    EXPECT_EQ(PictureAssembler::level(-0.7f, s), 0.0f);
    EXPECT_EQ(PictureAssembler::level(std::numeric_limits<float>::quiet_NaN(), s), 255.0f);
    EXPECT_EQ(PictureAssembler::level(std::numeric_limits<float>::infinity(), s), 255.0f);
    EXPECT_EQ(PictureAssembler::level(-std::numeric_limits<float>::infinity(), s), 0.0f);
    s.brightness = 0;
    s.contrast = 0;
    EXPECT_FLOAT_EQ(PictureAssembler::level(0.25f, s), 45.0f);
    EXPECT_FLOAT_EQ(PictureAssembler::level(-0.1f, s), 10.0f);
}

TEST(PictureAssembler, PilotCarrierNeverReachesThePicture) {
    Pipeline p;
    p.settings.brightness = 0;
    p.settings.contrast = 0; // level = 100 v + 20
    p.fillCarriers(0.0f);
    for (int c = 1; c <= 432; ++c) {
        p.buffer(c, 282) = 1.0f;  // bin 35
        p.buffer(c, 285) = -5.0f; // the pilot, bin 34
        p.buffer(c, 288) = 0.4f;  // bin 33
    }
    p.assembler.assembleBlock(9, p.settings);
    // Columns 10 .. 18 lie in the first field: the blue plane's rows are the matrix rows.
    for (int c = 10; c <= 18; ++c) {
        EXPECT_EQ(p.plane(ColourComponent::Blue, c, 285), 120); // bin 35 moved down one slot
        EXPECT_EQ(p.plane(ColourComponent::Blue, c, 288), 60);  // bin 33 in place
        EXPECT_EQ(p.plane(ColourComponent::Blue, c, 286), 100); // (2 x 1.0 + 0.4) / 3 scaled
        EXPECT_EQ(p.plane(ColourComponent::Blue, c, 287), 80);  // (1.0 + 2 x 0.4) / 3 scaled
    }
}

TEST(PictureAssembler, SmoothingLeavesTheOuterColumnsOfABlockAlone) {
    Pipeline p;
    for (int c = 1; c <= 432; ++c) {
        p.buffer(c, 300) = (c % 2 == 0) ? 1.0f : 0.0f;
    }
    p.assembler.assembleBlock(100, p.settings);
    EXPECT_EQ(p.buffer(109, 300), 0.0f); // f + 9
    EXPECT_EQ(p.buffer(101, 300), 0.0f); // f + 1
    EXPECT_EQ(p.buffer(110, 300), 1.0f); // outside the block
    // Centre 108 first from raw neighbours, then 107 from the smoothed 108.
    EXPECT_FLOAT_EQ(p.buffer(108, 300), 0.5f);
    EXPECT_FLOAT_EQ(p.buffer(107, 300), (2 * 0.0f + 0.5f + 1.0f) / 4);
}

TEST(PictureAssembler, PlanesRoundHalvesToEvenAndTheMonitorFloors) {
    Pipeline p;
    p.settings.contrast = 156; // level = 256 v + brightness + 20
    p.fillCarriers(1.0f / 512.0f);
    p.settings.brightness = 107; // 127.5
    p.assembler.assembleBlock(0, p.settings);
    EXPECT_EQ(p.plane(ColourComponent::Blue, 5, 300), 128);
    p.settings.brightness = 106; // 126.5
    p.fillCarriers(1.0f / 512.0f);
    p.assembler.assembleBlock(0, p.settings);
    EXPECT_EQ(p.plane(ColourComponent::Blue, 5, 300), 126);
    // 127.9: the plane rounds up, the monitor floors down.
    p.settings.brightness = 107;
    p.fillCarriers(0.9f / 256.0f);
    p.assembler.assembleBlock(0, p.settings);
    EXPECT_EQ(p.plane(ColourComponent::Blue, 5, 300), 128);
    EXPECT_EQ(p.store.monitorSurface.at(2, 20), greyPixel(127)); // column 9 / 3, row 21
}

TEST(PictureAssembler, ColourFramesTakeBlueGreenAndRedFromTheThirdsOfTheBuffer) {
    Pipeline p;
    p.settings.brightness = 0;
    p.settings.contrast = 0;
    p.fillCarriers(0.1f, 1, 144);   // 30: the third field, blue
    p.fillCarriers(0.6f, 145, 288); // 80: green
    p.fillCarriers(1.2f, 289, 432); // 140: the first field, red
    p.runFrame();
    const PixelSurface& s = p.store.pictureSurface;
    EXPECT_EQ(s.at(70, 34), rgbPixel(140, 80, 30));
    EXPECT_EQ(s.at(213, 177), rgbPixel(140, 80, 30));
    EXPECT_EQ(s.at(150, 178), 0u) << "the last picture row stays black";
    EXPECT_EQ(s.at(69, 100), 0u) << "outside the picture";
    EXPECT_EQ(s.at(214, 100), 0u);
    EXPECT_EQ(s.at(100, 33), 0u);
}

// After a press in the monitor strip the blocks straddle the fields: columns 419 .. 4 in blocks
// of nine leave 1 .. 4 and 428 .. 432 unreceived, and the blocks of columns 140 .. 148 and
// 284 .. 292 bring blue and green to column 140 (their first columns, which smoothing leaves
// alone).
TEST(PictureAssembler, BlocksStraddlingTheFieldsFillTheirColumnsOfEachPlane) {
    Pipeline p;
    p.settings.brightness = 0;
    p.settings.contrast = 0;
    p.fillCarriers(0.1f, 1, 144);   // 30: blue
    p.fillCarriers(0.6f, 145, 288); // 80: green
    p.fillCarriers(1.2f, 289, 432); // 140: red
    for (int f = 418; f >= 4; f -= 9) {
        p.assembler.assembleBlock(f, p.settings);
    }
    p.assembler.composePicture(p.settings);
    const PixelSurface& s = p.store.pictureSurface;
    const int y = 100;
    EXPECT_EQ(s.at(69 + 5, y), rgbPixel(140, 80, 30));   // column 5
    EXPECT_EQ(s.at(69 + 139, y), rgbPixel(140, 80, 30)); // column 139
    EXPECT_EQ(s.at(69 + 140, y), rgbPixel(0, 80, 30));   // 284 received, 428 not
    EXPECT_EQ(s.at(69 + 4, y), 0u);                      // column 4 itself never received
}

TEST(PictureAssembler, TopRowShowsTheHighestCarrier) {
    Pipeline p;
    p.settings.brightness = 0;
    p.settings.contrast = 0;
    p.fillCarriers(0.0f);
    for (int c = 1; c <= 432; ++c) {
        p.buffer(c, p.profile.rowOfBin(58)) = 2.0f; // 220
        p.buffer(c, p.profile.rowOfBin(10)) = 1.0f; // 120
    }
    p.runFrame();
    const PixelSurface& s = p.store.pictureSurface;
    // Blue from the carrier's own row; red and green from the matrix row above it, a third of
    // the way to the next carrier (bin 59 and bin 11 hold 0 here).
    EXPECT_EQ(s.at(100, 35), rgbPixel(153, 153, 220)); // bitmap row 36
    EXPECT_EQ(s.at(100, 176), rgbPixel(87, 87, 120));  // bitmap row 177
    EXPECT_EQ(s.at(100, 36) & 0xff, 153u);             // two thirds of the way to bin 57
}

TEST(PictureAssembler, MonochromeShowsOneFieldInGreyAndClearsTheMonitorBesideIt) {
    Pipeline p;
    for (int x = 0; x < 288; ++x) {
        for (int y = 0; y < 73; ++y) {
            p.store.monitorSurface.at(x, y) = 0x123456;
        }
    }
    p.settings.colourMode = 0;
    p.settings.brightness = 0;
    p.settings.contrast = 0;
    p.fillCarriers(0.5f, 1, 144); // 70
    p.fillCarriers(2.0f, 145, 432);
    p.runFrame();
    EXPECT_EQ(p.store.pictureSurface.at(100, 100), greyPixel(70));
    EXPECT_EQ(p.store.monitorSurface.at(47, 10), greyPixel(70)) << "the field's last column";
    EXPECT_EQ(p.store.monitorSurface.at(48, 10), 0u);
    EXPECT_EQ(p.store.monitorSurface.at(143, 72), 0u);
    EXPECT_EQ(p.store.monitorSurface.at(144, 72), 0x123456u) << "beyond the strip";
}

TEST(PictureAssembler, MonitorShowsAllFieldsAndItsLowestRowIsScaledToo) {
    Pipeline p;
    p.fillCarriers(0.0f); // level 148 everywhere, also in the row below the picture
    p.runFrame();
    const PixelSurface& m = p.store.monitorSurface;
    EXPECT_EQ(m.at(0, 0), greyPixel(148));
    EXPECT_EQ(m.at(143, 48), greyPixel(148));
    EXPECT_EQ(m.at(143, 49), greyPixel(148));
    EXPECT_EQ(m.at(144, 0), 0u);
    EXPECT_EQ(m.at(0, 50), 0u);
    p.fillCarriers(-0.3f); // negative values no longer show as near-white
    p.runFrame();
    EXPECT_EQ(m.at(10, 49), greyPixel(79)); // 228 x -0.3 + 148 = 79.6
}

TEST(PictureAssembler, ScopeHistoriesAverageAndTreatSilenceAsZero) {
    Pipeline p;
    for (int c = 1; c <= 432; ++c) {
        p.buffer(c, 282) = 0.5f;
        p.buffer(c, 285) = std::numeric_limits<float>::quiet_NaN();
        p.buffer(c, 288) = 1e30f;
    }
    p.assembler.assembleBlock(0, p.settings);
    EXPECT_EQ(p.store.scopeHistory[0][432], 25);
    EXPECT_EQ(p.store.scopeHistory[1][1], 0);
    EXPECT_EQ(p.store.scopeHistory[2][7], std::numeric_limits<std::int32_t>::max());
    p.assembler.assembleBlock(0, p.settings);
    EXPECT_EQ(p.store.scopeHistory[0][432], 38); // (50 + 25) / 2 = 37.5, to even
}

} // namespace
} // namespace nbtv
