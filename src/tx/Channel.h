#pragma once
// What happens to the signal between the transmitter and the sound card, as steps applied in
// order to the recorded samples: white noise on the path, then the receiver's audio passband,
// then its automatic gain control. Each step is off unless asked for; a seed makes every
// random step repeatable.

#include <cstdint>
#include <optional>
#include <span>

namespace nbtv {

// The receiver's audio filter: fourth-order Butterworth edges at lowHz and highHz.
struct Passband {
    double lowHz = 300.0;
    double highHz = 2700.0;
};

struct ChannelImpairments {
    std::optional<double> snrDb;    // white noise at this signal-to-noise ratio; none if empty
    double frequencyOffsetHz = 0.0; // every tone moved by this many hertz
    double rateError = 0.0;         // the recording runs at sampleRate * (1 - rateError)
    std::optional<Passband> passband;
    bool agc = false;       // the receiver's automatic gain control after the passband
    std::uint64_t seed = 1; // noise seed: the same seed gives the same file
};

// Applies the channel's steps in place to a signal recorded at `sampleRate` samples a second
// (the recording's own rate). The frequency offset and the rate error belong to the signal's
// making and are not applied here.
void applyChannel(std::span<double> signal, double sampleRate, const ChannelImpairments& channel);

} // namespace nbtv
