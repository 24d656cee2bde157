// The pieces of the column-synchronous fit on synthetic signals.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "enhance/DenseAlgebra.h"
#include "enhance/SegmentFit.h"
#include "enhance/WaveletShrink.h"

namespace nbtv {
namespace {

constexpr double twoPi = 2.0 * std::numbers::pi;

// Carriers one bin apart, each with its own deviation per slot, phase-continuous, sampled on
// the slot grid: the fit gives every deviation back.
TEST(SegmentFit, RecoversDeviationsOfAdjacentCarriers) {
    const std::vector<int> bins{20, 21, 22, 23};
    const int slots = 12;
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> deviation(-0.1, 0.08);
    std::vector<std::vector<double>> sent(bins.size(), std::vector<double>(slots));
    std::vector<float> samples;
    std::vector<SlotSpan> spans;
    std::vector<double> phase{0.1, 0.7, 0.4, 0.9};
    for (int j = 0; j < slots; ++j) {
        SlotSpan span;
        span.first = static_cast<int>(samples.size());
        span.count = 256;
        span.du = 1.0 / 256.0;
        spans.push_back(span);
        for (std::size_t k = 0; k < bins.size(); ++k) {
            sent[k][static_cast<std::size_t>(j)] = deviation(rng);
        }
        for (int m = 0; m < 256; ++m) {
            double x = 0.0;
            for (std::size_t k = 0; k < bins.size(); ++k) {
                x += 0.2 * std::cos(twoPi * phase[k]);
                phase[k] += (bins[k] + sent[k][static_cast<std::size_t>(j)]) / 256.0;
            }
            samples.push_back(static_cast<float>(x));
        }
    }
    SegmentFit fit(bins);
    fit.fit(samples, spans);
    for (std::size_t k = 0; k < bins.size(); ++k) {
        EXPECT_NEAR(fit.amplitude(static_cast<int>(k)), 0.2, 1e-3);
        for (int j = 1; j + 1 < slots; ++j) {
            EXPECT_NEAR(fit.deviation(static_cast<int>(k), j), sent[k][static_cast<std::size_t>(j)],
                        2e-4)
                << "carrier " << k << " slot " << j;
        }
    }
    EXPECT_LT(fit.meanSquaredResidual(), 1e-6);
}

// Slots without samples (a gap) and silence give finite values, not a failed factorisation.
TEST(SegmentFit, GapsAndSilenceStayFinite) {
    const std::vector<int> bins{10, 11, 12};
    std::vector<float> samples(512, 0.0f);
    std::vector<SlotSpan> spans(3);
    spans[0] = {0, 256, 0.0, 1.0 / 256.0, 0.0, 0.0};
    spans[1] = {256, 0, 0.0, 1.0 / 256.0, 0.0, 0.0};
    spans[2] = {256, 256, 0.0, 1.0 / 256.0, 0.0, 0.0};
    SegmentFit fit(bins);
    fit.fit(samples, spans);
    for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(std::isfinite(fit.amplitude(k)));
        for (int j = 0; j < 3; ++j) {
            EXPECT_TRUE(std::isfinite(fit.deviation(k, j)));
        }
    }
}

// The block solver agrees with a dense solve of the same symmetric system, at every register
// width this processor has, all bit for bit the same; blocks small and as wide as the fit's
// (runs of whole vectors and a tail).
TEST(DenseAlgebra, BlockTridiagonalMatchesDenseSolveAtEveryWidth) {
    for (const int k : {3, 37}) {
        const int blocks = 4;
        const int n = k * blocks;
        std::mt19937 rng(9);
        std::uniform_real_distribution<double> value(-1.0, 1.0);
        std::vector<double> dense(static_cast<std::size_t>(n * n), 0.0);
        auto at = [n](int r, int c) { return static_cast<std::size_t>(r * n + c); };
        for (int b = 0; b + 1 < blocks; ++b) {
            for (int i = 0; i < k; ++i) {
                for (int j = 0; j < k; ++j) {
                    const double v = value(rng) / k;
                    dense[at(b * k + i, (b + 1) * k + j)] = v;
                    dense[at((b + 1) * k + j, b * k + i)] = v;
                }
            }
        }
        for (int b = 0; b < blocks; ++b) {
            for (int i = 0; i < k; ++i) {
                for (int j = 0; j <= i; ++j) {
                    const double v = i == j ? 8.0 + value(rng) : value(rng) / k;
                    dense[at(b * k + i, b * k + j)] = v;
                    dense[at(b * k + j, b * k + i)] = v;
                }
            }
        }
        std::vector<double> rhs(static_cast<std::size_t>(n));
        for (double& v : rhs) {
            v = value(rng);
        }
        std::vector<double> diagonal(static_cast<std::size_t>(blocks * k * k));
        std::vector<double> coupling(static_cast<std::size_t>((blocks - 1) * k * k));
        for (int b = 0; b < blocks; ++b) {
            for (int i = 0; i < k; ++i) {
                for (int j = 0; j < k; ++j) {
                    diagonal[static_cast<std::size_t>((b * k + i) * k + j)] =
                        dense[at(b * k + i, b * k + j)];
                    if (b + 1 < blocks) {
                        coupling[static_cast<std::size_t>((b * k + i) * k + j)] =
                            dense[at(b * k + i, (b + 1) * k + j)];
                    }
                }
            }
        }
        std::vector<double> first;
        for (const AlgebraWidth width :
             {AlgebraWidth::Two, AlgebraWidth::Four, AlgebraWidth::Eight}) {
            if (static_cast<int>(width) > static_cast<int>(widestAlgebra())) {
                continue;
            }
            std::vector<double> x = rhs;
            std::vector<double> blockDiagonal = diagonal;
            std::vector<double> factors, elimination;
            solveBlockTridiagonal(blockDiagonal.data(), coupling.data(), x.data(), k, blocks,
                                  factors, elimination, width);
            for (int r = 0; r < n; ++r) {
                double sum = 0.0;
                for (int c = 0; c < n; ++c) {
                    sum += dense[at(r, c)] * x[static_cast<std::size_t>(c)];
                }
                EXPECT_NEAR(sum, rhs[static_cast<std::size_t>(r)], 1e-5)
                    << "k " << k << " width " << static_cast<int>(width) << " row " << r;
            }
            if (first.empty()) {
                first = x;
            } else {
                EXPECT_EQ(std::memcmp(first.data(), x.data(), x.size() * sizeof(double)), 0)
                    << "k " << k << " width " << static_cast<int>(width);
            }
        }
    }
}

// Shrinkage leaves a clean field alone, brings a noisy flat field closer to flat and keeps an
// edge where it was.
TEST(WaveletShrink, QuietensNoiseAndKeepsEdges) {
    std::vector<double> clean(48);
    for (std::size_t i = 0; i < clean.size(); ++i) {
        clean[i] = i < 20 ? -0.05 : 0.06;
    }
    std::vector<double> untouched = clean;
    shrinkField(untouched, 0.0);
    EXPECT_EQ(untouched, clean);

    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0.0, 0.01);
    std::vector<double> noisy = clean;
    for (double& v : noisy) {
        v += noise(rng);
    }
    std::vector<double> shrunk = noisy;
    shrinkField(shrunk, 0.01);
    double before = 0.0;
    double after = 0.0;
    for (std::size_t i = 0; i < clean.size(); ++i) {
        before += (noisy[i] - clean[i]) * (noisy[i] - clean[i]);
        after += (shrunk[i] - clean[i]) * (shrunk[i] - clean[i]);
    }
    EXPECT_LT(after, 0.6 * before);
    EXPECT_LT(shrunk[17], 0.0);
    EXPECT_GT(shrunk[22], 0.0);
}

} // namespace
} // namespace nbtv
