#include "tx/AnalyticSignal.h"

#include <cmath>
#include <cstddef>
#include <numbers>

namespace nbtv {

namespace {

constexpr std::size_t halfTaps = 127; // 255 taps

// The odd taps 2 / (pi n) of the ideal filter under a Blackman window; the even taps are zero.
std::vector<double> hilbertTaps() {
    std::vector<double> taps(halfTaps + 1, 0.0); // taps[n] for n = 0..halfTaps; h(-n) = -h(n)
    constexpr double pi = std::numbers::pi;
    for (std::size_t n = 1; n <= halfTaps; n += 2) {
        const double x = pi * static_cast<double>(n + halfTaps + 1) /
                         static_cast<double>(halfTaps + 1); // window over -M..M
        const double window = 0.42 - 0.5 * std::cos(x) + 0.08 * std::cos(2.0 * x);
        taps[n] = 2.0 / (pi * static_cast<double>(n)) * window;
    }
    return taps;
}

} // namespace

AnalyticSignal::AnalyticSignal() : window_(halfTaps, 0.0) {}

void AnalyticSignal::push(std::span<const double> in, std::vector<std::complex<double>>& out) {
    window_.insert(window_.end(), in.begin(), in.end());
    complete(out);
}

void AnalyticSignal::finish(std::vector<std::complex<double>>& out) {
    window_.insert(window_.end(), halfTaps, 0.0);
    complete(out);
    window_.assign(halfTaps, 0.0);
}

void AnalyticSignal::complete(std::vector<std::complex<double>>& out) {
    static const std::vector<double> taps = hilbertTaps();
    if (window_.size() < 2 * halfTaps + 1) {
        return;
    }
    const std::size_t end = window_.size() - halfTaps;
    const double* w = window_.data();
    for (std::size_t i = halfTaps; i < end; ++i) {
        double q = 0.0;
        for (std::size_t n = 1; n <= halfTaps; n += 2) {
            q += taps[n] * (w[i - n] - w[i + n]);
        }
        out.emplace_back(w[i], q);
    }
    window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(end - halfTaps));
}

} // namespace nbtv
