#include "tx/LiveTransmitter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/Conversions.h"
#include "tx/Channel.h"

namespace nbtv {

namespace {

constexpr double fullScale = 32767.0;
// What goes to the card at once: a stop is noticed between two of these.
constexpr int chunksPerSecond = 50;
constexpr int leadStepMs = 10;

// Releases the transmitter on every way out of transmitLive.
class KeyGuard {
  public:
    KeyGuard(KeyLine* line, const LiveObserver& observer) : line_(line), observer_(observer) {}
    KeyGuard(const KeyGuard&) = delete;
    KeyGuard& operator=(const KeyGuard&) = delete;
    ~KeyGuard() { release(); }

    bool press(std::string& error) {
        if (line_ != nullptr && !line_->key(true)) {
            error = line_->error();
            line_->key(false); // a line half switched is switched back
            return false;
        }
        keyed_ = true;
        if (observer_.keyed) {
            observer_.keyed(true);
        }
        return true;
    }

    // False, with `error` set, when the line did not let go.
    bool release(std::string* error = nullptr) {
        if (!keyed_) {
            return true;
        }
        keyed_ = false;
        bool released = true;
        if (line_ != nullptr && !line_->key(false)) {
            released = false;
            if (error != nullptr && error->empty()) {
                *error = line_->error();
            }
        }
        if (observer_.keyed) {
            observer_.keyed(false);
        }
        return released;
    }

  private:
    KeyLine* line_;
    const LiveObserver& observer_;
    bool keyed_ = false;
};

} // namespace

LiveResult transmitLive(const ReceiverProfile& profile, const LiveOptions& options,
                        PictureFeed& feed, SampleSink& sink, KeyLine* key,
                        const std::function<bool()>& stopRequested, const LiveObserver& observer) {
    if (!std::isfinite(options.levelDb) || options.levelDb > 0.0) {
        throw std::invalid_argument("the level must be at or below 0 dB full scale");
    }
    SignalGenerator generator(profile, options.mono, options.channel);
    LiveResult result;
    const auto stop = [&] {
        if (stopRequested && stopRequested()) {
            result.stopped = true;
        }
        return result.stopped;
    };

    RgbImage picture;
    if (!feed.next(picture)) {
        result.error = feed.error().empty() ? "no picture to send" : feed.error();
        return result;
    }
    std::vector<double> frame;
    generator.frame(picture, frame);

    // The level comes from the first frame: its peak, noise included, stands at the level asked
    // for; a later peak above it turns the level down, never up, so nothing clips.
    double sigma = 0.0;
    if (options.channel.snrDb) {
        PowerMeter power;
        power.add(frame);
        sigma = noiseSigma(power.mean(), *options.channel.snrDb);
    }
    GaussianNoise noise(options.channel.seed);
    const auto addNoise = [&](std::vector<double>& signal) {
        if (sigma > 0.0) {
            for (double& s : signal) {
                s += sigma * noise.next();
            }
        }
    };
    addNoise(frame);
    const double ceiling = fullScale * std::pow(10.0, options.levelDb / 20.0);
    double peak = 0.0;
    for (const double s : frame) {
        peak = std::max(peak, std::abs(s));
    }
    double gain = peak > 0.0 ? ceiling / peak : 0.0;

    KeyGuard guard(key, observer);
    if (stop()) {
        return result;
    }
    if (!guard.press(result.error)) {
        return result;
    }
    for (int waited = 0; waited < options.keyLeadMs; waited += leadStepMs) {
        if (stop()) {
            guard.release(&result.error);
            return result;
        }
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::min(leadStepMs, options.keyLeadMs - waited)));
    }

    const std::size_t chunk =
        static_cast<std::size_t>(std::max(1, profile.sampleRate / chunksPerSecond));
    std::vector<std::int16_t> out;
    bool ended = false;
    std::int64_t begun = 0;
    while (!ended && !stop()) {
        if (observer.frameStarted) {
            observer.frameStarted(picture, begun);
        }
        ++begun;
        std::size_t length = frame.size();
        if (options.samples) {
            length = static_cast<std::size_t>(std::clamp<std::int64_t>(
                *options.samples - result.samples, 0, static_cast<std::int64_t>(length)));
        }
        for (std::size_t at = 0; at < length && !stop(); at += chunk) {
            const std::size_t count = std::min(chunk, length - at);
            out.resize(count);
            for (std::size_t n = 0; n < count; ++n) {
                const double s = frame[at + n];
                if (std::abs(s) * gain > ceiling) {
                    gain = ceiling / std::abs(s);
                }
                out[n] =
                    static_cast<std::int16_t>(std::clamp(roundHalfEven(s * gain), -32767, 32767));
            }
            if (!sink.write(out)) {
                result.error = sink.error();
                ended = true;
                break;
            }
            result.samples += static_cast<std::int64_t>(count);
            if (observer.sent) {
                observer.sent(out);
            }
        }
        if (ended || result.stopped) {
            break;
        }
        if (options.samples && result.samples >= *options.samples) {
            break;
        }
        // The next picture, at the frame boundary.
        if (!feed.next(picture)) {
            result.error = feed.error();
            break;
        }
        frame.clear();
        generator.frame(picture, frame);
        addNoise(frame);
    }

    if (result.stopped || !result.error.empty()) {
        sink.discard();
    } else if (!sink.drain()) {
        result.error = sink.error();
    }
    result.underruns = sink.underruns();
    result.frames =
        framesInSignal(profile, options.mono, options.channel.rateError, result.samples);
    guard.release(&result.error);
    return result;
}

} // namespace nbtv
