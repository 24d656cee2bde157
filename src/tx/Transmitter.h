#pragma once
// The transmitter: pictures to the multicarrier signal a receiver of the profile expects, with
// channel impairments for testing.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "picture/RgbImage.h"
#include "profiles/ReceiverProfile.h"
#include "tx/Channel.h"
#include "tx/Random.h"

namespace nbtv {

struct TransmitOptions {
    bool mono = false;
    int frames = 1;
    ChannelImpairments channel;
};

// Output samples of `frames` frames at the recording rate (1 - rateError) times the nominal
// one: what transmit() gives.
std::int64_t signalSamples(const ReceiverProfile& profile, bool mono, double rateError, int frames);
// Whole frames in `samples` output samples: the N of signalSamples() for N frames.
std::int64_t framesInSignal(const ReceiverProfile& profile, bool mono, double rateError,
                            std::int64_t samples);

// Samples before a frame's start at which a receiver started on a file's first sample has its
// first frame filled exactly by the transmitted frame.
inline constexpr double receiverFrameLead = 555.0;

// Level L (0..255) to the tone's deviation from its bin centre, in bins: the receiver shows L
// with its starting brightness and contrast (see picture/DisplayLevel.h).
double deviationForLevel(double level);

// The clean signal (every line tone and the pilots, unit amplitude each) one frame after
// another, each with its own picture: every tone keeps its phase across each column and each
// frame, so a new picture at a frame boundary makes no click. The first sample stands
// receiverFrameLead samples into the first frame, as in transmit().
class SignalGenerator {
  public:
    // Throws std::invalid_argument when the profile cannot send (mono, or the channel puts a
    // tone outside the band).
    SignalGenerator(const ReceiverProfile& profile, bool mono, const ChannelImpairments& channel);
    ~SignalGenerator();
    SignalGenerator(SignalGenerator&&) noexcept;
    SignalGenerator& operator=(SignalGenerator&&) noexcept;

    // Appends the samples of the next frame, sending `picture` (pictureColumns x pictureLines;
    // std::invalid_argument otherwise).
    void frame(const RgbImage& picture, std::vector<double>& out);
    // Frames and output samples sent so far.
    std::int64_t frames() const;
    std::int64_t samples() const;
    // Nominal samples of one frame (before any rate error).
    std::int64_t frameSamples() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// The signal transmitSequence() gives, a piece at a time, in memory that does not grow with its
// length: the same samples, bit for bit. The levels the channel adds are relative to the clean
// signal's mean power and the output is scaled to its peak, so the signal is made more than
// once (the making is deterministic): a pass that measures the mean power when the channel
// needs it, one that measures the peak, and the one that gives the samples.
class TransmitStream {
  public:
    // `pictures` must outlive the stream. Throws std::invalid_argument as transmitSequence().
    TransmitStream(const ReceiverProfile& profile, const std::vector<RgbImage>& pictures,
                   const TransmitOptions& options);
    ~TransmitStream();
    TransmitStream(const TransmitStream&) = delete;
    TransmitStream& operator=(const TransmitStream&) = delete;

    // Output samples in all.
    std::int64_t samples() const;
    // Appends the next samples (about a frame's worth) to `out`; false when all have been given.
    bool next(std::vector<std::int16_t>& out);

  private:
    class Pass;
    std::unique_ptr<Pass> pass_;
    std::int64_t total_ = 0;
    double scale_ = 0.0;
    std::vector<double> piece_;
};

// The signal of `options.frames` frames of `picture` (pictureColumns x pictureLines of the
// profile), as 16-bit samples at the profile's rate (times 1 - rateError), starting so that a
// receiver started on the first sample shows the right colours without a click.
std::vector<std::int16_t> transmit(const ReceiverProfile& profile, const RgbImage& picture,
                                   const TransmitOptions& options);

// The same with a picture a frame: frame f sends pictures[f % pictures.size()], so a moving
// picture goes on air one frame at a time. One picture gives exactly what transmit gives.
std::vector<std::int16_t> transmitSequence(const ReceiverProfile& profile,
                                           const std::vector<RgbImage>& pictures,
                                           const TransmitOptions& options);

} // namespace nbtv
