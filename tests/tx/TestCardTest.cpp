#include "tx/TestCard.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>

#include <gtest/gtest.h>

namespace nbtv {
namespace {

struct Colour {
    int r = 0;
    int g = 0;
    int b = 0;
    bool operator==(const Colour&) const = default;
};

Colour at(const RgbImage& image, int x, int y) {
    const std::uint8_t* p = image.pixel(x, y);
    return {p[0], p[1], p[2]};
}

bool contains(const RgbImage& image, Colour c) {
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            if (at(image, x, y) == c) {
                return true;
            }
        }
    }
    return false;
}

constexpr Colour kBlack{0, 0, 0};
constexpr Colour kWhite{255, 255, 255};

TEST(TestCard, SizeIsHonouredForEveryKind) {
    const std::array<std::array<int, 2>, 5> sizes{{{1, 1}, {7, 5}, {48, 48}, {96, 72}, {301, 199}}};
    for (TestCardKind kind : {TestCardKind::Bars, TestCardKind::Ramp, TestCardKind::Detail}) {
        for (const auto& size : sizes) {
            const RgbImage card = makeTestCard(kind, size[0], size[1]);
            EXPECT_EQ(card.width, size[0]);
            EXPECT_EQ(card.height, size[1]);
            EXPECT_EQ(card.rgb.size(), static_cast<std::size_t>(size[0] * size[1] * 3));
        }
    }
}

TEST(TestCard, BadSizeThrows) {
    EXPECT_THROW(makeTestCard(TestCardKind::Bars, 0, 10), std::invalid_argument);
    EXPECT_THROW(makeTestCard(TestCardKind::Ramp, 10, -1), std::invalid_argument);
    EXPECT_THROW(makeTestCard(TestCardKind::Detail, 100000, 100000), std::invalid_argument);
}

TEST(TestCard, BarsHaveTheEightColoursAtTheirCentres) {
    const std::array<Colour, 8> expected{{{255, 255, 255},
                                          {255, 255, 0},
                                          {0, 255, 255},
                                          {0, 255, 0},
                                          {255, 0, 255},
                                          {255, 0, 0},
                                          {0, 0, 255},
                                          {0, 0, 0}}};
    for (int width : {48, 96, 100, 203}) {
        const RgbImage card = makeTestCard(TestCardKind::Bars, width, 9);
        for (int bar = 0; bar < 8; ++bar) {
            const int centre = (2 * bar + 1) * width / 16;
            for (int y = 0; y < card.height; ++y) {
                EXPECT_EQ(at(card, centre, y), expected[static_cast<std::size_t>(bar)])
                    << "width " << width << " bar " << bar << " row " << y;
            }
        }
    }
}

TEST(TestCard, BarWidthsDifferByAtMostOneColumn) {
    for (int width : {8, 50, 100, 203}) {
        const RgbImage card = makeTestCard(TestCardKind::Bars, width, 3);
        std::array<int, 8> runs{};
        int bar = 0;
        for (int x = 0; x < width; ++x) {
            if (x > 0 && !(at(card, x, 1) == at(card, x - 1, 1))) {
                ++bar;
            }
            ASSERT_LT(bar, 8) << "more than eight bars at width " << width;
            ++runs[static_cast<std::size_t>(bar)];
        }
        EXPECT_EQ(bar, 7) << "width " << width;
        const auto [lo, hi] = std::minmax_element(runs.begin(), runs.end());
        EXPECT_LE(*hi - *lo, 1) << "width " << width;
    }
}

TEST(TestCard, RampRunsFromBlackAtTheLeftToWhiteAtTheRight) {
    for (int width : {2, 48, 96, 255, 256, 300}) {
        const RgbImage card = makeTestCard(TestCardKind::Ramp, width, 4);
        EXPECT_EQ(at(card, 0, 0), kBlack);
        EXPECT_EQ(at(card, width - 1, 3), kWhite);
        for (int x = 0; x < width; ++x) {
            const Colour c = at(card, x, 0);
            EXPECT_EQ(c.r, c.g);
            EXPECT_EQ(c.g, c.b);
            if (x > 0) {
                EXPECT_GE(c.r, at(card, x - 1, 0).r) << "width " << width << " x " << x;
            }
            for (int y = 1; y < card.height; ++y) {
                EXPECT_EQ(at(card, x, y), c);
            }
        }
    }
}

// Longest run of pixels along a line that alternate between black and white at every step.
int longestAlternation(const RgbImage& card, bool alongRows) {
    int best = 0;
    const int outer = alongRows ? card.height : card.width;
    const int inner = alongRows ? card.width : card.height;
    for (int o = 0; o < outer; ++o) {
        int run = 0;
        for (int i = 1; i < inner; ++i) {
            const Colour a = alongRows ? at(card, i - 1, o) : at(card, o, i - 1);
            const Colour b = alongRows ? at(card, i, o) : at(card, o, i);
            const bool alternates = (a == kBlack && b == kWhite) || (a == kWhite && b == kBlack);
            run = alternates ? run + 1 : 0;
            best = std::max(best, run);
        }
    }
    return best;
}

TEST(TestCard, DetailHasExtremesStripesChecksAndColours) {
    for (const auto& size : {std::array<int, 2>{48, 48}, {96, 72}, {40, 30}}) {
        const RgbImage card = makeTestCard(TestCardKind::Detail, size[0], size[1]);
        EXPECT_TRUE(contains(card, kBlack));
        EXPECT_TRUE(contains(card, kWhite));
        EXPECT_TRUE(contains(card, {255, 0, 0}));
        EXPECT_TRUE(contains(card, {0, 255, 0}));
        EXPECT_TRUE(contains(card, {0, 0, 255}));
        // One-pixel detail in both directions.
        EXPECT_GE(longestAlternation(card, true), 8) << size[0] << " x " << size[1];
        EXPECT_GE(longestAlternation(card, false), 8) << size[0] << " x " << size[1];
        // A checkerboard: a pixel whose right and lower neighbours differ from it while the
        // diagonal one matches, which neither kind of stripes produces.
        bool checks = false;
        for (int y = 0; y + 1 < card.height && !checks; ++y) {
            for (int x = 0; x + 1 < card.width && !checks; ++x) {
                const Colour c = at(card, x, y);
                checks = (c == kBlack || c == kWhite) && !(at(card, x + 1, y) == c) &&
                         !(at(card, x, y + 1) == c) && at(card, x + 1, y + 1) == c;
            }
        }
        EXPECT_TRUE(checks) << size[0] << " x " << size[1];
    }
}

TEST(TestCard, CardsAreDeterministicAndDistinct) {
    for (TestCardKind kind : {TestCardKind::Bars, TestCardKind::Ramp, TestCardKind::Detail}) {
        EXPECT_EQ(makeTestCard(kind, 48, 48).rgb, makeTestCard(kind, 48, 48).rgb);
    }
    const RgbImage bars = makeTestCard(TestCardKind::Bars, 48, 48);
    const RgbImage ramp = makeTestCard(TestCardKind::Ramp, 48, 48);
    const RgbImage detail = makeTestCard(TestCardKind::Detail, 48, 48);
    EXPECT_NE(bars.rgb, ramp.rgb);
    EXPECT_NE(bars.rgb, detail.rgb);
    EXPECT_NE(ramp.rgb, detail.rgb);
}

TEST(TestCard, NamesMapToKinds) {
    EXPECT_EQ(testCardByName("bars"), TestCardKind::Bars);
    EXPECT_EQ(testCardByName("ramp"), TestCardKind::Ramp);
    EXPECT_EQ(testCardByName("detail"), TestCardKind::Detail);
    EXPECT_EQ(testCardByName(""), std::nullopt);
    EXPECT_EQ(testCardByName("stripes"), std::nullopt);
}

} // namespace
} // namespace nbtv
