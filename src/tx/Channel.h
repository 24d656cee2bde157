#pragma once
// What happens to the signal between the transmitter and the sound card, as steps applied in
// order to the recorded samples: the propagation path (fading, a second path), an interfering
// carrier, the receiver's local oscillator (drift and wobble move every tone at once), white
// noise, static crashes, then the receiver's audio passband and its automatic gain control.
// Each step is off unless asked for; a seed makes every random step repeatable.

#include <cstdint>
#include <optional>
#include <span>

namespace nbtv {

// The receiver's audio filter: fourth-order Butterworth edges at lowHz and highHz.
struct Passband {
    double lowHz = 300.0;
    double highHz = 2700.0;
};

// Fading as the ionosphere gives it: the carrier's amplitude and phase wander with a Gaussian
// Doppler spectrum `dopplerHz` wide (twice its standard deviation). Flat fading moves the whole
// signal; two-path fading adds a second path `delayMs` later, each path with half the power and
// fading on its own.
struct Fading {
    enum class Kind { Flat, TwoPath };
    Kind kind = Kind::TwoPath;
    double delayMs = 1.0;
    double dopplerHz = 0.5;
};

// A carrier inside the receiver's band, `db` relative to the signal's power; keyed carriers
// send random Morse at 20 words a minute.
struct Interferer {
    double hz = 1000.0;
    double db = 0.0;
    bool keyed = false;
};

struct ChannelImpairments {
    std::optional<double> snrDb;    // white noise at this signal-to-noise ratio; none if empty
    double frequencyOffsetHz = 0.0; // every tone moved by this many hertz
    double rateError = 0.0;         // the recording runs at sampleRate * (1 - rateError)
    std::optional<Passband> passband{};
    bool agc = false; // the receiver's automatic gain control after the passband
    std::optional<Fading> fading{};
    std::optional<Interferer> interferer{};
    double driftHzPerMinute = 0.0; // the receiver's oscillator moving steadily
    double wobbleHz = 0.0;         // and swinging by this peak deviation
    double wobblePeriodS = 10.0;   // over this period
    double crashesPerSecond = 0.0; // static crashes at random moments
    std::uint64_t seed = 1;        // noise seed: the same seed gives the same file
};

// Applies the channel's steps in place to a signal recorded at `sampleRate` samples a second
// (the recording's own rate). The frequency offset and the rate error belong to the signal's
// making and are not applied here.
void applyChannel(std::span<double> signal, double sampleRate, const ChannelImpairments& channel);

} // namespace nbtv
