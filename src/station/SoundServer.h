#pragma once
// The sound server (PulseAudio, or PipeWire's Pulse layer) through libpulse, without Qt: one
// connection (a main-loop thread of libpulse's with a context in it), the devices it lists, and
// playback to an output for the live transmitter. A connection whose server has gone is
// replaced by a new one at the next use, so a restarted server is found again.

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tx/LiveTransmitter.h"

namespace nbtv {

// A server's answer that has not come within this is taken as gone.
inline constexpr pa_usec_t answerTimeoutUs = 5'000'000;

struct SoundDevice {
    std::string name;        // the server's name, to connect to
    std::string description; // what a device list shows
};

class ServerConnection {
  public:
    ServerConnection() = default;
    ~ServerConnection() { drop(); }
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    bool ready() const;
    // Replaces the connection by a new one; false when the server cannot be reached.
    bool connect(const std::string& clientName);
    // Every stream of the connection must be gone before it is dropped.
    void drop();

    // The sources that record (monitors of outputs left out), in the server's order; empty
    // without a connection.
    std::vector<SoundDevice> sources();
    // The outputs, in the server's order.
    std::vector<SoundDevice> sinks();
    // Loads a module of the server; false when it would not load.
    bool loadModule(const std::string& module, const std::string& arguments);

    // With the loop locked: waits until `done` holds or the time is up; whether it holds.
    template <class Done>
    bool waitFor(Done done, pa_usec_t timeoutUs) {
        Deadline deadline{loop_};
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
        struct timeval when {};
        pa_timeval_add(pa_gettimeofday(&when), timeoutUs);
        pa_time_event* event = api->time_new(api, &when, onDeadline, &deadline);
        while (!done() && !deadline.passed) {
            pa_threaded_mainloop_wait(loop_);
        }
        api->time_free(event);
        return done();
    }
    // With the loop locked: waits until a just-connected `stream` is ready or has failed;
    // the device it reached, empty when it is not ready.
    std::string awaitStream(pa_stream* stream);
    // With the loop locked: waits for `operation` and lets it go; whether it finished in time.
    bool finish(pa_operation* operation, pa_usec_t timeoutUs = answerTimeoutUs);

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return context_; }
    // The server's last error, in words (without a connection: why connecting failed).
    std::string lastError() const;

  private:
    struct Deadline {
        pa_threaded_mainloop* loop = nullptr;
        bool passed = false;
    };
    static void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::string connectError_; // why the last connect failed
};

// Playback of 16-bit mono to one output, paced by the card: write() blocks while the server's
// buffer is full.
class PlaybackSink final : public SampleSink {
  public:
    explicit PlaybackSink(std::string clientName) : client_(std::move(clientName)) {}
    ~PlaybackSink() override { close(); }

    // Opens `device` (an output's name or description as listed; empty: the server's default)
    // for 16-bit mono at `sampleRate`, with about `latencyMs` queued: half a second rides out a
    // busy desktop without a gap on air, and a stop discards it at once. False with error().
    bool open(const std::string& device, int sampleRate, int latencyMs = 500);
    void close();
    // The description of the output opened.
    const std::string& deviceName() const { return openName_; }

    bool write(std::span<const std::int16_t> samples) override;
    bool drain() override;
    void discard() override;
    std::uint64_t underruns() const override { return underruns_; }
    std::string error() const override { return error_; }

  private:
    static void onState(pa_stream* stream, void* userdata);
    static void onRequest(pa_stream* stream, std::size_t bytes, void* userdata);
    static void onUnderflow(pa_stream* stream, void* userdata);
    bool fail(const std::string& why);
    bool streamGood() const;

    std::string client_;
    ServerConnection connection_;
    pa_stream* stream_ = nullptr;
    std::string openName_;
    std::string error_;
    std::uint64_t underruns_ = 0; // changed with the loop locked
    bool counting_ = false;       // underruns count between the first write and a drain
    int rate_ = 0;
};

// The outputs of the server, as `nbtv transmit --list-devices` shows them; false with `error`
// when the server cannot be reached.
bool listOutputs(const std::string& clientName, std::vector<SoundDevice>& outputs,
                 std::string& error);

// The loopback: an output of its own whose monitor is offered as a recording source, so a
// receiver on the same machine gets what the transmitter sends. Made when missing; it stays
// until the server ends.
inline constexpr const char* loopbackSink = "nbtv_loopback";
inline constexpr const char* loopbackSourceDescription = "NBTV loopback";
bool prepareLoopback(const std::string& clientName, int sampleRate, std::string& error);

} // namespace nbtv
