#include "demod/SpectrumAnalyser.h"

#include <cmath>
#include <cstddef>

#include "shell/ReceiverSettings.h"

namespace nbtv {

namespace {

constexpr int lanes = analysisPasses * framesPerPass;

// Two pi as the receiver has always formed it: eight times atan(1), in single precision.
const float twoPi = static_cast<float>(8.0 * std::atan(1.0));

std::size_t idx(int i) {
    return static_cast<std::size_t>(i);
}

} // namespace

SpectrumAnalyser::SpectrumAnalyser()
    : laneRe_(idx(Fft256::size * lanes)), laneIm_(idx(Fft256::size * lanes)) {}

void SpectrumAnalyser::analyseBlock(std::span<const std::int16_t> block, ReceiverSettings& settings,
                                    BlockSpectra& spectra) {
    const int blockLength = settings.blockLength;
    updateWindow(block, blockLength);
    correctRate(settings, blockLength);
    mix(settings.fineTuneHz, settings.sampleRate, literal_ ? 2 * blockLength : framedLength);
    if (literal_) {
        transformLiteral(spectra);
    } else {
        transformLanes(spectra);
    }
}

void SpectrumAnalyser::updateWindow(std::span<const std::int16_t> block, int blockLength) {
    const std::size_t length = idx(blockLength);
    if (window_.size() != 2 * length) {
        // A new block length comes with a restarted capture: start from silence.
        window_.assign(2 * length, 0.0);
    }
    for (std::size_t i = 0; i < length; ++i) {
        window_[i] = window_[length + i];
        window_[length + i] = (i < block.size() ? block[i] : 0) / 32768.0;
    }
}

void SpectrumAnalyser::correctRate(ReceiverSettings& settings, int blockLength) {
    const int windowLength = 2 * blockLength;
    // Positions outside the window read as silence; that includes the one before position 0
    // that the first output interpolates from.
    auto at = [&](int j) { return j >= 0 && j < windowLength ? window_[idx(j)] : 0.0; };
    const double off = settings.sampleRateOffset;
    double fr = settings.resampleFraction;
    resampled_.resize(idx(windowLength + 1));
    int j = 0;
    for (int i = 0; i <= windowLength; ++i) {
        resampled_[idx(i)] = at(j) * fr + at(j - 1) * (1.0 - fr);
        fr = fr - off;
        if (fr < 0.0) {
            fr = fr + 1.0;
            j = j - 1;
        }
        if (fr > 1.0) {
            fr = fr - 1.0;
            j = j + 1;
        }
        j = j + 1;
    }
    settings.resampleFraction = fr;
}

const std::vector<double>& SpectrumAnalyser::mixerTable(bool sine, float fineTuneHz, int sampleRate,
                                                        int count) {
    if (sinTable_.size() < idx(count) || tableFineTune_ != fineTuneHz || tableRate_ != sampleRate ||
        std::signbit(tableFineTune_) != std::signbit(fineTuneHz)) {
        const double increment =
            static_cast<double>(fineTuneHz) * static_cast<double>(twoPi) / sampleRate;
        sinTable_.resize(idx(count));
        cosTable_.resize(idx(count));
        float a = 0.0f;
        for (int i = 0; i < count; ++i) {
            a = static_cast<float>(a + increment);
            if (a > twoPi) {
                a = a - twoPi; // once; a negative phase keeps falling within the block
            }
            sinTable_[idx(i)] = std::sin(static_cast<double>(a));
            cosTable_[idx(i)] = std::cos(static_cast<double>(a));
        }
        tableFineTune_ = fineTuneHz;
        tableRate_ = sampleRate;
    }
    return sine ? sinTable_ : cosTable_;
}

void SpectrumAnalyser::mix(float fineTuneHz, int sampleRate, int count) {
    sineProduct_.resize(idx(count));
    cosineProduct_.resize(idx(count));
    if (literal_) {
        const double increment =
            static_cast<double>(fineTuneHz) * static_cast<double>(twoPi) / sampleRate;
        float a = 0.0f;
        for (int i = 0; i < count; ++i) {
            a = static_cast<float>(a + increment);
            if (a > twoPi) {
                a = a - twoPi;
            }
            sineProduct_[idx(i)] =
                static_cast<float>(std::sin(static_cast<double>(a)) * resampled_[idx(i)]);
            cosineProduct_[idx(i)] =
                static_cast<float>(std::cos(static_cast<double>(a)) * resampled_[idx(i)]);
        }
        return;
    }
    const std::vector<double>& sines = mixerTable(true, fineTuneHz, sampleRate, count);
    const std::vector<double>& cosines = mixerTable(false, fineTuneHz, sampleRate, count);
    for (std::size_t i = 0; i < idx(count); ++i) {
        sineProduct_[i] = static_cast<float>(sines[i] * resampled_[i]);
        cosineProduct_[i] = static_cast<float>(cosines[i] * resampled_[i]);
    }
}

void SpectrumAnalyser::transformLiteral(BlockSpectra& spectra) {
    float re[Fft256::size];
    float im[Fft256::size];
    for (int p = 0; p < analysisPasses; ++p) {
        for (int f = 0; f < framesPerPass; ++f) {
            const int start = transformHop * f + passOffsets[idx(p)];
            for (int m = 0; m < Fft256::size; ++m) {
                re[m] = sineProduct_[idx(start + m)];
                im[m] = cosineProduct_[idx(start + m)];
            }
            fft_.transform(re, im);
            for (int k = 1; k <= keptBins; ++k) {
                spectra.re[p][f][k] = re[fft_.position(k)];
                spectra.im[p][f][k] = im[fft_.position(k)];
            }
        }
    }
}

void SpectrumAnalyser::transformLanes(BlockSpectra& spectra) {
    for (int p = 0; p < analysisPasses; ++p) {
        for (int f = 0; f < framesPerPass; ++f) {
            const int lane = p * framesPerPass + f;
            const int start = transformHop * f + passOffsets[idx(p)];
            for (int m = 0; m < Fft256::size; ++m) {
                laneRe_[idx(m * lanes + lane)] = sineProduct_[idx(start + m)];
                laneIm_[idx(m * lanes + lane)] = cosineProduct_[idx(start + m)];
            }
        }
    }
    fft_.transformLanes<lanes>(laneRe_.data(), laneIm_.data());
    for (int p = 0; p < analysisPasses; ++p) {
        for (int f = 0; f < framesPerPass; ++f) {
            const int lane = p * framesPerPass + f;
            for (int k = 1; k <= keptBins; ++k) {
                const std::size_t at = idx(fft_.position(k) * lanes + lane);
                spectra.re[p][f][k] = laneRe_[at];
                spectra.im[p][f][k] = laneIm_[at];
            }
        }
    }
}

} // namespace nbtv
