// The RGGB pipeline step by step, on a frame buffer filled by hand.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/FineTuneScale.h"
#include "core/PressTarget.h"
#include "core/ReceiverSettings.h"
#include "demod/FrameAssembler.h"
#include "picture/PilotScopeTraces.h"
#include "picture/RggbAssembler.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {
namespace {

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

struct Pipeline {
    const ReceiverProfile& profile = nbtv96rggbProfile();
    ReceiverSettings settings = entrySettings(profile);
    Matrix<float> buffer{576, 128};
    PictureStore store{profile};
    RggbAssembler assembler{profile, buffer, store};

    Pipeline() {
        settings.brightness = 0;
        settings.contrast = 28; // level = 128 v + 20, exact for the values below
    }
    // Row r of the columns first..last shows `level`.
    void setLevel(int r, double level, int first = 1, int last = 576) {
        for (int c = first; c <= last; ++c) {
            buffer(c, r) = static_cast<float>((level - 20.0) / 128.0);
        }
    }
    std::int32_t line(ColourComponent k, int c, int r) const {
        return assembler.rggbStore().lines[static_cast<std::size_t>(k)](c, r);
    }
    std::int32_t plane(ColourComponent k, int c, int r) const {
        return store.planes[static_cast<std::size_t>(k)](c, r);
    }
    std::int32_t filtered(ColourComponent k, int c, int y) const {
        return assembler.rggbStore().filteredPlanes[static_cast<std::size_t>(k)](c, y);
    }
};

// The green field (columns 1..288) shows level r + 20 in row r, the red/blue field r + 120.
Pipeline fieldsByRow() {
    Pipeline p;
    for (int r = 1; r <= 128; ++r) {
        p.setLevel(r, r + 20, 1, 288);
        p.setLevel(r, r + 120, 289, 576);
    }
    p.assembler.assembleBlock(288, p.settings); // columns 289..297 reach the picture matrix
    p.assembler.assembleBlock(0, p.settings);
    return p;
}

using C = ColourComponent;

TEST(RggbAssembler, LinesComeFromTheCarrierPairs) {
    const Pipeline p = fieldsByRow();
    for (int r = 2; r <= 126; r += 2) {
        // Row r (odd bin) carries blue, row r + 1 (even bin) red; both show both.
        for (int row : {r, r + 1}) {
            EXPECT_EQ(p.line(C::Green, 5, row), row + 20) << row;
            EXPECT_EQ(p.line(C::Red, 5, row), r + 1 + 120) << row;
            EXPECT_EQ(p.line(C::Blue, 5, row), r + 120) << row;
        }
    }
    // Rows 1 and 128 have no partner.
    EXPECT_EQ(p.line(C::Green, 5, 1), 0);
    EXPECT_EQ(p.line(C::Green, 5, 128), 0);
}

TEST(RggbAssembler, PlanesTakeEveryThirdRowAndInterpolateRoundedToNearest) {
    const Pipeline p = fieldsByRow();
    // Red 169 on rows 48 and 49, 171 on rows 50 and 51: plane rows 144, 147 and 150 (the
    // planes keep the rows of the picture area, 141 .. 359).
    EXPECT_EQ(p.plane(C::Red, 5, 144), 169);
    EXPECT_EQ(p.plane(C::Red, 5, 147), 169);
    EXPECT_EQ(p.plane(C::Red, 5, 150), 171);
    EXPECT_EQ(p.plane(C::Red, 5, 148), 170); // (2 x 169 + 171) / 3 = 169.67
    EXPECT_EQ(p.plane(C::Red, 5, 149), 170); // (2 x 171 + 169) / 3 = 170.33
    // Green 139 on row 119 and 140 on row 120: the picture area's last row, 359, between them.
    EXPECT_EQ(p.plane(C::Green, 5, 357), 139);
    EXPECT_EQ(p.plane(C::Green, 5, 359), 140); // (2 x 140 + 139) / 3 = 139.67
}

TEST(RggbAssembler, NotANumberShowsWhiteInThePictureAndZeroInTheScope) {
    Pipeline p;
    p.setLevel(60, 100.0);
    p.setLevel(46, 100.0);
    p.buffer(5, 60) = nan;
    p.buffer(5, 46) = nan;
    p.assembler.assembleBlock(288, p.settings);
    p.assembler.assembleBlock(0, p.settings);
    EXPECT_EQ(p.line(C::Green, 5, 60), 255);
    EXPECT_EQ(p.line(C::Green, 8, 60), 100); // 4 and 6 are smoothed with column 5
    EXPECT_EQ(p.store.scopeHistory[0][5], 0);
    EXPECT_EQ(p.store.scopeHistory[0][7], 47); // 62.5 / 2 = 31.25, then (62.5 + 31) / 2
}

TEST(RggbAssembler, ScopeHistoriesFollowBothPilotsAndTheirCombination) {
    Pipeline p;
    for (int c = 1; c <= 576; ++c) {
        p.buffer(c, 46) = 0.5f;   // bin 83
        p.buffer(c, 120) = 0.25f; // bin 9
    }
    const auto& h = p.store.scopeHistory;
    p.assembler.assembleBlock(100, p.settings);
    EXPECT_EQ(h[0][1], 25);
    EXPECT_EQ(h[1][1], 16); // 43 x 0.75 / 2 = 16.125
    EXPECT_EQ(h[2][1], 12); // 12.5 to even
    p.assembler.assembleBlock(100, p.settings);
    EXPECT_EQ(h[0][576], 38); // (50 + 25) / 2 = 37.5 to even
    EXPECT_EQ(h[1][576], 29); // (32.25 + 25) / 2 = 28.625, with row 46's history before
    EXPECT_EQ(h[2][576], 18); // (25 + 12) / 2 = 18.5 to even
    // Each point sums six samples 87 columns apart and divides by 20.
    const std::vector<ScopeTrace> traces = pilotScopeTraces(p.profile, p.store, 1);
    ASSERT_EQ(traces.size(), 3u);
    EXPECT_EQ(traces[0][1], 11); // 6 x 38 / 20 = 11.4
    EXPECT_EQ(traces[1][1], 9);  // 6 x 29 / 20 = 8.7
    EXPECT_EQ(traces[2][100], 5);
}

TEST(RggbAssembler, MonitorShowsCarrierRows46To118InGrey) {
    Pipeline p;
    for (int r = 1; r <= 128; ++r) {
        p.setLevel(r, r);
    }
    p.assembler.assembleBlock(564, p.settings); // monitor columns 191, 190, 189
    EXPECT_EQ(p.store.monitorSurface.at(190, 0), greyPixel(46));
    EXPECT_EQ(p.store.monitorSurface.at(188, 72), greyPixel(118));
    EXPECT_EQ(p.store.monitorSurface.at(187, 0), 0u); // column 564 is the next block's
}

TEST(RggbAssembler, FilterBlendsAtEachLevelRoundedToNearest) {
    struct Case {
        NoiseFilterWeights weights;
        int first;   // from 0 towards 255
        int settled; // after many frames
    };
    // A floor settled 15 levels short with the heavy filter (240); rounding leaves 7.
    for (const Case c :
         {Case{lightFilter, 128, 254}, Case{mediumFilter, 64, 254}, Case{heavyFilter, 16, 248}}) {
        Pipeline p;
        p.settings.noiseFilterWeights = c.weights;
        for (int r = 1; r <= 128; ++r) {
            p.setLevel(r, 255.0);
        }
        p.assembler.assembleBlock(288, p.settings); // red and blue
        p.assembler.assembleBlock(0, p.settings);
        EXPECT_EQ(p.filtered(C::Blue, 4, 1), c.first) << c.weights.divisor;
        EXPECT_EQ(p.filtered(C::Red, 9, 219), c.first);
        for (int frame = 0; frame < 300; ++frame) {
            p.assembler.assembleBlock(0, p.settings);
        }
        EXPECT_EQ(p.filtered(C::Green, 4, 100), c.settled) << c.weights.divisor;
    }
}

TEST(RggbAssembler, PictureComesFromTheFilteredPlanesOnlyWhenTheFilterIsOn) {
    Pipeline p;
    for (int r = 1; r <= 128; ++r) {
        p.setLevel(r, 200.0, 1, 288);   // green
        p.setLevel(r, 100.0, 289, 576); // red and blue
    }
    p.assembler.assembleBlock(288, p.settings);
    p.assembler.assembleBlock(0, p.settings); // filtered: half of each after one frame
    p.assembler.composePicture(p.settings);
    EXPECT_EQ(p.store.pictureSurface.at(4, 100), rgbPixel(100, 200, 100));
    EXPECT_EQ(p.store.pictureSurface.at(20, 100), 0u); // no block has reached column 21 yet
    p.settings.noiseFilterOn = 1;
    p.assembler.composePicture(p.settings);
    EXPECT_EQ(p.store.pictureSurface.at(4, 100), rgbPixel(50, 100, 50));
}

TEST(RggbAssembler, ABlockStraddlingColumn288ColoursOnlyItsFirstFieldColumns) {
    Pipeline p;
    for (int r = 1; r <= 128; ++r) {
        p.setLevel(r, 77.0);
    }
    p.assembler.assembleBlock(284, p.settings); // columns 285..293
    EXPECT_EQ(p.line(C::Green, 288, 50), 77);
    EXPECT_EQ(p.plane(C::Green, 288, 150), 77);
    EXPECT_EQ(p.filtered(C::Green, 288, 10), 38); // 77 / 2 = 38.5 to even
    EXPECT_EQ(p.line(C::Green, 289, 50), 0);
    EXPECT_EQ(p.plane(C::Green, 289, 150), 0);
    EXPECT_FLOAT_EQ(p.store.pictureMatrix(293, 50), 77.0f);
    EXPECT_EQ(p.store.monitorSurface.at(96, 10), greyPixel(77)); // column 293 / 3 = 97
}

TEST(RggbFrameAssembler, FilesOneRowPerBinAndLeavesTheFilterToThePlanes) {
    const ReceiverProfile& profile = nbtv96rggbProfile();
    ReceiverSettings settings = entrySettings(profile);
    settings.noiseFilterOn = 1;
    Matrix<float> buffer(576, 128);
    buffer.fill(9.0f);
    FrameAssembler frames(profile, buffer);
    DemodulatedBlock block{};
    for (int k = 1; k <= keptBins; ++k) {
        block.d[0][1][k] = static_cast<float>(k);
        block.d[2][3][k] = static_cast<float>(-k);
    }
    EXPECT_EQ(frames.placeBlock(block, settings), 567);
    EXPECT_EQ(buffer(576, 129 - 83), 83.0f); // pass 0 of step 1, unblended
    EXPECT_EQ(buffer(568, 129 - 9), -9.0f);  // pass 2 of step 3
    EXPECT_EQ(buffer(576, 1), 0.0f);
    EXPECT_EQ(buffer(567, 50), 9.0f); // not this block's
    for (int i = 0; i < 63; ++i) {
        frames.placeBlock(block, settings);
    }
    EXPECT_EQ(frames.frameOffset(), 0);
    EXPECT_EQ(frames.placeBlock(block, settings), 567);

    frames.setFrameOffset(216);
    frames.pressMonitor(100); // c = 300
    EXPECT_EQ(frames.frameOffset(), 216 + 576 - 9 - 300);
    frames.setFrameOffset(10);
    frames.pressMonitor(300); // c = 900, beyond the frame: limited to 1
    EXPECT_EQ(frames.frameOffset(), 1);
    EXPECT_EQ(pressTarget(profile, 300, 95).kind, PressTarget::Kind::PilotScope);
    EXPECT_EQ(pressPilotScope(settings, profile, 95), 497);
    EXPECT_EQ(settings.fineTuneHz, -1.0f);
}

} // namespace
} // namespace nbtv
