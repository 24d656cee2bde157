#pragma once
// Finds the comb of tones in raw audio before any correction: a long transform resolves where
// the comb lies to a small fraction of an analysis bin, and the empty bins beside the comb tell
// a shift by whole bins from none.

#include <cstdint>
#include <span>
#include <vector>

#include "core/Fourier.h"

namespace nbtv {

// Tone k of the comb lies at scale k + a analysis bins (sample rate / 256).
struct CombPosition {
    double a = 0.0;
    double scale = 1.0;
    double score = 0.0;
};

// Averages the power of Hann-windowed stretches of raw audio, 4096-point transforms of 2048
// samples every 1024.
class CombSpectrum {
  public:
    static constexpr int transformSize = 4096;
    static constexpr int windowLength = 2048;
    static constexpr int hop = 1024;
    // Transform bins per analysis bin.
    static constexpr int binsPerAnalysisBin = transformSize / 256;

    CombSpectrum();

    void add(std::span<const std::int16_t> samples);
    void clear();
    int transforms() const { return transforms_; }

    // The averaged power smoothed with [1 2 3 2 1] / 9, transformSize / 2 + 1 values.
    std::vector<double> smoothedPower() const;

  private:
    void transformOldest();

    std::vector<double> pending_;
    std::vector<double> window_;
    std::vector<double> power_;
    int transforms_ = 0;
};

// The search's step of the stretch: it moves the highest of `tones` by 1/32 bin.
double combStretchStep(std::span<const int> tones);

// The comb position that maximises the power at the tones minus the power just outside the
// comb (at lo - 2 and hi + 2). `tones` are the comb's bins; a is searched within +-1.5 bins, and
// the scale within baseScale * (1 +- maxStretch) (only baseScale when maxStretch is 0).
CombPosition searchComb(const std::vector<double>& power, std::span<const int> tones,
                        double baseScale, double maxStretch);

} // namespace nbtv
