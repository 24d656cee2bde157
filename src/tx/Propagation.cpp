#include "tx/Propagation.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>

#include "core/Conversions.h"

namespace nbtv {

namespace {

constexpr double twoPi = 2.0 * std::numbers::pi;

} // namespace

FadingGain::FadingGain(double dopplerHz, double sampleRate, std::uint64_t seed) {
    GaussianNoise frequencies(seed);
    SplitMix64 phases(seed ^ 0x5bd1e995ULL);
    for (std::size_t k = 0; k < rays; ++k) {
        const double hz = 0.5 * dopplerHz * frequencies.next();
        step_[k] = std::polar(1.0, twoPi * hz / sampleRate);
        phasor_[k] = std::polar(1.0 / std::sqrt(double(rays)), twoPi * phases.uniformOpenZero());
    }
}

std::complex<double> FadingGain::next() {
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

FadingPaths::FadingPaths(double sampleRate, const Fading& fading, std::uint64_t seed)
    : twoPath_(fading.kind == Fading::Kind::TwoPath), first_(fading.dopplerHz, sampleRate, seed),
      second_(fading.dopplerHz, sampleRate, seed ^ 0x9e3779b97f4a7c15ULL),
      delay_(static_cast<std::size_t>(
          std::max<std::int64_t>(0, roundHalfEven(fading.delayMs * 1e-3 * sampleRate)))),
      sent_(twoPath_ ? delay_ : 0, std::complex<double>(0.0)) {}

void FadingPaths::run(std::span<std::complex<double>> block) {
    if (!twoPath_) {
        for (std::complex<double>& s : block) {
            s *= first_.next();
        }
        return;
    }
    // The samples as sent, the last delay_ of the blocks before first.
    joined_.assign(sent_.begin(), sent_.end());
    joined_.insert(joined_.end(), block.begin(), block.end());
    const double half = std::sqrt(0.5);
    for (std::size_t n = 0; n < block.size(); ++n) {
        const std::complex<double> early = first_.next();
        const std::complex<double> late = second_.next();
        block[n] = half * (early * block[n] + late * joined_[n]);
    }
    sent_.assign(joined_.end() - static_cast<std::ptrdiff_t>(delay_), joined_.end());
}

MorseKey::MorseKey(double sampleRate, std::uint64_t seed)
    : rng_(seed), unit_(std::max<std::int64_t>(1, floorToInt(0.060 * sampleRate))) {
    const std::size_t edge =
        static_cast<std::size_t>(std::max<std::int64_t>(1, floorToInt(0.005 * sampleRate)));
    kernel_.resize(edge);
    for (std::size_t i = 0; i < edge; ++i) {
        kernel_[i] =
            1.0 - std::cos(twoPi * (static_cast<double>(i) + 0.5) / static_cast<double>(edge));
        total_ += kernel_[i];
    }
    recent_.assign(2 * edge, 0.0f); // off before the first sample
}

float MorseKey::next() {
    while (at_ >= elementEnd_) {
        const std::uint64_t draw = rng_.next();
        const std::int64_t on = (draw & 1) ? 3 * unit_ : unit_;
        const std::int64_t off = (draw & 6) == 6 ? 3 * unit_ : unit_;
        onUntil_ = elementEnd_ + on;
        elementEnd_ += on + off;
    }
    const std::size_t edge = kernel_.size();
    const float key = at_ < onUntil_ ? 1.0f : 0.0f;
    recent_[last_] = key;
    recent_[last_ + edge] = key;
    // Shape the edges with a raised cosine over 5 ms.
    double sum = 0.0;
    const float* newest = recent_.data() + last_ + edge;
    for (std::size_t k = 0; k < edge; ++k) {
        sum += kernel_[k] * *(newest - k);
    }
    last_ = last_ + 1 == edge ? 0 : last_ + 1;
    ++at_;
    return static_cast<float>(sum / total_);
}

InterferingCarrier::InterferingCarrier(double sampleRate, const Interferer& interferer,
                                       double power, std::uint64_t seed)
    : amplitude_(std::sqrt(2.0 * power * std::pow(10.0, interferer.db / 10.0))),
      keyed_(interferer.keyed), key_(sampleRate, seed),
      step_(std::polar(1.0, twoPi * interferer.hz / sampleRate)) {}

void InterferingCarrier::run(std::span<std::complex<double>> block) {
    for (std::complex<double>& s : block) {
        s += amplitude_ * (keyed_ ? static_cast<double>(key_.next()) : 1.0) * phasor_;
        phasor_ *= step_;
        if ((n_ & 4095) == 4095) {
            phasor_ /= std::abs(phasor_);
        }
        ++n_;
    }
}

OscillatorError::OscillatorError(double sampleRate, double driftHzPerMinute, double wobbleHz,
                                 double wobblePeriodS)
    : sampleRate_(sampleRate), rate_(driftHzPerMinute / 60.0), wobbleHz_(wobbleHz),
      wobblePeriodS_(wobblePeriodS) {}

void OscillatorError::run(std::span<std::complex<double>> block) {
    for (std::complex<double>& s : block) {
        const double t = static_cast<double>(n_++) / sampleRate_;
        // The integral of rate * t + wobbleHz * sin(2 pi t / period).
        double cycles = 0.5 * rate_ * t * t;
        if (wobbleHz_ != 0.0 && wobblePeriodS_ > 0.0) {
            cycles +=
                wobbleHz_ * wobblePeriodS_ / twoPi * (1.0 - std::cos(twoPi * t / wobblePeriodS_));
        }
        s *= std::polar(1.0, twoPi * (cycles - std::floor(cycles)));
    }
}

StaticCrashes::StaticCrashes(double sampleRate, double perSecond, double power, std::uint64_t seed,
                             std::uint64_t length)
    : rng_(seed), noise_(seed ^ 0xd6e8feb86659fd93ULL), rms_(std::sqrt(power)),
      sampleRate_(sampleRate), meanGap_(sampleRate / perSecond),
      at_(-std::log(rng_.uniformOpenZero()) * meanGap_), length_(length) {}

void StaticCrashes::run(std::span<double> block) {
    const std::uint64_t end = n_ + block.size();
    // Every burst that begins before the block's end, each with all its noise drawn in turn.
    while (at_ < static_cast<double>(length_)) {
        const auto start = static_cast<std::uint64_t>(floorToInt(at_));
        if (start >= end) {
            break;
        }
        // A burst of noise 4 to 12 times the signal's amplitude, decaying within a few ms.
        const double peak = rms_ * (4.0 + 8.0 * rng_.uniformOpenZero());
        const double decay = (1.0 + 4.0 * rng_.uniformOpenZero()) * 1e-3 * sampleRate_;
        const std::size_t length = static_cast<std::size_t>(floorToInt(6.0 * decay));
        Burst burst;
        burst.start = start;
        burst.values.resize(std::min<std::uint64_t>(length, length_ - start));
        for (std::size_t i = 0; i < burst.values.size(); ++i) {
            burst.values[i] = peak * std::exp(-static_cast<double>(i) / decay) * noise_.next();
        }
        bursts_.push_back(std::move(burst));
        at_ += -std::log(rng_.uniformOpenZero()) * meanGap_;
    }
    // Added burst after burst, as they began.
    for (const Burst& b : bursts_) {
        const std::uint64_t from = std::max(b.start, n_);
        const std::uint64_t to = std::min<std::uint64_t>(b.start + b.values.size(), end);
        for (std::uint64_t j = from; j < to; ++j) {
            block[j - n_] += b.values[j - b.start];
        }
    }
    std::erase_if(bursts_, [&](const Burst& b) { return b.start + b.values.size() <= end; });
    n_ = end;
}

} // namespace nbtv
