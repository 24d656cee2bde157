#include "demod/BandSpectrum.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/Conversions.h"

namespace nbtv {

namespace {

constexpr int log2Length = 10;
static_assert(1 << log2Length == BandSpectrum::length);

} // namespace

BandSpectrum::BandSpectrum()
    : window_(length), samples_(length, 0.0f), twiddles_(length / 2), reversed_(length),
      work_(length), power_(points, 0.0f), levels_(points, -120.0f) {
    double windowSum = 0.0;
    for (int i = 0; i < length; ++i) {
        window_[static_cast<std::size_t>(i)] =
            static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / length));
        windowSum += window_[static_cast<std::size_t>(i)];
    }
    // A full-scale sine gives 0 dB: its peak is amplitude x window sum / 2.
    const auto scale = static_cast<float>(2.0 / (32767.0 * windowSum));
    for (float& w : window_) {
        w *= scale;
    }
    for (int k = 0; k < length / 2; ++k) {
        twiddles_[static_cast<std::size_t>(k)] =
            std::polar(1.0f, static_cast<float>(-2.0 * std::numbers::pi * k / length));
    }
    for (int i = 0; i < length; ++i) {
        int r = 0;
        for (int b = 0; b < log2Length; ++b) {
            r |= ((i >> b) & 1) << (log2Length - 1 - b);
        }
        reversed_[static_cast<std::size_t>(i)] = r;
    }
}

void BandSpectrum::add(std::span<const std::int16_t> block) {
    if (block.size() >= samples_.size()) {
        block = block.last(samples_.size());
        std::transform(block.begin(), block.end(), samples_.begin(),
                       [](std::int16_t s) { return static_cast<float>(s); });
    } else {
        std::move(samples_.begin() + static_cast<std::ptrdiff_t>(block.size()), samples_.end(),
                  samples_.begin());
        std::transform(block.begin(), block.end(),
                       samples_.end() - static_cast<std::ptrdiff_t>(block.size()),
                       [](std::int16_t s) { return static_cast<float>(s); });
    }
    transform();
}

void BandSpectrum::transform() {
    for (std::size_t i = 0; i < work_.size(); ++i) {
        work_[static_cast<std::size_t>(reversed_[i])] = {samples_[i] * window_[i], 0.0f};
    }
    for (int half = 1, stride = length / 2; half < length; half *= 2, stride /= 2) {
        for (int start = 0; start < length; start += 2 * half) {
            for (int k = 0; k < half; ++k) {
                const auto a = static_cast<std::size_t>(start + k);
                const auto b = a + static_cast<std::size_t>(half);
                const std::complex<float> t =
                    twiddles_[static_cast<std::size_t>(k * stride)] * work_[b];
                work_[b] = work_[a] - t;
                work_[a] += t;
            }
        }
    }
    for (std::size_t k = 0; k < power_.size(); ++k) {
        power_[k] = std::norm(work_[k]);
        levels_[k] = power_[k] > 1e-12f ? 10.0f * std::log10(power_[k]) : -120.0f;
    }
}

double BandSpectrum::pointOfBin(int bin, double fineTuneHz, int sampleRate) {
    return pointsPerBin * bin - fineTuneHz * length / sampleRate;
}

double BandSpectrum::peakNear(std::span<const float> power, double point, int reach) {
    const int last = static_cast<int>(power.size()) - 2;
    const int centre = roundHalfEven(point);
    int best = -1;
    for (int k = std::max(1, centre - reach); k <= std::min(last, centre + reach); ++k) {
        if (best < 0 ||
            power[static_cast<std::size_t>(k)] > power[static_cast<std::size_t>(best)]) {
            best = k;
        }
    }
    if (best < 0) {
        return point;
    }
    // A parabola through the log levels of the peak and its neighbours places it between points.
    const auto at = [power](int k) {
        return std::log(std::max(1e-30, static_cast<double>(power[static_cast<std::size_t>(k)])));
    };
    const double left = at(best - 1);
    const double middle = at(best);
    const double right = at(best + 1);
    const double bend = left - 2.0 * middle + right;
    if (!(middle > left && middle >= right) || bend >= 0.0) {
        return point;
    }
    return best + 0.5 * (left - right) / bend;
}

} // namespace nbtv
