#include "tx/Channel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <memory>
#include <numbers>
#include <optional>
#include <vector>

#include "tx/AnalyticSignal.h"
#include "tx/Propagation.h"
#include "tx/Random.h"

namespace nbtv {

namespace {

constexpr double twoPi = 2.0 * std::numbers::pi;

// One second-order section (transposed direct form II), from the bilinear transform.
struct Biquad {
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
    double z1 = 0.0, z2 = 0.0;

    double run(double x) {
        const double y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }
};

Biquad section(double cornerHz, double q, double sampleRate, bool highPass) {
    const double w = twoPi * cornerHz / sampleRate;
    const double alpha = std::sin(w) / (2.0 * q);
    const double c = std::cos(w);
    const double a0 = 1.0 + alpha;
    Biquad s;
    const double edge = highPass ? (1.0 + c) / 2.0 : (1.0 - c) / 2.0;
    s.b0 = edge / a0;
    s.b1 = (highPass ? -2.0 * edge : 2.0 * edge) / a0;
    s.b2 = edge / a0;
    s.a1 = -2.0 * c / a0;
    s.a2 = (1.0 - alpha) / a0;
    return s;
}

std::array<Biquad, 4> passbandSections(double sampleRate, const Passband& band) {
    // The two sections of a fourth-order Butterworth edge.
    constexpr std::array<double, 2> qs{0.54119610, 1.30656296};
    std::array<Biquad, 4> sections;
    for (std::size_t i = 0; i < 2; ++i) {
        sections[i] = section(band.lowHz, qs[i], sampleRate, true);
        sections[2 + i] =
            section(std::min(band.highHz, 0.45 * sampleRate), qs[i], sampleRate, false);
    }
    return sections;
}

// A receiver's AGC: a peak follower that rises within a few milliseconds and decays over half a
// second, and a gain that holds the followed level at one.
class AutomaticGain {
  public:
    explicit AutomaticGain(double sampleRate)
        : attack_(1.0 - std::exp(-1.0 / (0.002 * sampleRate))),
          decay_(std::exp(-1.0 / (0.5 * sampleRate))) {}

    void run(std::span<const double> in, std::vector<double>& out) {
        if (settled_) {
            apply(in, out);
            return;
        }
        first_.insert(first_.end(), in.begin(), in.end());
        if (first_.size() >= settling) {
            settle(out);
        }
    }

    void finish(std::vector<double>& out) {
        if (!settled_) {
            settle(out);
        }
    }

  private:
    static constexpr std::size_t settling = 64;

    void settle(std::vector<double>& out) {
        for (std::size_t i = 0; i < std::min(first_.size(), settling); ++i) {
            level_ = std::max(level_, std::abs(first_[i])); // settled on the first moments
        }
        settled_ = true;
        apply(first_, out);
        first_ = {};
    }

    void apply(std::span<const double> in, std::vector<double>& out) {
        for (double s : in) {
            const double a = std::abs(s);
            level_ = a > level_ ? level_ + attack_ * (a - level_) : level_ * decay_;
            out.push_back(level_ > 0.0 ? s / std::max(level_, 1e-12) : s);
        }
    }

    double attack_;
    double decay_;
    double level_ = 0.0;
    bool settled_ = false;
    std::vector<double> first_; // the samples before it has settled
};

} // namespace

void PowerMeter::add(std::span<const double> block) {
    for (double s : block) {
        sum_ += s * s;
    }
    count_ += block.size();
}

double PowerMeter::mean() const {
    return sum_ / static_cast<double>(std::max<std::uint64_t>(count_, 1));
}

double noiseSigma(double power, double snrDb) {
    return std::sqrt(power / std::pow(10.0, snrDb / 10.0));
}

bool channelChangesSignal(const ChannelImpairments& channel) {
    return channel.fading || channel.interferer || channel.driftHzPerMinute != 0.0 ||
           channel.wobbleHz != 0.0 || channel.snrDb || channel.crashesPerSecond > 0.0 ||
           channel.passband || channel.agc;
}

bool channelNeedsPower(const ChannelImpairments& channel) {
    return channel.snrDb || channel.interferer || channel.crashesPerSecond > 0.0;
}

struct ChannelStream::State {
    std::optional<AnalyticSignal> analytic;
    std::optional<FadingPaths> fading;
    std::optional<InterferingCarrier> interferer;
    std::optional<OscillatorError> oscillator;
    std::optional<GaussianNoise> noise;
    double sigma = 0.0;
    std::optional<StaticCrashes> crashes;
    std::optional<std::array<Biquad, 4>> passband;
    std::optional<AutomaticGain> agc;
    std::vector<std::complex<double>> radio;
    std::vector<double> block;

    // The steps on the radio signal, then on the audio, of what push() or finish() gave.
    void steps(std::vector<double>& out) {
        if (analytic) {
            if (fading) {
                fading->run(radio);
            }
            if (interferer) {
                interferer->run(radio);
            }
            if (oscillator) {
                oscillator->run(radio);
            }
            block.resize(radio.size());
            for (std::size_t n = 0; n < radio.size(); ++n) {
                block[n] = radio[n].real();
            }
            radio.clear();
        }
        if (noise) {
            for (double& s : block) {
                s += sigma * noise->next();
            }
        }
        if (crashes) {
            crashes->run(block);
        }
        if (passband) {
            for (double& s : block) {
                for (Biquad& b : *passband) {
                    s = b.run(s);
                }
            }
        }
        if (agc) {
            agc->run(block, out);
        } else {
            out.insert(out.end(), block.begin(), block.end());
        }
        block.clear();
    }
};

ChannelStream::ChannelStream(double sampleRate, const ChannelImpairments& channel, double power,
                             std::uint64_t length)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    // Each random step draws from its own stream; the noise keeps the seed itself.
    SplitMix64 seeds(channel.seed);
    const std::uint64_t fadingSeed = seeds.next();
    const std::uint64_t interfererSeed = seeds.next();
    const std::uint64_t crashSeed = seeds.next();
    const bool oscillator = channel.driftHzPerMinute != 0.0 || channel.wobbleHz != 0.0;
    if (channel.fading || channel.interferer || oscillator) {
        s.analytic.emplace();
    }
    if (channel.fading) {
        s.fading.emplace(sampleRate, *channel.fading, fadingSeed);
    }
    if (channel.interferer) {
        s.interferer.emplace(sampleRate, *channel.interferer, power, interfererSeed);
    }
    if (oscillator) {
        s.oscillator.emplace(sampleRate, channel.driftHzPerMinute, channel.wobbleHz,
                             channel.wobblePeriodS);
    }
    if (channel.snrDb) {
        s.sigma = noiseSigma(power, *channel.snrDb);
        s.noise.emplace(channel.seed);
    }
    if (channel.crashesPerSecond > 0.0) {
        s.crashes.emplace(sampleRate, channel.crashesPerSecond, power, crashSeed, length);
    }
    if (channel.passband) {
        s.passband = passbandSections(sampleRate, *channel.passband);
    }
    if (channel.agc) {
        s.agc.emplace(sampleRate);
    }
}

ChannelStream::~ChannelStream() = default;

void ChannelStream::push(std::span<const double> in, std::vector<double>& out) {
    State& s = *state_;
    if (s.analytic) {
        s.analytic->push(in, s.radio);
    } else {
        s.block.assign(in.begin(), in.end());
    }
    s.steps(out);
}

void ChannelStream::finish(std::vector<double>& out) {
    State& s = *state_;
    if (s.analytic) {
        s.analytic->finish(s.radio);
    }
    s.steps(out);
    if (s.agc) {
        s.agc->finish(out);
    }
}

void applyChannel(std::span<double> signal, double sampleRate, const ChannelImpairments& channel) {
    // Levels of what is added are relative to the signal as sent.
    PowerMeter power;
    power.add(signal);
    ChannelStream stream(sampleRate, channel, power.mean(), signal.size());
    std::vector<double> out;
    out.reserve(signal.size());
    stream.push(signal, out);
    stream.finish(out);
    std::copy(out.begin(), out.end(), signal.begin());
}

} // namespace nbtv
