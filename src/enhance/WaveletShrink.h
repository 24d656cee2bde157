#pragma once
// Noise shrinkage of one carrier's deviations along a field: a three-level a-trous
// decomposition with the [1 2 1]/4 kernel, mirrored at the field's ends, whose details are
// shrunk by the non-negative garrote (d - t^2 / d beyond the threshold t, else 0).

#include <span>

namespace nbtv {

// Shrinks `values` in place, given the standard deviation of their noise. A clean signal
// (noise 0) comes back unchanged.
void shrinkField(std::span<double> values, double noise);
// The same with the noise of each value: where the signal fades, its deviations grow noisier.
void shrinkField(std::span<double> values, std::span<const double> noise);

} // namespace nbtv
