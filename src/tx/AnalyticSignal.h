#pragma once
// The analytic signal x + j H{x} of a real signal, H the Hilbert transform, so that a receiver's
// frequency shifts and a path's complex gain can be applied to audio as they act on the radio
// signal: the real part of (gain * analytic) is what the loudspeaker gives.

#include <complex>
#include <span>
#include <vector>

namespace nbtv {

// A windowed, centred Hilbert filter (no delay); accurate above about 1 % of the sample rate,
// well below the lowest tone of every program. The signal comes a block at a time and is taken
// as zero before its first sample and after its last; each analytic sample needs the 127 real
// samples after it, so the output runs that far behind the input until finish().
class AnalyticSignal {
  public:
    AnalyticSignal();
    // Takes the next samples; appends the analytic samples now complete to `out`.
    void push(std::span<const double> in, std::vector<std::complex<double>>& out);
    // After the last sample: appends the rest.
    void finish(std::vector<std::complex<double>>& out);

  private:
    void complete(std::vector<std::complex<double>>& out);
    // The real samples from the next output's 127 before it (zeros before the first) on.
    std::vector<double> window_;
};

} // namespace nbtv
