#pragma once
// The live transmitter: pictures go on air one frame at a time, paced by the sound card they are
// written to, with the transmitter keyed before the first sample and released after the last
// has left the card, on every way out. The tool and the window both send through it; the card,
// the key and where the pictures come from stand behind small interfaces.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "picture/RgbImage.h"
#include "profiles/ReceiverProfile.h"
#include "tx/Transmitter.h"

namespace nbtv {

// Where the live signal goes: a sound card's output, which takes samples at its own pace.
class SampleSink {
  public:
    virtual ~SampleSink() = default;
    // Blocks until every sample is queued for the card; false on a failure (error() says why).
    virtual bool write(std::span<const std::int16_t> samples) = 0;
    // Blocks until what was written has been played.
    virtual bool drain() = 0;
    // Drops what is queued and not yet played.
    virtual void discard() = 0;
    // How often the card ran out of samples while sending.
    virtual std::uint64_t underruns() const { return 0; }
    virtual std::string error() const { return {}; }
};

// The transmitter's push-to-talk line.
class KeyLine {
  public:
    virtual ~KeyLine() = default;
    // Keys (true) or releases (false) the transmitter; false on a failure (error() says why).
    virtual bool key(bool on) = 0;
    virtual std::string error() const { return {}; }
};

// The picture of each frame, asked for at every frame boundary.
class PictureFeed {
  public:
    virtual ~PictureFeed() = default;
    // The next frame's picture (pictureColumns x pictureLines); false at the feed's end, or on
    // a failure (error() then says why).
    virtual bool next(RgbImage& picture) = 0;
    virtual std::string error() const { return {}; }
};

struct LiveOptions {
    bool mono = false;
    ChannelImpairments channel;
    double levelDb = -3.0; // the peak, below full scale
    int keyLeadMs = 0;     // between keying and the first sample
    // Where to end: after this many samples (signalSamples() of a number of frames, or seconds
    // times the rate); without it, at the feed's end or a stop.
    std::optional<std::int64_t> samples;
};

struct LiveObserver {
    // A frame goes on air with this picture; `frame` counts from 0.
    std::function<void(const RgbImage& picture, std::int64_t frame)> frameStarted;
    // Samples as they go to the card (what a recording of the transmission holds).
    std::function<void(std::span<const std::int16_t> samples)> sent;
    // The key changed (after the line did).
    std::function<void(bool keyed)> keyed;
};

struct LiveResult {
    std::int64_t frames = 0;  // whole frames' worth of samples sent
    std::int64_t samples = 0; // samples written to the card
    std::uint64_t underruns = 0;
    bool stopped = false; // ended by a stop request
    std::string error;    // empty unless the sending failed
};

// Sends the feed's pictures live until the end, a failure or until `stopRequested` holds
// (checked at least every few hundredths of a second: what is queued is then dropped). `key`
// may be null. The transmitter is released on every way out, an exception included. Throws
// std::invalid_argument for options the profile cannot send, before keying.
LiveResult transmitLive(const ReceiverProfile& profile, const LiveOptions& options,
                        PictureFeed& feed, SampleSink& sink, KeyLine* key,
                        const std::function<bool()>& stopRequested,
                        const LiveObserver& observer = {});

} // namespace nbtv
