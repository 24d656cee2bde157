#include "tx/Channel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <numbers>
#include <vector>

#include "tx/AnalyticSignal.h"
#include "tx/Propagation.h"
#include "tx/Random.h"

namespace nbtv {

namespace {

constexpr double twoPi = 2.0 * std::numbers::pi;

double meanPower(std::span<const double> signal) {
    double power = 0.0;
    for (double s : signal) {
        power += s * s;
    }
    return power / static_cast<double>(std::max<std::size_t>(signal.size(), 1));
}

void addNoise(std::span<double> signal, double power, double snrDb, std::uint64_t seed) {
    const double sigma = std::sqrt(power / std::pow(10.0, snrDb / 10.0));
    GaussianNoise noise(seed);
    for (double& s : signal) {
        s += sigma * noise.next();
    }
}

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

void filterPassband(std::span<double> signal, double sampleRate, const Passband& band) {
    // The two sections of a fourth-order Butterworth edge.
    constexpr std::array<double, 2> qs{0.54119610, 1.30656296};
    std::array<Biquad, 4> sections;
    for (std::size_t i = 0; i < 2; ++i) {
        sections[i] = section(band.lowHz, qs[i], sampleRate, true);
        sections[2 + i] =
            section(std::min(band.highHz, 0.45 * sampleRate), qs[i], sampleRate, false);
    }
    for (double& s : signal) {
        for (Biquad& b : sections) {
            s = b.run(s);
        }
    }
}

// A receiver's AGC: a peak follower that rises within a few milliseconds and decays over half a
// second, and a gain that holds the followed level at one.
void automaticGain(std::span<double> signal, double sampleRate) {
    const double attack = 1.0 - std::exp(-1.0 / (0.002 * sampleRate));
    const double decay = std::exp(-1.0 / (0.5 * sampleRate));
    double level = 0.0;
    for (double s : signal.first(std::min<std::size_t>(signal.size(), 64))) {
        level = std::max(level, std::abs(s)); // settled on the first moments
    }
    for (double& s : signal) {
        const double a = std::abs(s);
        level = a > level ? level + attack * (a - level) : level * decay;
        s = level > 0.0 ? s / std::max(level, 1e-12) : s;
    }
}

} // namespace

void applyChannel(std::span<double> signal, double sampleRate, const ChannelImpairments& channel) {
    // Levels of what is added are relative to the signal as sent.
    const double power = meanPower(signal);
    // Each random step draws from its own stream; the noise keeps the seed itself.
    SplitMix64 seeds(channel.seed);
    const std::uint64_t fadingSeed = seeds.next();
    const std::uint64_t interfererSeed = seeds.next();
    const std::uint64_t crashSeed = seeds.next();
    const bool oscillator = channel.driftHzPerMinute != 0.0 || channel.wobbleHz != 0.0;
    if (channel.fading || channel.interferer || oscillator) {
        std::vector<std::complex<double>> radio = analyticSignal(signal);
        if (channel.fading) {
            applyFading(radio, sampleRate, *channel.fading, fadingSeed);
        }
        if (channel.interferer) {
            addInterferer(radio, sampleRate, *channel.interferer, power, interfererSeed);
        }
        if (oscillator) {
            shiftByOscillator(radio, sampleRate, channel.driftHzPerMinute, channel.wobbleHz,
                              channel.wobblePeriodS);
        }
        for (std::size_t n = 0; n < signal.size(); ++n) {
            signal[n] = radio[n].real();
        }
    }
    if (channel.snrDb) {
        addNoise(signal, power, *channel.snrDb, channel.seed);
    }
    if (channel.crashesPerSecond > 0.0) {
        addCrashes(signal, sampleRate, channel.crashesPerSecond, power, crashSeed);
    }
    if (channel.passband) {
        filterPassband(signal, sampleRate, *channel.passband);
    }
    if (channel.agc) {
        automaticGain(signal, sampleRate);
    }
}

} // namespace nbtv
