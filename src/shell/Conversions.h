#pragma once
// The one place where real values become integers. C++ leaves a float-to-integer conversion of
// not-a-number or of a value outside the target's range undefined; these helpers define both:
// not-a-number gives `nanValue` (0 unless the caller says otherwise) and values beyond the range
// of int32_t saturate at its ends.

#include <cmath>
#include <cstdint>
#include <limits>

namespace nbtv {

namespace detail {
inline std::int32_t saturateWhole(double whole, std::int32_t nanValue) {
    if (std::isnan(whole)) {
        return nanValue;
    }
    constexpr double lo = static_cast<double>(std::numeric_limits<std::int32_t>::min());
    constexpr double hi = static_cast<double>(std::numeric_limits<std::int32_t>::max());
    if (whole <= lo) {
        return std::numeric_limits<std::int32_t>::min();
    }
    if (whole >= hi) {
        return std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(whole); // whole is integral and in range here
}
} // namespace detail

// Nearest integer, halves to the even neighbour (127.5 -> 128, 126.5 -> 126).
inline std::int32_t roundHalfEven(double v, std::int32_t nanValue = 0) {
    const double lower = std::floor(v);
    const double diff = v - lower;
    double whole = lower;
    if (diff > 0.5) {
        whole = lower + 1.0;
    } else if (diff == 0.5) {
        whole = std::fmod(lower, 2.0) == 0.0 ? lower : lower + 1.0;
    }
    return detail::saturateWhole(whole, nanValue);
}

// Largest integer not above v.
inline std::int32_t floorToInt(double v, std::int32_t nanValue = 0) {
    return detail::saturateWhole(std::floor(v), nanValue);
}

// Integer part, toward zero.
inline std::int32_t truncateToInt(double v, std::int32_t nanValue = 0) {
    return detail::saturateWhole(std::trunc(v), nanValue);
}

} // namespace nbtv
