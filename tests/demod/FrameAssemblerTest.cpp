#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/FineTuneScale.h"
#include "core/NumberText.h"
#include "core/PressTarget.h"
#include "core/ReceiverSettings.h"
#include "demod/FrameAssembler.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {
namespace {

// Values that tell where they came from: 100 x step + 10 x pass + bin / 1000.
DemodulatedBlock labelledBlock() {
    DemodulatedBlock v{};
    for (int p = 0; p < analysisPasses; ++p) {
        for (int f = 1; f < framesPerPass; ++f) {
            for (int k = 1; k <= keptBins; ++k) {
                v.d[p][f][k] = static_cast<float>(100 * f + 10 * p + k / 1000.0);
            }
        }
    }
    return v;
}

DemodulatedBlock constantBlock(float value) {
    DemodulatedBlock v{};
    for (auto& pass : v.d) {
        for (auto& step : pass) {
            for (auto& x : step) {
                x = value;
            }
        }
    }
    return v;
}

struct Assembly {
    const ReceiverProfile& profile = nbtv48Profile();
    ReceiverSettings settings = entrySettings(profile);
    Matrix<float> buffer{432, 384};
    FrameAssembler frames{profile, buffer};
};

TEST(FrameAssembler, ColourBlocksRunFromTheEndOfTheFrameToItsStart) {
    Assembly a;
    const DemodulatedBlock v = labelledBlock();
    std::vector<int> offsets;
    for (int block = 0; block < 49; ++block) {
        offsets.push_back(a.frames.placeBlock(v, a.settings));
    }
    EXPECT_EQ(offsets.front(), 423);
    EXPECT_EQ(offsets[1], 414);
    EXPECT_EQ(offsets[46], 9);
    EXPECT_EQ(offsets[47], 0); // the block that writes 1..9 completes the frame
    EXPECT_EQ(offsets[48], 423);
    for (int block = 0; block < 47; ++block) {
        EXPECT_GE(offsets[static_cast<std::size_t>(block)], 9);
    }
    // Within a block: step 1 pass 0 in the highest column, then passes 1 and 2, then step 2.
    EXPECT_FLOAT_EQ(a.buffer(432, 384), 100.001f);
    EXPECT_FLOAT_EQ(a.buffer(431, 384), 110.001f);
    EXPECT_FLOAT_EQ(a.buffer(430, 384), 120.001f);
    EXPECT_FLOAT_EQ(a.buffer(429, 384), 200.001f);
    EXPECT_FLOAT_EQ(a.buffer(424, 384), 320.001f);
    // Bin k in row 384 - 3(k - 1); row 3 receives 0; other rows stay untouched.
    EXPECT_FLOAT_EQ(a.buffer(432, 6), 100.127f);
    EXPECT_FLOAT_EQ(a.buffer(432, 285), 100.034f);
    EXPECT_EQ(a.buffer(432, 3), 0.0f);
    EXPECT_EQ(a.buffer(432, 284), 0.0f);
}

TEST(FrameAssembler, MonochromeBlocksCycleThroughOneField) {
    Assembly a;
    a.settings.colourMode = 0;
    const DemodulatedBlock v = constantBlock(0.25f);
    std::vector<int> offsets;
    for (int block = 0; block < 17; ++block) {
        offsets.push_back(a.frames.placeBlock(v, a.settings));
    }
    EXPECT_EQ(offsets[0], 135);
    EXPECT_EQ(offsets[15], 0);
    EXPECT_EQ(offsets[16], 135);
    EXPECT_EQ(a.buffer(145, 384), 0.0f); // nothing beyond the field
}

TEST(FrameAssembler, SwitchingModesTakesEffectAtTheNextWrap) {
    Assembly a;
    const DemodulatedBlock v = constantBlock(0.0f);
    a.frames.setFrameOffset(300);
    a.settings.colourMode = 0;
    EXPECT_EQ(a.frames.placeBlock(v, a.settings), 0); // 291 is beyond the field: reset to 0
    EXPECT_EQ(a.frames.placeBlock(v, a.settings), 135);
    a.settings.colourMode = 1;
    EXPECT_EQ(a.frames.placeBlock(v, a.settings), 126);
}

TEST(FrameAssembler, MonitorClicksMoveTheFieldBoundaryToTheBuffersOwn) {
    struct Case {
        int offset;
        int x;
        int expected;
        bool moved;
    };
    for (Case c : {Case{216, 30, 126, true}, Case{216, 100, 339, true}, Case{216, 72, 216, false},
                   Case{0, 0, 1, false}, Case{216, 300, 1, true}, Case{5, 0, 5, true}}) {
        Assembly a;
        a.frames.setFrameOffset(c.offset);
        const bool moved = a.frames.pressMonitor(c.x);
        EXPECT_EQ(a.frames.frameOffset(), c.expected) << c.offset << " " << c.x;
        EXPECT_EQ(moved, c.moved) << c.offset << " " << c.x;
    }
    // After a click to 126 the blocks go on from 117 down, and 0 is followed by 423.
    Assembly a;
    a.frames.setFrameOffset(216);
    a.frames.pressMonitor(30);
    const DemodulatedBlock v = constantBlock(0.0f);
    EXPECT_EQ(a.frames.placeBlock(v, a.settings), 117);
    for (int i = 0; i < 13; ++i) {
        a.frames.placeBlock(v, a.settings);
    }
    EXPECT_EQ(a.frames.frameOffset(), 0);
    EXPECT_EQ(a.frames.placeBlock(v, a.settings), 423);
}

TEST(PressTarget, TheWindowsPixelsMapToTheScopesRowsAndTheMonitorsColumns) {
    const ReceiverProfile& p = nbtv48Profile();
    using Kind = PressTarget::Kind;
    for (int y : {0, 219, 229, 304, 389}) {
        EXPECT_EQ(pressTarget(p, 100, y).kind, Kind::None) << y;
    }
    EXPECT_EQ(pressTarget(p, 289, 219).kind, Kind::None);
    EXPECT_EQ(pressTarget(p, 289, 250).kind, Kind::Monitor);
    EXPECT_EQ(pressTarget(p, 289, 250).position, 289);
    EXPECT_EQ(pressTarget(p, 350, 100).kind, Kind::PilotScope);
    EXPECT_EQ(pressTarget(p, 289, 218).position, 218);
    // The 96-column programs' scopes reach down to row 302, over the monitor band.
    EXPECT_EQ(pressTarget(nbtv96Profile(), 300, 250).kind, Kind::PilotScope);
    EXPECT_EQ(pressTarget(nbtv96rggbProfile(), 300, 303).kind, Kind::Monitor);
}

TEST(FrameAssembler, AMonitorPressBeyondTheFrameIsLimitedToItsStart) {
    Assembly a;
    a.frames.setFrameOffset(216);
    EXPECT_TRUE(a.frames.pressMonitor(289));
    EXPECT_EQ(a.frames.frameOffset(), 1); // c = 867: 216 + 423 - 867 < 1
}

TEST(FineTuneScale, PilotScopePressesSetTheFineTune) {
    const ReceiverProfile& p = nbtv48Profile();
    ReceiverSettings settings = entrySettings(p);
    EXPECT_EQ(pressPilotScope(settings, p, 100), 512);
    EXPECT_EQ(settings.fineTuneHz, 0.0f);
    EXPECT_EQ(numberText(settings.fineTuneHz, 7), " 0");

    EXPECT_EQ(pressPilotScope(settings, p, 95), 497);
    EXPECT_EQ(settings.fineTuneHz, -1.0f);
    EXPECT_EQ(settings.pilotMarker, 95);
    EXPECT_EQ(numberText(settings.fineTuneHz, 7), "-1");

    EXPECT_EQ(pressPilotScope(settings, p, 218), 3 * 118 + 512);
    EXPECT_FLOAT_EQ(settings.fineTuneHz, 23.6f);
    EXPECT_EQ(numberText(settings.fineTuneHz, 7), " 23.6");

    pressPilotScope(settings, p, 101);
    EXPECT_EQ(numberText(settings.fineTuneHz, 7), " 0.2");
}

TEST(FrameAssembler, NoiseFilterBlendsWithTheValueOfTheLastFrame) {
    Assembly a;
    a.settings.noiseFilterOn = 1;
    a.settings.noiseFilterWeights = heavyFilter;
    const DemodulatedBlock v = constantBlock(0.4f);
    for (int frame = 0; frame < 200; ++frame) {
        for (int block = 0; block < 48; ++block) {
            a.frames.placeBlock(v, a.settings);
        }
    }
    EXPECT_NEAR(a.buffer(200, 300), 0.4f, 1e-5);
    EXPECT_EQ(a.buffer(200, 3), 0.0f);

    // Light: (old + new) / 2 after one frame.
    Assembly b;
    b.frames.placeBlock(constantBlock(1.0f), b.settings);
    b.settings.noiseFilterOn = 1;
    for (int block = 0; block < 48; ++block) {
        b.frames.placeBlock(constantBlock(0.0f), b.settings);
    }
    EXPECT_FLOAT_EQ(b.buffer(430, 300), 0.5f);
}

TEST(FrameAssembler, NoiseFilterLetsASilentCellRecover) {
    Assembly a;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    a.frames.placeBlock(constantBlock(nan), a.settings);
    EXPECT_TRUE(std::isnan(a.buffer(430, 300)));
    a.settings.noiseFilterOn = 1;
    for (int block = 0; block < 48; ++block) {
        a.frames.placeBlock(constantBlock(0.3f), a.settings);
    }
    EXPECT_FLOAT_EQ(a.buffer(430, 300), 0.3f);
}

} // namespace
} // namespace nbtv
