// The rate from the pilot's swing, on swings of known period.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "tuning/PilotSwing.h"

namespace nbtv {
namespace {

// Groups of 144 values, 256 / 3 nominal samples apart, of a swing recorded at rate r (period
// 2457.6 / r samples) with amplitude 0.5, a mean that steps between groups, and noise.
PilotSwing swingAt(double r, int groups, double noise, std::uint32_t seed) {
    PilotSwing swing;
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss(0.0, noise);
    const double spacing = 256.0 / 3.0 / r;
    double t = 1234.5;
    for (int g = 0; g < groups; ++g) {
        const double mean = 0.05 * std::sin(g);
        for (int n = 0; n < 144; ++n) {
            const double phase = 2.0 * std::numbers::pi * r * t / PilotSwing::period + 0.7;
            swing.add(t, mean + 0.5 * std::sin(phase) + gauss(rng));
            t += spacing;
        }
        swing.closeGroup();
    }
    return swing;
}

TEST(PilotSwing, MeasuresTheRateFromAGuessPercentsAway) {
    for (double r : {1.0, 1.0204, 0.9804, 1.0071}) {
        const PilotSwing swing = swingAt(r, 10, 0.0, 1);
        const SwingEstimate est = swing.estimate(1.0);
        ASSERT_TRUE(est.valid);
        EXPECT_NEAR(est.rate, r, 1e-7) << r;
        EXPECT_LT(est.standardError, 1e-6);
    }
}

TEST(PilotSwing, ErrorShrinksWithSpanAndIsReportedHonestly) {
    const double r = 1.0123;
    double previous = 1.0;
    for (int groups : {4, 8, 16}) {
        const PilotSwing swing = swingAt(r, groups, 0.5, 5);
        const SwingEstimate est = swing.estimate(1.01);
        ASSERT_TRUE(est.valid);
        EXPECT_LT(est.standardError, previous);
        previous = est.standardError;
        // Within five reported standard errors (and the error is not zero with noise).
        EXPECT_GT(est.standardError, 0.0);
        EXPECT_NEAR(est.rate, r, 5.0 * est.standardError + 1e-9) << groups;
    }
}

TEST(PilotSwing, NeedsThreeGroupsAndForgetsOnClear) {
    PilotSwing swing = swingAt(1.0, 2, 0.0, 1);
    EXPECT_FALSE(swing.estimate(1.0).valid);
    swing = swingAt(1.0, 3, 0.0, 1);
    EXPECT_TRUE(swing.estimate(1.0).valid);
    swing.clear();
    EXPECT_FALSE(swing.estimate(1.0).valid);
    EXPECT_EQ(swing.span(), 0.0);
}

} // namespace
} // namespace nbtv

namespace nbtv {
namespace {

// A pilot alone, swinging as the transmitter swings it, recorded at rate r, followed by a mixer
// a little off its frequency: the swing's period gives r.
std::vector<std::int16_t> swingingPilot(double bin, double r, int samples, double noise,
                                        std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss(0.0, noise);
    std::vector<std::int16_t> out(static_cast<std::size_t>(samples));
    const double twoPi = 2.0 * std::numbers::pi;
    double phase = 0.4;
    for (int n = 0; n < samples; ++n) {
        const double nominal = n * r; // nominal samples elapsed
        const double deviation =
            std::asin(0.5 * std::sin(twoPi * (nominal + 555.0) / PilotSwing::period)) / twoPi;
        out[static_cast<std::size_t>(n)] =
            static_cast<std::int16_t>(std::lround(8000.0 * (std::sin(phase) + gauss(rng))));
        phase = std::fmod(phase + twoPi * (bin + deviation) / 256.0 / (1.0 / r), twoPi);
    }
    return out;
}

TEST(PilotPhase, GivesTheRateOfAPureSwingingPilot) {
    for (double r : {1.0, 1.0139, 0.9812}) {
        const std::vector<std::int16_t> pilot = swingingPilot(34.0, r, 16 * 768 * 8, 0.0, 1);
        PilotSwing swing;
        PilotSwing steps;
        PilotPhase phase;
        // The mixer 0.03 bins off the pilot: the slope of each group takes it.
        const double cycles = (34.0 * r + 0.03) / 256.0;
        for (std::size_t at = 0; at < pilot.size(); at += 768) {
            phase.add(std::span(pilot).subspan(at, 768), cycles, swing, &steps);
            if ((at / 768) % 16 == 15) {
                swing.closeGroup();
                steps.closeGroup();
            }
        }
        for (const PilotSwing* from : {&swing, &steps}) {
            const SwingEstimate est = from->estimate(1.0);
            ASSERT_TRUE(est.valid);
            EXPECT_NEAR(est.rate, r, 2e-6) << r << (from == &steps ? " from the steps" : "");
        }
    }
}

} // namespace
} // namespace nbtv
