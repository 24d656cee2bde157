#pragma once
// Measures the sound card's rate from the pilot's swing: the transmitter swings the pilot with a
// fixed period of 2457.6 samples on air, so the period the recording shows gives the ratio of
// the card's rate to the nominal one. A measure of the swing (the pilot's phase or its
// discriminator value) is kept with its times in recorded samples and a weight, in groups; each
// group's weighted fit of a sinusoid at a reference frequency, beside a constant and a slope,
// gives a phase that drifts in proportion to the reference's error.

#include <complex>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "profiles/ReceiverProfile.h"

namespace nbtv {

struct SwingEstimate {
    bool valid = false;
    double rate = 1.0;          // r: tone k arrives at r k bins; recorded period 2457.6 / r
    double standardError = 0.0; // of rate
    int groups = 0;
};

class PilotSwing {
  public:
    static constexpr double period = pilotSwingPeriod;

    explicit PilotSwing(std::size_t maxGroups = 64) : maxGroups_(maxGroups) {}

    // `weight`: how far the value is to be trusted, the pilot's power where it was measured (the
    // phase is noisiest, and a fading channel's delay strays most, where the pilot fades).
    void add(double time, double value, double weight = 1.0);
    // Closes the current group (values after it begin the next one).
    void closeGroup();
    void clear();

    // The rate, starting from the reference guess `rate` (within a few percent).
    SwingEstimate estimate(double rate) const;
    double span() const; // recorded samples from the first to the last kept value

  private:
    struct Group {
        std::vector<double> time;
        std::vector<double> value;
        std::vector<double> weight;
    };
    // The group's sinusoid at v0 and the summed weight of the values it kept.
    static std::complex<double> groupPhasor(const Group& g, double v0, double& kept);
    SwingEstimate estimateAt(double rate) const;

    std::size_t maxGroups_;
    std::deque<Group> groups_;
    Group open_;
};

// The pilot's phase, taken straight from the recording: mixed down by the pilot's expected
// frequency and filtered by a 1024-sample Hann window every 64 samples. The window passes the
// swing's sidebands (0.1 bin from the pilot) and nulls the neighbouring bins' centres, so the
// neighbouring lines' tones, whatever picture they carry, leak in below -40 dB. Given a quiet
// frequency beyond the comb, the same window there shows static crashes: while one stands out
// there the pilot's phase is followed on but not given out. Each phase goes out weighted by the
// pilot's power, and deep in a fade none does: there the channel's phase may turn by a whole
// turn in a few steps, which as a step in the phase would stand in every later value, so the
// phase goes on at the frequency it had before the fade. The phase's steps from one window to
// the next (the pilot's frequency) may go out as well, weighted by the power of both windows:
// the swing measured from them is less precise on a steady channel, but a slowly turning phase
// (a fading channel, a drifting radio) moves them far less.
class PilotPhase {
  public:
    static constexpr int windowLength = 1024;
    static constexpr int step = 64;

    // `quietCycles`: a frequency no tone uses, cycles a sample (0: none).
    explicit PilotPhase(double quietCycles = 0.0);
    // The samples that follow the previous ones, mixed by `cycles` per sample (the pilot's
    // frequency in the recording); each phase goes to `out` with its time, and each step of it
    // to `steps` when given.
    void add(std::span<const std::int16_t> samples, double cycles, PilotSwing& out,
             PilotSwing* steps = nullptr);

  private:
    // Whether a crash shares the window that begins at sample `first` (the pilot's magnitude
    // there given); follows the quiet frequency's usual level.
    bool crashInWindow(long first, double pilot);

    std::vector<double> window_;
    std::vector<std::complex<double>> ring_;
    long count_ = 0;
    double mixPhase_ = 0.0;
    double quietCycles_;
    std::vector<std::complex<double>> quietRing_;
    double quietPhase_ = 0.0;
    double quietLevel_ = 0.0; // the quiet frequency's usual magnitude, followed slowly
    std::complex<double> previous_{};
    double unwrapped_ = 0.0;
    double lastTurn_ = 0.0;   // the phase's last step outside a deep fade
    double pilotLevel_ = 0.0; // the pilot's usual power, followed slowly
    bool previousCrash_ = false;
    bool started_ = false;
};

} // namespace nbtv
