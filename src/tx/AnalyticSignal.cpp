#include "tx/AnalyticSignal.h"

#include <cmath>
#include <cstddef>
#include <numbers>

namespace nbtv {

namespace {

constexpr int halfTaps = 127; // 255 taps

// The odd taps 2 / (pi n) of the ideal filter under a Blackman window; the even taps are zero.
std::vector<double> hilbertTaps() {
    std::vector<double> taps(halfTaps + 1, 0.0); // taps[n] for n = 0..halfTaps; h(-n) = -h(n)
    constexpr double pi = std::numbers::pi;
    for (int n = 1; n <= halfTaps; n += 2) {
        const double x = pi * (n + halfTaps + 1) / (halfTaps + 1); // window over -M..M
        const double window = 0.42 - 0.5 * std::cos(x) + 0.08 * std::cos(2.0 * x);
        taps[static_cast<std::size_t>(n)] = 2.0 / (pi * n) * window;
    }
    return taps;
}

} // namespace

std::vector<std::complex<double>> analyticSignal(std::span<const double> signal) {
    static const std::vector<double> taps = hilbertTaps();
    const std::ptrdiff_t size = static_cast<std::ptrdiff_t>(signal.size());
    std::vector<std::complex<double>> out(signal.size());
    for (std::ptrdiff_t i = 0; i < size; ++i) {
        double q = 0.0;
        for (std::ptrdiff_t n = 1; n <= halfTaps; n += 2) {
            const double before = i - n >= 0 ? signal[static_cast<std::size_t>(i - n)] : 0.0;
            const double after = i + n < size ? signal[static_cast<std::size_t>(i + n)] : 0.0;
            q += taps[static_cast<std::size_t>(n)] * (before - after);
        }
        out[static_cast<std::size_t>(i)] = {signal[static_cast<std::size_t>(i)], q};
    }
    return out;
}

} // namespace nbtv
