#pragma once
// Narrow-band interferers: a steady or keyed (Morse) carrier that shares the band with the comb.
// The comb's tones sit on the bin grid and wander at most a quarter of a bin from it as the
// picture moves them; a tone that stands far above its neighbours in a segment's long spectrum
// and lies off the grid (or is far stronger than any carrier) is foreign. Each is modelled as
// A cos(2 pi f n + phi) k(n): one frequency and phase over the segment and an envelope k that is
// 1 for a steady carrier and for a keyed one goes between 0 and 1 with shaped edges. It is
// estimated from the samples, subtracted, and estimated again from what the carriers' fit leaves
// (no carriers in the way then), so that the fit sees the comb alone.

#include <complex>
#include <span>
#include <vector>

#include "enhance/SegmentFit.h"

namespace nbtv {

class InterfererCanceller {
  public:
    // `carrierBins`: the comb's tones, as the fit models them; `sampleRate`: the capture's.
    InterfererCanceller(std::vector<int> carrierBins, int sampleRate);

    // Looks for interferers in `samples` (a segment over `spans`) and estimates them from the
    // samples themselves. Whether any was found.
    bool find(std::span<const float> samples, std::span<const SlotSpan> spans);
    // Estimates the interferers found again from the samples with the carriers' model taken away
    // (the fit's residual of samples that had the interferers subtracted, `residual`).
    void refine(std::span<const float> residual);
    // `samples` less the interferers (the samples `find` looked at).
    void subtract(std::span<const float> samples, std::vector<float>& out) const;
    // The interferers' sum added to `samples`.
    void add(std::span<float> samples) const;

    // Interferers found by the last find(), and the first one's frequency (cycles per sample),
    // amplitude and whether it is keyed.
    int found() const { return static_cast<int>(tones_.size()); }
    double frequency(int i) const { return tones_[static_cast<std::size_t>(i)].frequency; }
    double amplitude(int i) const { return std::abs(tones_[static_cast<std::size_t>(i)].phasor); }
    bool keyed(int i) const { return tones_[static_cast<std::size_t>(i)].keyed; }

  private:
    struct Tone {
        double frequency = 0.0;      // cycles per sample
        std::complex<double> phasor; // A e^(i phi) at sample 0
        bool keyed = false;          // otherwise the envelope is 1 throughout
        std::vector<float> envelope; // per sample, when keyed
    };

    void estimate(Tone& tone, std::span<const float> x, bool decide) const;
    void keying(Tone& tone, std::span<const std::complex<double>> z, bool decide) const;
    // Adds `sign` times the tone to `samples`.
    static void applyTone(const Tone& tone, std::span<float> samples, double sign);

    std::vector<int> bins_;
    int sampleRate_;
    std::vector<Tone> tones_;
    // The Hann window over a segment's samples (kept while segments keep their length), and
    // scratch of the long spectrum.
    std::vector<double> window_;
    std::vector<double> spectrumRe_, spectrumIm_;
    std::vector<double> power_;
};

// Fits `fit` to `samples` over `spans` with the interferers that `canceller` finds there taken
// away; the plain fit where it finds none. `crashes` as SegmentFit::fit takes it.
void fitWithoutInterferers(SegmentFit& fit, InterfererCanceller& canceller,
                           std::span<const float> samples, std::span<const SlotSpan> spans,
                           int iterations, const std::vector<bool>* crashes = nullptr);

} // namespace nbtv
