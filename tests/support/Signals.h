#pragma once
// Small signal makers for the tests.

#include <cmath>
#include <cstdint>
#include <vector>

namespace nbtv::test {

// A steady tone of `hz` at `rate`, samples [start, start + count), amplitude in 16-bit units.
inline std::vector<std::int16_t> tone(double hz, int rate, long start, int count,
                                      double amplitude = 12000.0, double phase = 0.3) {
    std::vector<std::int16_t> out(static_cast<std::size_t>(count));
    const double pi = 3.14159265358979323846;
    for (int i = 0; i < count; ++i) {
        const double t = static_cast<double>(start + i);
        out[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(
            std::lround(amplitude * std::cos(2 * pi * hz * t / rate + phase)));
    }
    return out;
}

} // namespace nbtv::test
