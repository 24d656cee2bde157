#pragma once
// The analytic signal x + j H{x} of a real signal, H the Hilbert transform, so that a receiver's
// frequency shifts and a path's complex gain can be applied to audio as they act on the radio
// signal: the real part of (gain * analytic) is what the loudspeaker gives.

#include <complex>
#include <span>
#include <vector>

namespace nbtv {

// A windowed, centred Hilbert filter (no delay); accurate above about 1 % of the sample rate,
// well below the lowest tone of every program.
std::vector<std::complex<double>> analyticSignal(std::span<const double> signal);

} // namespace nbtv
