#include "tuning/CrashFrames.h"

#include <algorithm>

#include "demod/BlockTypes.h"
#include "tuning/Median.h"

namespace nbtv {

namespace {

// Bins this close to the comb take its tones' leakage, which follows the picture.
constexpr int leakageBins = 3;
// A crash: power beyond the comb above this many times the cycle's median there (noise alone
// stays within about 8 times in tens of thousands of frames), and above this fraction of the
// median power within the comb (a clean picture's leakage reaches 0.03 of it).
constexpr double overUsual = 8.0;
constexpr double overComb = 0.05;

} // namespace

CrashFrames::CrashFrames(std::span<const int> combBins) {
    if (!combBins.empty()) {
        const auto [lo, hi] = std::minmax_element(combBins.begin(), combBins.end());
        lowest_ = *lo;
        highest_ = *hi;
    }
}

void CrashFrames::add(const BlockSpectra& spectra) {
    for (int p = 0; p < analysisPasses; ++p) {
        for (int f = 0; f < framesPerPass; ++f) {
            double beyond = 0.0;
            double within = 0.0;
            for (int k = 1; k <= keptBins; ++k) {
                const double re = spectra.re[p][f][k];
                const double im = spectra.im[p][f][k];
                const double power = re * re + im * im;
                if (k <= lowest_ - leakageBins || k >= highest_ + leakageBins) {
                    beyond += power;
                } else {
                    within += power;
                }
            }
            beyond_.push_back(beyond);
            within_.push_back(within);
        }
    }
}

std::vector<bool> CrashFrames::hit() const {
    const double threshold = std::max(overUsual * median(beyond_), overComb * median(within_));
    std::vector<bool> out(beyond_.size());
    for (std::size_t i = 0; i < beyond_.size(); ++i) {
        out[i] = !(beyond_[i] <= threshold); // a NaN's measure is no measure either
    }
    return out;
}

void CrashFrames::clear() {
    beyond_.clear();
    within_.clear();
}

} // namespace nbtv
