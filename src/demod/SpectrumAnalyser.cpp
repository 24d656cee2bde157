#include "demod/SpectrumAnalyser.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "core/ReceiverSettings.h"

namespace nbtv {

namespace {

// The twelve transforms of a block run side by side, lane p * 4 + f for frame f of pass p.
constexpr std::size_t lanes = analysisPasses * framesPerPass;
static_assert(lanes == Fft256::twelveLanes);
constexpr std::array<std::size_t, lanes> laneStarts = [] {
    std::array<std::size_t, lanes> starts{};
    for (std::size_t p = 0; p < analysisPasses; ++p) {
        for (std::size_t f = 0; f < framesPerPass; ++f) {
            starts[p * framesPerPass + f] = transformHop * f + passOffsets[p];
        }
    }
    return starts;
}();

// Two pi as the receiver has always formed it: eight times atan(1), in single precision.
const float twoPi = static_cast<float>(8.0 * std::atan(1.0));

std::size_t idx(int i) {
    return static_cast<std::size_t>(i);
}

// Four values from each of in + at[0..3] become four runs of four at out[0..3]: run j holds
// value j of each.
void transposeFour(const float* in, const std::size_t (&at)[4], float* const (&out)[4]) {
    using Four = float __attribute__((vector_size(16)));
    Four a;
    Four b;
    Four c;
    Four d;
    std::memcpy(&a, in + at[0], sizeof a);
    std::memcpy(&b, in + at[1], sizeof b);
    std::memcpy(&c, in + at[2], sizeof c);
    std::memcpy(&d, in + at[3], sizeof d);
    const Four ab0 = __builtin_shufflevector(a, b, 0, 4, 1, 5); // a0 b0 a1 b1
    const Four ab1 = __builtin_shufflevector(a, b, 2, 6, 3, 7); // a2 b2 a3 b3
    const Four cd0 = __builtin_shufflevector(c, d, 0, 4, 1, 5);
    const Four cd1 = __builtin_shufflevector(c, d, 2, 6, 3, 7);
    const Four rows[4] = {__builtin_shufflevector(ab0, cd0, 0, 1, 4, 5),
                          __builtin_shufflevector(ab0, cd0, 2, 3, 6, 7),
                          __builtin_shufflevector(ab1, cd1, 0, 1, 4, 5),
                          __builtin_shufflevector(ab1, cd1, 2, 3, 6, 7)};
    for (std::size_t j = 0; j < 4; ++j) {
        std::memcpy(out[j], &rows[j], sizeof rows[j]);
    }
}

} // namespace

SpectrumAnalyser::SpectrumAnalyser()
    : laneRe_(Fft256::size * Fft256::laneStride), laneIm_(Fft256::size * Fft256::laneStride) {}

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
    if (windowLength_ != 2 * length) {
        // A new block length comes with a restarted capture: start from silence.
        windowLength_ = 2 * length;
        windowStore_.assign(windowLength_ + windowGuard, 0.0);
    }
    double* window = windowStore_.data() + windowGuard;
    for (std::size_t i = 0; i < length; ++i) {
        window[i] = window[length + i];
        window[length + i] = (i < block.size() ? block[i] : 0) / 32768.0;
    }
}

void SpectrumAnalyser::correctRate(ReceiverSettings& settings, int blockLength) {
    const int windowLength = 2 * blockLength;
    const double off = settings.sampleRateOffset;
    // Positions outside the window read as silence: the one before position 0 that the first
    // output interpolates from, and those past the end that a negative offset reaches. The
    // store keeps zeros there, enough for any offset the calibration allows.
    const int reach = std::abs(off) <= 0.5
                          ? 4 + static_cast<int>(std::ceil((windowLength + 1) * std::abs(off)))
                          : 0;
    if (reach == 0) {
        settings.resampleFraction = runRateCorrector(settings, windowLength, [&](int j) {
            return j >= 0 && j < windowLength ? windowStore_[idx(j) + windowGuard] : 0.0;
        });
        return;
    }
    if (windowStore_.size() < windowLength_ + windowGuard + idx(reach)) {
        windowStore_.resize(windowLength_ + windowGuard + idx(reach), 0.0);
    }
    const double* window = windowStore_.data() + windowGuard;
    settings.resampleFraction =
        runRateCorrector(settings, windowLength, [window](int j) { return window[j]; });
}

template <class Read>
double SpectrumAnalyser::runRateCorrector(const ReceiverSettings& settings, int windowLength,
                                          Read at) {
    const double off = settings.sampleRateOffset;
    double fr = settings.resampleFraction;
    resampled_.resize(idx(windowLength + 1));
    if (!literal_ && off == 0.0 && !std::signbit(off) && fr >= 0.0 && fr <= 1.0) {
        // No rate correction: the fraction never moves (x - (+0) is x) and position i reads
        // samples i and i - 1: the same arithmetic without the steps that cannot happen.
        const double before = 1.0 - fr;
        resampled_[0] = at(0) * fr + at(-1) * before;
        for (int i = 1; i < windowLength; ++i) {
            resampled_[idx(i)] = windowStore_[idx(i) + windowGuard] * fr +
                                 windowStore_[idx(i - 1) + windowGuard] * before;
        }
        resampled_[idx(windowLength)] = at(windowLength) * fr + at(windowLength - 1) * before;
        return fr;
    }
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
    return fr;
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
    constexpr std::size_t stride = Fft256::laneStride;
    // Four values of four lanes at a time, turned so that each lane's run becomes a column:
    // rows of the lanes are written whole, and each lane's products are read in order.
    const float* sines = sineProduct_.data();
    const float* cosines = cosineProduct_.data();
    for (std::size_t m = 0; m < Fft256::size; m += 4) {
        for (std::size_t lane = 0; lane < lanes; lane += 4) {
            const std::size_t at[4] = {laneStarts[lane] + m, laneStarts[lane + 1] + m,
                                       laneStarts[lane + 2] + m, laneStarts[lane + 3] + m};
            float* const re = laneRe_.data() + m * stride + lane;
            float* const im = laneIm_.data() + m * stride + lane;
            transposeFour(sines, at, {re, re + stride, re + 2 * stride, re + 3 * stride});
            transposeFour(cosines, at, {im, im + stride, im + 2 * stride, im + 3 * stride});
        }
    }
    fft_.transformTwelve(laneRe_.data(), laneIm_.data());
    // Four bins of four lanes at a time, turned again: bin k of lane p * 4 + f to [p][f][k].
    int k = 1;
    for (; k + 3 <= keptBins; k += 4) {
        const std::size_t rows[4] = {
            idx(fft_.position(k)) * stride, idx(fft_.position(k + 1)) * stride,
            idx(fft_.position(k + 2)) * stride, idx(fft_.position(k + 3)) * stride};
        for (std::size_t p = 0; p < analysisPasses; ++p) {
            const std::size_t at[4] = {rows[0] + 4 * p, rows[1] + 4 * p, rows[2] + 4 * p,
                                       rows[3] + 4 * p};
            const std::size_t b = idx(k);
            transposeFour(laneRe_.data(), at,
                          {&spectra.re[p][0][b], &spectra.re[p][1][b], &spectra.re[p][2][b],
                           &spectra.re[p][3][b]});
            transposeFour(laneIm_.data(), at,
                          {&spectra.im[p][0][b], &spectra.im[p][1][b], &spectra.im[p][2][b],
                           &spectra.im[p][3][b]});
        }
    }
    for (; k <= keptBins; ++k) {
        const float* re = laneRe_.data() + idx(fft_.position(k)) * stride;
        const float* im = laneIm_.data() + idx(fft_.position(k)) * stride;
        for (int p = 0; p < analysisPasses; ++p) {
            for (int f = 0; f < framesPerPass; ++f) {
                const std::size_t lane = idx(p * framesPerPass + f);
                spectra.re[p][f][k] = re[lane];
                spectra.im[p][f][k] = im[lane];
            }
        }
    }
}

} // namespace nbtv
