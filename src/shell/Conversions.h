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
// `whole` is integral, infinite or not-a-number.
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

// Nearest integer, halves to the even neighbour (127.5 -> 128, 126.5 -> 126). Works on the
// truncated value, which keeps it independent of the floating-point rounding mode and free of
// library calls on the per-block paths.
inline std::int32_t roundHalfEven(double v, std::int32_t nanValue = 0) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) {
        return detail::saturateWhole(v, nanValue);
    }
    std::int64_t whole = static_cast<std::int64_t>(v);  // toward zero, in range here
    const double rest = v - static_cast<double>(whole); // exact: |v| < 2^32
    if (rest > 0.5 || (rest == 0.5 && (whole & 1) != 0)) {
        ++whole;
    } else if (rest < -0.5 || (rest == -0.5 && (whole & 1) != 0)) {
        --whole;
    }
    return detail::saturateWhole(static_cast<double>(whole), nanValue);
}

// Largest integer not above v.
inline std::int32_t floorToInt(double v, std::int32_t nanValue = 0) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) {
        return detail::saturateWhole(v, nanValue);
    }
    std::int64_t whole = static_cast<std::int64_t>(v);
    if (static_cast<double>(whole) > v) {
        --whole;
    }
    return detail::saturateWhole(static_cast<double>(whole), nanValue);
}

// Integer part, toward zero.
inline std::int32_t truncateToInt(double v, std::int32_t nanValue = 0) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) {
        return detail::saturateWhole(v, nanValue);
    }
    return detail::saturateWhole(static_cast<double>(static_cast<std::int64_t>(v)), nanValue);
}

} // namespace nbtv
