#pragma once
// Each captured block becomes three interleaved series of 256-point spectra: the window of the
// previous and the current block is rate-corrected, mixed with the fine tune and transformed.

#include <cstdint>
#include <span>
#include <vector>

#include "demod/BlockTypes.h"
#include "demod/Fft256.h"

namespace nbtv {

struct ReceiverSettings;

class SpectrumAnalyser {
  public:
    // Resampled positions that the frames read: the last frame of the last pass ends here.
    static constexpr int framedLength =
        transformHop * (framesPerPass - 1) + passOffsets[analysisPasses - 1] + Fft256::size;

    SpectrumAnalyser();

    // Analyses one block of settings.blockLength samples; carries settings.resampleFraction.
    void analyseBlock(std::span<const std::int16_t> block, ReceiverSettings& settings,
                      BlockSpectra& spectra);

    // Every step done literally: all mixer outputs, sines taken afresh, one transform at a
    // time. Gives the same spectra; kept as the reference the fast path is tested against.
    void setLiteral(bool literal) { literal_ = literal; }

    // The previous and the current block, scaled to -1 .. +1.
    std::span<const double> window() const {
        return {windowStore_.data() + windowGuard, windowLength_};
    }
    const std::vector<double>& resampled() const { return resampled_; }
    const std::vector<float>& sineProduct() const { return sineProduct_; }
    const std::vector<float>& cosineProduct() const { return cosineProduct_; }
    const Fft256& fft() const { return fft_; }

  private:
    void updateWindow(std::span<const std::int16_t> block, int blockLength);
    void correctRate(ReceiverSettings& settings, int blockLength);
    template <class Read>
    double runRateCorrector(const ReceiverSettings& settings, int windowLength, Read at);
    void mix(float fineTuneHz, int sampleRate, int count);
    void transformLiteral(BlockSpectra& spectra);
    void transformLanes(BlockSpectra& spectra);
    const std::vector<double>& mixerTable(bool sine, float fineTuneHz, int sampleRate, int count);

    Fft256 fft_;
    bool literal_ = false;
    // The window with one zero before it and zeros after it (see correctRate).
    static constexpr std::size_t windowGuard = 1;
    std::vector<double> windowStore_;
    std::size_t windowLength_ = 0;
    std::vector<double> resampled_;
    std::vector<float> sineProduct_;
    std::vector<float> cosineProduct_;

    // The mixer phase starts at 0 in every block, so its sines and cosines depend only on the
    // fine tune and the rate: they are kept until either changes.
    float tableFineTune_ = 0.0f;
    int tableRate_ = 0;
    std::vector<double> sinTable_;
    std::vector<double> cosTable_;

    std::vector<float> laneRe_;
    std::vector<float> laneIm_;
};

} // namespace nbtv
