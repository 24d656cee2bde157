#pragma once
// Medians, and values that stand far out from the rest, for the tuner's robust estimates.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

namespace nbtv {

// The median of `values` (the upper one of an even count; 0 for none). A NaN sorts nowhere: it
// counts as beyond every value.
inline double median(std::span<const double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::vector<double> v;
    v.reserve(values.size());
    for (const double x : values) {
        v.push_back(std::isnan(x) ? std::numeric_limits<double>::infinity() : x);
    }
    const auto middle = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), middle, v.end());
    return *middle;
}

// Which of `distances` (from a fit) lie within `spread` times their median. Empty when none lie
// beyond, or when more than a quarter do and the rest cannot be told for the signal: then a fit
// keeps them all.
inline std::vector<bool> withinSpread(std::span<const double> distances, double spread) {
    const double limit = spread * median(distances);
    std::vector<bool> kept(distances.size());
    std::size_t dropped = 0;
    for (std::size_t i = 0; i < distances.size(); ++i) {
        kept[i] = distances[i] <= limit;
        dropped += kept[i] ? 0 : 1;
    }
    if (dropped == 0 || dropped > distances.size() / 4) {
        return {};
    }
    return kept;
}

} // namespace nbtv
