#pragma once
// What happens to the signal between the transmitter and the sound card, as steps applied in
// order to the recorded samples: the propagation path (fading, a second path), an interfering
// carrier, the receiver's local oscillator (drift and wobble move every tone at once), white
// noise, static crashes, then the receiver's audio passband and its automatic gain control.
// Each step is off unless asked for; a seed makes every random step repeatable.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

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

// The mean power of a signal that comes a block at a time: what the levels the channel adds are
// relative to.
class PowerMeter {
  public:
    void add(std::span<const double> block);
    double mean() const;

  private:
    double sum_ = 0.0;
    std::uint64_t count_ = 0;
};

// The standard deviation of white noise that stands `snrDb` below a signal of mean `power`.
double noiseSigma(double power, double snrDb);

// The channel's steps on a signal of `length` samples recorded at `sampleRate` samples a second
// (the recording's own rate) that comes a block at a time, `power` being the mean power of the
// whole signal as sent. Any cut into blocks gives the same samples; the output runs a little
// behind the input (the analytic signal looks 127 samples ahead, the AGC settles on the first
// 64) until finish(). The frequency offset and the rate error belong to the signal's making
// and are not applied here.
class ChannelStream {
  public:
    ChannelStream(double sampleRate, const ChannelImpairments& channel, double power,
                  std::uint64_t length);
    ~ChannelStream();
    ChannelStream(const ChannelStream&) = delete;
    ChannelStream& operator=(const ChannelStream&) = delete;

    // Takes the next samples; appends those that have been through every step to `out`.
    void push(std::span<const double> in, std::vector<double>& out);
    // After the last sample: appends the rest.
    void finish(std::vector<double>& out);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Whether the channel changes the signal at all; whether it adds something whose level is
// relative to the signal's mean power.
bool channelChangesSignal(const ChannelImpairments& channel);
bool channelNeedsPower(const ChannelImpairments& channel);

// The same steps applied in place to a whole signal.
void applyChannel(std::span<double> signal, double sampleRate, const ChannelImpairments& channel);

} // namespace nbtv
