#pragma once
// The one place where real values become integers. C++ leaves a float-to-integer conversion of
// not-a-number or of a value outside the target's range undefined; these helpers define both:
// not-a-number gives `nanValue` (0 unless the caller says otherwise) and results beyond the
// range of int32_t saturate at its ends.

#include <cmath>
#include <cstddef>
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
    const std::int64_t whole = static_cast<std::int64_t>(v); // toward zero, in range here
    const double rest = v - static_cast<double>(whole);      // exact: |v| < 2^32
    // Without branches: the rest of a picture's values is as likely above a half as below, which
    // no branch predictor guesses.
    const bool odd = (whole & 1) != 0;
    const bool up = (rest > 0.5) | ((rest == 0.5) & odd);
    const bool down = (rest < -0.5) | ((rest == -0.5) & odd);
    return detail::clampWhole(whole + static_cast<std::int64_t>(up) -
                              static_cast<std::int64_t>(down));
}

// roundHalfEven of `count` single-precision values, into `out`: the same results, four at a
// time in vector registers, the last few one at a time. Values beyond int32_t's range (and
// not-a-number, as 0) take the one-at-a-time road.
inline void roundHalfEven(const float* in, std::int32_t* out, std::size_t count) {
    using Floats = float __attribute__((vector_size(16)));
    using Ints = std::int32_t __attribute__((vector_size(16)));
    constexpr std::size_t width = 4;
    const Floats low = {-2147483648.0f, -2147483648.0f, -2147483648.0f, -2147483648.0f};
    const Floats high = -low;
    const Floats half = {0.5f, 0.5f, 0.5f, 0.5f};
    Ints outside = {};
    const auto four = [&](Floats v) {
        const Ints here = (v > low) & (v < high); // all ones in range; not-a-number is outside
        outside |= ~here;
        const Floats u = reinterpret_cast<Floats>(reinterpret_cast<Ints>(v) & here);
        const Ints whole = __builtin_convertvector(u, Ints);            // toward zero, in range
        const Floats rest = u - __builtin_convertvector(whole, Floats); // exact
        const Ints odd = -(whole & 1);
        // The comparisons give all ones (-1) where true.
        const Ints up = (rest > half) | ((rest == half) & odd);
        const Ints down = (rest < -half) | ((rest == -half) & odd);
        return whole - up + down;
    };
    std::size_t i = 0;
    for (; i + width <= count; i += width) {
        Floats v;
        __builtin_memcpy(&v, in + i, sizeof v);
        const Ints r = four(v);
        __builtin_memcpy(out + i, &r, sizeof r);
    }
    bool inRange = true;
    for (std::size_t lane = 0; lane < width; ++lane) {
        inRange &= outside[lane] == 0;
    }
    if (!inRange) {
        i = 0;
    }
    for (; i < count; ++i) {
        out[i] = roundHalfEven(static_cast<double>(in[i]));
    }
}

// roundHalfEven(n / D) for a whole number n, in integers: the same result as through a double
// wherever |n| < 2^52 (the quotient and its halves are exact there), and cheap for a constant
// divisor.
template <std::int64_t D>
inline std::int32_t roundHalfEvenQuotient(std::int64_t n) {
    static_assert(D > 0);
    const std::int64_t truncated = n / D;
    const std::int64_t q = truncated - static_cast<std::int64_t>((n % D != 0) & (n < 0)); // floor
    const std::int64_t twice = 2 * (n - q * D); // twice the rest, 0 .. 2D - 2
    const bool up = (twice > D) | ((twice == D) & ((q & 1) != 0));
    return detail::clampWhole(q + static_cast<std::int64_t>(up));
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
