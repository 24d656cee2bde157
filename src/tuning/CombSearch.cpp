#include "tuning/CombSearch.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>

#include "core/Conversions.h"

namespace nbtv {

namespace {

std::size_t idx(int i) {
    return static_cast<std::size_t>(i);
}

// Power at a fractional analysis bin, linearly interpolated between transform bins.
double powerAt(const std::vector<double>& power, double bin) {
    const double x = bin * CombSpectrum::binsPerAnalysisBin;
    const int i = floorToInt(x);
    if (i < 0 || i + 1 >= static_cast<int>(power.size())) {
        return 0.0;
    }
    const double f = x - i;
    return power[idx(i)] * (1.0 - f) + power[idx(i + 1)] * f;
}

double combScore(const std::vector<double>& power, std::span<const int> tones, int lo, int hi,
                 double scale, double a) {
    double sum = 0.0;
    for (int k : tones) {
        sum += powerAt(power, scale * k + a);
    }
    return sum - powerAt(power, scale * (lo - 2) + a) - powerAt(power, scale * (hi + 2) + a);
}

} // namespace

CombSpectrum::CombSpectrum() : window_(idx(windowLength)), power_(idx(transformSize / 2 + 1)) {
    for (int n = 0; n < windowLength; ++n) {
        window_[idx(n)] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / windowLength);
    }
}

void CombSpectrum::add(std::span<const std::int16_t> samples) {
    for (std::int16_t s : samples) {
        pending_.push_back(s / 32768.0);
    }
    while (pending_.size() >= idx(windowLength)) {
        transformOldest();
        pending_.erase(pending_.begin(), pending_.begin() + hop);
    }
}

void CombSpectrum::clear() {
    pending_.clear();
    std::fill(power_.begin(), power_.end(), 0.0);
    transforms_ = 0;
}

void CombSpectrum::transformOldest() {
    std::vector<double> re(idx(transformSize), 0.0);
    std::vector<double> im(idx(transformSize), 0.0);
    for (std::size_t n = 0; n < idx(windowLength); ++n) {
        re[n] = pending_[n] * window_[n];
    }
    fftInPlace(re, im);
    for (std::size_t k = 0; k < power_.size(); ++k) {
        power_[k] += re[k] * re[k] + im[k] * im[k];
    }
    ++transforms_;
}

std::vector<double> CombSpectrum::smoothedPower() const {
    const double n = transforms_ > 0 ? transforms_ : 1;
    std::vector<double> out(power_.size(), 0.0);
    constexpr double weights[5] = {1.0, 2.0, 3.0, 2.0, 1.0};
    const int size = static_cast<int>(power_.size());
    for (int k = 0; k < size; ++k) {
        double sum = 0.0;
        for (int j = -2; j <= 2; ++j) {
            const int at = k + j;
            if (at >= 0 && at < size) {
                sum += weights[j + 2] * power_[idx(at)];
            }
        }
        out[idx(k)] = sum / 9.0 / n;
    }
    return out;
}

double combStretchStep(std::span<const int> tones) {
    const int hi = tones.empty() ? 1 : std::max(*std::max_element(tones.begin(), tones.end()), 1);
    return 1.0 / (32.0 * hi);
}

CombPosition searchComb(const std::vector<double>& power, std::span<const int> tones,
                        double baseScale, double maxStretch) {
    CombPosition best;
    if (tones.empty()) {
        return best;
    }
    const int lo = *std::min_element(tones.begin(), tones.end());
    const int hi = *std::max_element(tones.begin(), tones.end());
    // A stretch step that moves the highest tone by the same 1/32 bin as a step of a.
    const double stretchStep = combStretchStep(tones);
    const int stretchSteps = maxStretch > 0.0 ? truncateToInt(maxStretch / stretchStep) : 0;
    best.score = -INFINITY;
    for (int js = -stretchSteps; js <= stretchSteps; ++js) {
        const double scale = baseScale * (1.0 + js * stretchStep);
        for (int ja = -48; ja <= 48; ++ja) {
            const double a = ja / 32.0;
            const double score = combScore(power, tones, lo, hi, scale, a);
            if (score > best.score) {
                best = {a, scale, score};
            }
        }
    }
    // Four times finer around the best point.
    const CombPosition coarse = best;
    const int fineStretch = stretchSteps > 0 ? 4 : 0;
    for (int js = -fineStretch; js <= fineStretch; ++js) {
        const double scale = coarse.scale * (1.0 + js * stretchStep / 4.0);
        for (int ja = -4; ja <= 4; ++ja) {
            const double a = coarse.a + ja / 128.0;
            const double score = combScore(power, tones, lo, hi, scale, a);
            if (score > best.score) {
                best = {a, scale, score};
            }
        }
    }
    return best;
}

} // namespace nbtv
