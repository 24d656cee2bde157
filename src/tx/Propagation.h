#pragma once
// The channel's steps between the transmitter and the receiver's filter that are not a filter:
// fading paths, an interfering carrier, the receiver's oscillator, static crashes. They act on
// the analytic signal (see AnalyticSignal.h) where the radio signal's phase matters.

#include <complex>
#include <cstdint>
#include <span>

#include "tx/Channel.h"

namespace nbtv {

// Replaces the signal by what the fading path(s) deliver.
void applyFading(std::span<std::complex<double>> signal, double sampleRate, const Fading& fading,
                 std::uint64_t seed);

// Adds the interfering carrier, `power` being the signal's mean power.
void addInterferer(std::span<std::complex<double>> signal, double sampleRate,
                   const Interferer& interferer, double power, std::uint64_t seed);

// Moves every frequency by the oscillator's error at that moment.
void shiftByOscillator(std::span<std::complex<double>> signal, double sampleRate,
                       double driftHzPerMinute, double wobbleHz, double wobblePeriodS);

// Adds static crashes at random moments, `power` being the signal's mean power.
void addCrashes(std::span<double> signal, double sampleRate, double perSecond, double power,
                std::uint64_t seed);

} // namespace nbtv
