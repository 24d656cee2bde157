#pragma once
// The one place where real values become integers. C++ leaves a float-to-integer conversion of
// not-a-number or of a value outside the target's range undefined; these helpers define both:
// not-a-number gives `nanValue` (0 unless the caller says otherwise) and results beyond the
// range of int32_t saturate at its ends.

#include <cmath>
#include <cstdint>
#include <limits>

namespace nbtv {

namespace detail {
// Not-a-number, or a value beyond the range the fast paths below take.
inline std::int32_t saturate(double v, std::int32_t nanValue) {
    if (std::isnan(v)) {
        return nanValue;
    }
    return v < 0.0 ? std::numeric_limits<std::int32_t>::min()
                   : std::numeric_limits<std::int32_t>::max();
}

// A whole number within a step of int32_t's range, clamped into it.
inline std::int32_t clampWhole(std::int64_t whole) {
    if (whole < std::numeric_limits<std::int32_t>::min()) {
        return std::numeric_limits<std::int32_t>::min();
    }
    if (whole > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(whole);
}
} // namespace detail

// Nearest integer, halves to the even neighbour (127.5 -> 128, 126.5 -> 126). Works on the
// truncated value, which keeps it independent of the floating-point rounding mode and free of
// library calls on the per-block paths.
inline std::int32_t roundHalfEven(double v, std::int32_t nanValue = 0) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) {
        return detail::saturate(v, nanValue);
    }
    std::int64_t whole = static_cast<std::int64_t>(v);  // toward zero, in range here
    const double rest = v - static_cast<double>(whole); // exact: |v| < 2^32
    if (rest > 0.5 || (rest == 0.5 && (whole & 1) != 0)) {
        ++whole;
    } else if (rest < -0.5 || (rest == -0.5 && (whole & 1) != 0)) {
        --whole;
    }
    return detail::clampWhole(whole);
}

// Largest integer not above v.
inline std::int32_t floorToInt(double v, std::int32_t nanValue = 0) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) {
        return detail::saturate(v, nanValue);
    }
    std::int64_t whole = static_cast<std::int64_t>(v);
    if (static_cast<double>(whole) > v) {
        --whole;
    }
    return detail::clampWhole(whole);
}

// Integer part, toward zero.
inline std::int32_t truncateToInt(double v, std::int32_t nanValue = 0) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) {
        return detail::saturate(v, nanValue);
    }
    return detail::clampWhole(static_cast<std::int64_t>(v));
}

} // namespace nbtv
