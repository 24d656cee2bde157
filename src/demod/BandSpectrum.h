#pragma once
// The band of the input as a person looks at it: the power spectrum from 0 to half the sample
// rate of the newest 1024 samples (four transform bins of the receiver to a point), windowed,
// and where the comb's carriers and pilots lie in it for a fine tune.

#include <complex>
#include <cstdint>
#include <span>
#include <vector>

namespace nbtv {

struct ReceiverProfile;

class BandSpectrum {
  public:
    static constexpr int length = 1024;
    static constexpr int points = length / 2 + 1; // 0 .. fs/2
    // Spectrum points to a transform bin of the receiver (fs / 256).
    static constexpr int pointsPerBin = length / 256;

    BandSpectrum();
    // Takes a block of input; the spectrum follows the newest `length` samples.
    void add(std::span<const std::int16_t> block);
    // Level of each point in dB relative to a full-scale sine, newest samples (-120 for none).
    const std::vector<float>& levels() const { return levels_; }
    // The same as linear power, for finding peaks.
    const std::vector<float>& power() const { return power_; }

    // The spectrum point (fractional) at which a tone of transform bin `bin` shows while the
    // receiver's fine tune is `fineTuneHz`: bin x 4 - fineTuneHz / (fs / 1024).
    static double pointOfBin(int bin, double fineTuneHz, int sampleRate);
    // The peak of `power` (points of a spectrum) near `point`, within `reach` points, refined
    // between points; `point` itself when there is no peak there.
    static double peakNear(std::span<const float> power, double point, int reach);

  private:
    void transform();

    std::vector<float> window_;
    std::vector<float> samples_; // the newest `length`, oldest first
    std::vector<std::complex<float>> twiddles_;
    std::vector<int> reversed_;
    std::vector<std::complex<float>> work_;
    std::vector<float> power_;
    std::vector<float> levels_;
};

} // namespace nbtv
