#pragma once
// The channel's steps between the transmitter and the receiver's filter that are not a filter:
// fading paths, an interfering carrier, the receiver's oscillator, static crashes. They act on
// the analytic signal (see AnalyticSignal.h) where the radio signal's phase matters. Each takes
// the signal a block at a time, in order from its first sample, and carries what it needs
// from one block to the next, so any cut into blocks gives the same samples.

#include <array>
#include <complex>
#include <cstdint>
#include <span>
#include <vector>

#include "tx/Channel.h"
#include "tx/Random.h"

namespace nbtv {

// A path's complex gain, mean power one: a sum of rotating phasors whose frequencies are drawn
// from the Gaussian Doppler spectrum.
class FadingGain {
  public:
    FadingGain(double dopplerHz, double sampleRate, std::uint64_t seed);
    std::complex<double> next();

  private:
    static constexpr std::size_t rays = 32;
    std::array<std::complex<double>, rays> phasor_{};
    std::array<std::complex<double>, rays> step_{};
    std::uint64_t count_ = 0;
};

// Replaces the signal by what the fading path(s) deliver.
class FadingPaths {
  public:
    FadingPaths(double sampleRate, const Fading& fading, std::uint64_t seed);
    void run(std::span<std::complex<double>> block);

  private:
    bool twoPath_;
    FadingGain first_;
    FadingGain second_;
    // The second path's delay, and the last that many samples as sent (zero before the first).
    std::size_t delay_;
    std::vector<std::complex<double>> sent_;
    std::vector<std::complex<double>> joined_;
};

// Random Morse at 20 words a minute: a dot of 60 ms, dashes of three, gaps of one between
// elements and three between letters, each edge shaped over 5 ms; one sample at a time.
class MorseKey {
  public:
    MorseKey(double sampleRate, std::uint64_t seed);
    float next();

  private:
    SplitMix64 rng_;
    std::int64_t unit_;
    std::int64_t at_ = 0;         // the next sample
    std::int64_t onUntil_ = 0;    // the current element is on before this sample
    std::int64_t elementEnd_ = 0; // and the next element starts here
    std::vector<double> kernel_;
    double total_ = 0.0;
    // The key (on or off) of the last kernel_.size() samples, twice over so that they always
    // stand in a row ending at last_ + kernel_.size().
    std::vector<float> recent_;
    std::size_t last_ = 0;
};

// Adds the interfering carrier, `power` being the signal's mean power.
class InterferingCarrier {
  public:
    InterferingCarrier(double sampleRate, const Interferer& interferer, double power,
                       std::uint64_t seed);
    void run(std::span<std::complex<double>> block);

  private:
    double amplitude_;
    bool keyed_;
    MorseKey key_;
    std::complex<double> step_;
    std::complex<double> phasor_ = 1.0;
    std::uint64_t n_ = 0;
};

// Moves every frequency by the oscillator's error at that moment.
class OscillatorError {
  public:
    OscillatorError(double sampleRate, double driftHzPerMinute, double wobbleHz,
                    double wobblePeriodS);
    void run(std::span<std::complex<double>> block);

  private:
    double sampleRate_;
    double rate_; // hertz a second
    double wobbleHz_;
    double wobblePeriodS_;
    std::uint64_t n_ = 0;
};

// Adds static crashes at random moments to a signal of `length` samples, `power` being the
// signal's mean power.
class StaticCrashes {
  public:
    StaticCrashes(double sampleRate, double perSecond, double power, std::uint64_t seed,
                  std::uint64_t length);
    void run(std::span<double> block);

  private:
    struct Burst {
        std::uint64_t start = 0;
        std::vector<double> values;
    };
    SplitMix64 rng_;
    GaussianNoise noise_;
    double rms_;
    double sampleRate_;
    double meanGap_;
    double at_; // when the next burst starts, in samples
    std::uint64_t length_;
    std::uint64_t n_ = 0;
    std::vector<Burst> bursts_; // begun and not yet over, in the order they began
};

} // namespace nbtv
