#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "core/Conversions.h"
#include "core/NumberText.h"
#include "core/ReceiverSettings.h"

namespace nbtv {
namespace {

TEST(Conversions, RoundHalfEvenFloorAndTruncateAreTotal) {
    EXPECT_EQ(roundHalfEven(127.5), 128);
    EXPECT_EQ(roundHalfEven(126.5), 126);
    EXPECT_EQ(roundHalfEven(-2.5), -2);
    EXPECT_EQ(roundHalfEven(-3.5), -4);
    EXPECT_EQ(roundHalfEven(0.49999999999999994), 0);
    EXPECT_EQ(roundHalfEven(2.6), 3);
    EXPECT_EQ(roundHalfEven(-2.6), -3);
    EXPECT_EQ(floorToInt(127.9), 127);
    EXPECT_EQ(floorToInt(-0.1), -1);
    EXPECT_EQ(truncateToInt(-0.9), 0);
    EXPECT_EQ(truncateToInt(-14.0 * 96 / 72), -18);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    constexpr auto lo = std::numeric_limits<std::int32_t>::min();
    constexpr auto hi = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(roundHalfEven(nan), 0);
    EXPECT_EQ(roundHalfEven(nan, 255), 255);
    EXPECT_EQ(floorToInt(nan), 0);
    EXPECT_EQ(truncateToInt(nan, -1), -1);
    EXPECT_EQ(roundHalfEven(inf), hi);
    EXPECT_EQ(floorToInt(-inf), lo);
    EXPECT_EQ(truncateToInt(1e300), hi);
    EXPECT_EQ(roundHalfEven(2147483647.4), hi);
    EXPECT_EQ(roundHalfEven(-2147483648.4), lo);
    EXPECT_EQ(roundHalfEven(2147483646.5), 2147483646);
}

TEST(Conversions, RoundingManySinglesAndWholeQuotientsGivesTheOneAtATimeResults) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> inRange{0.5f,  1.5f,  2.5f,          -0.5f,       -1.5f,
                                     -2.5f, 0.49f, 127.5f,        126.5f,      254.99f,
                                     -0.0f, 3e-8f, 8388607.5f,    16777215.0f, 2147483520.0f,
                                     -2.6f, 2.6f,  -2147483520.0f};
    std::vector<float> withOutliers = inRange;
    withOutliers.insert(withOutliers.begin() + 5, {nan, inf, -inf, 2147483648.0f, -2147483648.0f});
    for (const std::vector<float>* values :
         {&inRange, static_cast<const std::vector<float>*>(&withOutliers)}) {
        std::vector<std::int32_t> many(values->size());
        roundHalfEven(values->data(), many.data(), values->size());
        for (std::size_t i = 0; i < values->size(); ++i) {
            EXPECT_EQ(many[i], roundHalfEven(static_cast<double>((*values)[i])))
                << "value " << (*values)[i];
        }
    }
    // The integer quotient against the division through a double, negative numerators, halves
    // and the ends of int32_t's range included.
    const std::int64_t big = 3LL * std::numeric_limits<std::int32_t>::max();
    for (const std::int64_t n : {std::int64_t{-9},
                                 std::int64_t{-8},
                                 std::int64_t{-7},
                                 std::int64_t{-6},
                                 std::int64_t{-5},
                                 std::int64_t{-4},
                                 std::int64_t{-3},
                                 std::int64_t{-2},
                                 std::int64_t{-1},
                                 std::int64_t{0},
                                 std::int64_t{1},
                                 std::int64_t{2},
                                 std::int64_t{3},
                                 std::int64_t{4},
                                 std::int64_t{5},
                                 std::int64_t{765},
                                 std::int64_t{766},
                                 big,
                                 -big,
                                 big + 5}) {
        const auto d = static_cast<double>(n);
        EXPECT_EQ(roundHalfEvenQuotient<2>(n), roundHalfEven(d / 2.0)) << n;
        EXPECT_EQ(roundHalfEvenQuotient<3>(n), roundHalfEven(d / 3.0)) << n;
        EXPECT_EQ(roundHalfEvenQuotient<4>(n), roundHalfEven(d / 4.0)) << n;
    }
}

TEST(NumberText, LeadsNonNegativeValuesWithABlank) {
    EXPECT_EQ(numberText(0.0), " 0");
    EXPECT_EQ(numberText(-0.0), " 0");
    EXPECT_EQ(numberText(3.0), " 3");
    EXPECT_EQ(numberText(-1.0), "-1");
    EXPECT_EQ(numberText(static_cast<double>(0.2f), 7), " 0.2");
    EXPECT_EQ(numberText(static_cast<double>(-30.4f), 7), "-30.4");
    EXPECT_EQ(numberText(100 * 0.005), " 0.5");
}

TEST(ReceiverSettings, CalibrationSetsTheBlockLengthFromTheNominalLength) {
    EXPECT_EQ(calibratedBlockLength(0.0), 768);
    EXPECT_EQ(calibratedBlockLength(0.02), 752);
    EXPECT_EQ(calibratedBlockLength(-0.02), 783);
    EXPECT_EQ(calibratedBlockLength(0.005), 764);
    EXPECT_EQ(calibratedBlockLength(-0.005), 771);
}

} // namespace
} // namespace nbtv
