#include "tx/Propagation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

#include "core/Conversions.h"
#include "tx/Random.h"

namespace nbtv {

namespace {

constexpr double twoPi = 2.0 * std::numbers::pi;

// A path's complex gain, mean power one: a sum of rotating phasors whose frequencies are drawn
// from the Gaussian Doppler spectrum.
class FadingGain {
  public:
    FadingGain(double dopplerHz, double sampleRate, std::uint64_t seed) {
        GaussianNoise frequencies(seed);
        SplitMix64 phases(seed ^ 0x5bd1e995ULL);
        for (std::size_t k = 0; k < rays; ++k) {
            const double hz = 0.5 * dopplerHz * frequencies.next();
            step_[k] = std::polar(1.0, twoPi * hz / sampleRate);
            phasor_[k] =
                std::polar(1.0 / std::sqrt(double(rays)), twoPi * phases.uniformOpenZero());
        }
    }

    std::complex<double> next() {
        std::complex<double> sum = 0.0;
        for (std::size_t k = 0; k < rays; ++k) {
            sum += phasor_[k];
            phasor_[k] *= step_[k];
        }
        if ((++count_ & 4095) == 0) {
            for (std::complex<double>& p : phasor_) {
                p /= std::abs(p) * std::sqrt(double(rays)); // rounding never grows the gain
            }
        }
        return sum;
    }

  private:
    static constexpr std::size_t rays = 32;
    std::array<std::complex<double>, rays> phasor_{};
    std::array<std::complex<double>, rays> step_{};
    std::uint64_t count_ = 0;
};

// Random Morse at 20 words a minute: a dot of 60 ms, dashes of three, gaps of one between
// elements and three between letters, each edge shaped over 5 ms.
std::vector<float> keyingEnvelope(std::size_t length, double sampleRate, std::uint64_t seed) {
    const std::size_t unit =
        static_cast<std::size_t>(std::max<std::int64_t>(1, floorToInt(0.060 * sampleRate)));
    std::vector<float> key(length, 0.0f);
    SplitMix64 rng(seed);
    std::size_t n = 0;
    while (n < length) {
        const std::uint64_t draw = rng.next();
        const std::size_t on = (draw & 1) ? 3 * unit : unit;
        const std::size_t off = (draw & 6) == 6 ? 3 * unit : unit;
        for (std::size_t i = n; i < std::min(length, n + on); ++i) {
            key[i] = 1.0f;
        }
        n += on + off;
    }
    // Shape the edges with a raised cosine over 5 ms.
    const std::size_t edge =
        static_cast<std::size_t>(std::max<std::int64_t>(1, floorToInt(0.005 * sampleRate)));
    std::vector<float> shaped(length, 0.0f);
    std::vector<double> kernel(edge);
    double total = 0.0;
    for (std::size_t i = 0; i < edge; ++i) {
        kernel[i] =
            1.0 - std::cos(twoPi * (static_cast<double>(i) + 0.5) / static_cast<double>(edge));
        total += kernel[i];
    }
    for (std::size_t i = 0; i < length; ++i) {
        double sum = 0.0;
        for (std::size_t k = 0; k < edge && k <= i; ++k) {
            sum += kernel[k] * key[i - k];
        }
        shaped[i] = static_cast<float>(sum / total);
    }
    return shaped;
}

} // namespace

void applyFading(std::span<std::complex<double>> signal, double sampleRate, const Fading& fading,
                 std::uint64_t seed) {
    FadingGain first(fading.dopplerHz, sampleRate, seed);
    if (fading.kind == Fading::Kind::Flat) {
        for (std::complex<double>& s : signal) {
            s *= first.next();
        }
        return;
    }
    FadingGain second(fading.dopplerHz, sampleRate, seed ^ 0x9e3779b97f4a7c15ULL);
    const std::size_t delay = static_cast<std::size_t>(
        std::max<std::int64_t>(0, roundHalfEven(fading.delayMs * 1e-3 * sampleRate)));
    const double half = std::sqrt(0.5);
    std::vector<std::complex<double>> early(signal.size());
    std::vector<std::complex<double>> late(signal.size());
    for (std::size_t n = 0; n < signal.size(); ++n) {
        early[n] = first.next();
        late[n] = second.next();
    }
    // Back to front, so the second path still reads the samples as sent.
    for (std::size_t n = signal.size(); n-- > 0;) {
        const std::complex<double> delayed = n >= delay ? signal[n - delay] : 0.0;
        signal[n] = half * (early[n] * signal[n] + late[n] * delayed);
    }
}

void addInterferer(std::span<std::complex<double>> signal, double sampleRate,
                   const Interferer& interferer, double power, std::uint64_t seed) {
    const double amplitude = std::sqrt(2.0 * power * std::pow(10.0, interferer.db / 10.0));
    const std::vector<float> key =
        interferer.keyed ? keyingEnvelope(signal.size(), sampleRate, seed) : std::vector<float>{};
    const std::complex<double> step = std::polar(1.0, twoPi * interferer.hz / sampleRate);
    std::complex<double> phasor = 1.0;
    for (std::size_t n = 0; n < signal.size(); ++n) {
        signal[n] += amplitude * (interferer.keyed ? static_cast<double>(key[n]) : 1.0) * phasor;
        phasor *= step;
        if ((n & 4095) == 4095) {
            phasor /= std::abs(phasor);
        }
    }
}

void shiftByOscillator(std::span<std::complex<double>> signal, double sampleRate,
                       double driftHzPerMinute, double wobbleHz, double wobblePeriodS) {
    const double rate = driftHzPerMinute / 60.0; // hertz a second
    for (std::size_t n = 0; n < signal.size(); ++n) {
        const double t = static_cast<double>(n) / sampleRate;
        // The integral of rate * t + wobbleHz * sin(2 pi t / period).
        double cycles = 0.5 * rate * t * t;
        if (wobbleHz != 0.0 && wobblePeriodS > 0.0) {
            cycles +=
                wobbleHz * wobblePeriodS / twoPi * (1.0 - std::cos(twoPi * t / wobblePeriodS));
        }
        signal[n] *= std::polar(1.0, twoPi * (cycles - std::floor(cycles)));
    }
}

void addCrashes(std::span<double> signal, double sampleRate, double perSecond, double power,
                std::uint64_t seed) {
    if (!(perSecond > 0.0)) {
        return;
    }
    SplitMix64 rng(seed);
    GaussianNoise noise(seed ^ 0xd6e8feb86659fd93ULL);
    const double rms = std::sqrt(power);
    const double meanGap = sampleRate / perSecond;
    double at = -std::log(rng.uniformOpenZero()) * meanGap;
    while (at < static_cast<double>(signal.size())) {
        // A burst of noise 4 to 12 times the signal's amplitude, decaying within a few ms.
        const double peak = rms * (4.0 + 8.0 * rng.uniformOpenZero());
        const double decay = (1.0 + 4.0 * rng.uniformOpenZero()) * 1e-3 * sampleRate;
        const std::size_t start = static_cast<std::size_t>(floorToInt(at));
        const std::size_t length = static_cast<std::size_t>(floorToInt(6.0 * decay));
        for (std::size_t i = 0; i < length && start + i < signal.size(); ++i) {
            signal[start + i] += peak * std::exp(-static_cast<double>(i) / decay) * noise.next();
        }
        at += -std::log(rng.uniformOpenZero()) * meanGap;
    }
}

} // namespace nbtv
