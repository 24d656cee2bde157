// The coarse search of the comb in raw audio, on combs of known position.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

#include "profiles/ReceiverProfile.h"
#include "tuning/CombSearch.h"

namespace nbtv {
namespace {

// 16 blocks of a comb with tone k at scale k + a bins of rate / 256, random phases, plus noise.
std::vector<std::int16_t> comb(const std::vector<int>& bins, double scale, double a,
                               double noise = 0.0) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> phase(0.0, 2.0 * std::numbers::pi);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::vector<double> sum(16 * 768, 0.0);
    for (int k : bins) {
        const double cycles = (scale * k + a) / 256.0;
        const double p = phase(rng);
        for (std::size_t n = 0; n < sum.size(); ++n) {
            sum[n] += std::sin(2.0 * std::numbers::pi * cycles * static_cast<double>(n) + p);
        }
    }
    std::vector<std::int16_t> out(sum.size());
    const double level = 30000.0 / (static_cast<double>(bins.size()) * 1.2);
    for (std::size_t n = 0; n < sum.size(); ++n) {
        out[n] = static_cast<std::int16_t>(std::lround(level * (sum[n] + noise * gauss(rng))));
    }
    return out;
}

std::vector<int> combBins(const ReceiverProfile& profile) {
    std::vector<int> bins = profile.carriers.lineBins;
    bins.push_back(profile.carriers.pilotBin);
    if (profile.carriers.secondPilotBin > 0) {
        bins.push_back(profile.carriers.secondPilotBin);
    }
    return bins;
}

TEST(Fft, MatchesDirectTransform) {
    std::vector<double> re(64), im(64);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (std::size_t n = 0; n < re.size(); ++n) {
        re[n] = u(rng);
        im[n] = u(rng);
    }
    const std::vector<double> inRe = re, inIm = im;
    fftInPlace(re, im);
    for (std::size_t k = 0; k < re.size(); ++k) {
        std::complex<double> direct{};
        for (std::size_t n = 0; n < re.size(); ++n) {
            direct += std::complex<double>(inRe[n], inIm[n]) *
                      std::polar(1.0, -2.0 * std::numbers::pi * static_cast<double>(k * n) / 64.0);
        }
        EXPECT_NEAR(re[k], direct.real(), 1e-9) << k;
        EXPECT_NEAR(im[k], direct.imag(), 1e-9) << k;
    }
}

TEST(CombSearch, FindsOffsetsAcrossWholeBinsWithoutStretch) {
    const std::vector<int> bins = combBins(nbtv48Profile());
    for (double a : {0.0, 0.3, -0.61, 1.37, -1.45}) {
        CombSpectrum spectrum;
        spectrum.add(comb(bins, 1.0, a, 0.5));
        EXPECT_EQ(spectrum.transforms(), 11);
        const CombPosition found = searchComb(spectrum.smoothedPower(), bins, 1.0, 0.0);
        EXPECT_NEAR(found.a, a, 1.0 / 64.0) << a;
        EXPECT_EQ(found.scale, 1.0);
    }
}

TEST(CombSearch, FindsStretchAndOffsetTogether) {
    const std::vector<int> bins = combBins(nbtv96rggbProfile());
    struct Case {
        double scale, a;
    };
    for (const Case c : {Case{1.0123, 0.42}, Case{0.9811, -0.9}, Case{1.0199, 1.2}}) {
        CombSpectrum spectrum;
        spectrum.add(comb(bins, c.scale, c.a, 0.5));
        const CombPosition found = searchComb(spectrum.smoothedPower(), bins, 1.0, 0.0215);
        // The highest tone lands within a 1/32 bin.
        EXPECT_NEAR(found.scale * 83 + found.a, c.scale * 83 + c.a, 1.0 / 32.0) << c.scale;
        EXPECT_NEAR(found.scale * 9 + found.a, c.scale * 9 + c.a, 1.0 / 32.0) << c.scale;
    }
}

TEST(CombSpectrum, ClearForgetsThePast) {
    const std::vector<int> bins = combBins(nbtv48Profile());
    CombSpectrum spectrum;
    spectrum.add(comb(bins, 1.0, 0.9));
    spectrum.clear();
    EXPECT_EQ(spectrum.transforms(), 0);
    spectrum.add(comb(bins, 1.0, -0.2));
    const CombPosition found = searchComb(spectrum.smoothedPower(), bins, 1.0, 0.0);
    EXPECT_NEAR(found.a, -0.2, 1.0 / 64.0);
}

} // namespace
} // namespace nbtv
