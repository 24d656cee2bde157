#include "station/SoundServer.h"

#include <algorithm>
#include <cstring>

namespace nbtv {

namespace {

void onContextState(pa_context*, void* loop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

void onOperationState(pa_operation*, void* loop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

struct Listing {
    std::vector<SoundDevice>* devices = nullptr;
    pa_threaded_mainloop* loop = nullptr;
};

void onSourceInfo(pa_context*, const pa_source_info* info, int last, void* userdata) {
    auto* listing = static_cast<Listing*>(userdata);
    if (last != 0) {
        pa_threaded_mainloop_signal(listing->loop, 0);
        return;
    }
    // The monitors of the outputs are left out: the list holds what records.
    if (info != nullptr && info->monitor_of_sink == PA_INVALID_INDEX) {
        listing->devices->push_back({info->name != nullptr ? info->name : "",
                                     info->description != nullptr
                                         ? info->description
                                         : (info->name != nullptr ? info->name : "")});
    }
}

void onSinkInfo(pa_context*, const pa_sink_info* info, int last, void* userdata) {
    auto* listing = static_cast<Listing*>(userdata);
    if (last != 0) {
        pa_threaded_mainloop_signal(listing->loop, 0);
        return;
    }
    if (info != nullptr) {
        listing->devices->push_back({info->name != nullptr ? info->name : "",
                                     info->description != nullptr
                                         ? info->description
                                         : (info->name != nullptr ? info->name : "")});
    }
}

struct ModuleLoad {
    pa_threaded_mainloop* loop = nullptr;
    std::uint32_t index = PA_INVALID_INDEX;
};

void onModuleLoaded(pa_context*, std::uint32_t index, void* userdata) {
    auto* load = static_cast<ModuleLoad*>(userdata);
    load->index = index;
    pa_threaded_mainloop_signal(load->loop, 0);
}

// The loop locked for a scope.
class Locked {
  public:
    explicit Locked(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~Locked() { pa_threaded_mainloop_unlock(loop_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

  private:
    pa_threaded_mainloop* loop_;
};

} // namespace

void ServerConnection::onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                  void* userdata) {
    auto* deadline = static_cast<Deadline*>(userdata);
    deadline->passed = true;
    pa_threaded_mainloop_signal(deadline->loop, 0);
}

bool ServerConnection::ready() const {
    if (context_ == nullptr) {
        return false;
    }
    const Locked locked(loop_);
    return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool ServerConnection::connect(const std::string& clientName) {
    drop();
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) {
        return false;
    }
    if (pa_threaded_mainloop_start(loop_) < 0) {
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
        return false;
    }
    bool up = false;
    {
        const Locked locked(loop_);
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), clientName.c_str());
        if (context_ != nullptr) {
            pa_context_set_state_callback(context_, onContextState, loop_);
            if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOFLAGS, nullptr) >= 0) {
                waitFor(
                    [this] {
                        const pa_context_state_t state = pa_context_get_state(context_);
                        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
                    },
                    answerTimeoutUs);
                up = pa_context_get_state(context_) == PA_CONTEXT_READY;
            }
            if (!up) {
                const pa_context_state_t state = pa_context_get_state(context_);
                connectError_ = PA_CONTEXT_IS_GOOD(state) ? "no answer"
                                                          : pa_strerror(pa_context_errno(context_));
            }
        }
    }
    if (!up) {
        drop();
    }
    return up;
}

void ServerConnection::drop() {
    if (loop_ == nullptr) {
        return;
    }
    {
        const Locked locked(loop_);
        if (context_ != nullptr) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
}

std::string ServerConnection::awaitStream(pa_stream* stream) {
    waitFor([stream] { return pa_stream_get_state(stream) != PA_STREAM_CREATING; },
            answerTimeoutUs);
    const char* name = pa_stream_get_state(stream) == PA_STREAM_READY
                           ? pa_stream_get_device_name(stream)
                           : nullptr;
    return name != nullptr ? name : "";
}

bool ServerConnection::finish(pa_operation* operation, pa_usec_t timeoutUs) {
    if (operation == nullptr) {
        return false;
    }
    pa_operation_set_state_callback(operation, onOperationState, loop_);
    const bool done =
        waitFor([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; },
                timeoutUs);
    if (!done) {
        pa_operation_cancel(operation); // no callback after this
    }
    pa_operation_set_state_callback(operation, nullptr, nullptr);
    pa_operation_unref(operation);
    return done;
}

std::vector<SoundDevice> ServerConnection::sources() {
    std::vector<SoundDevice> found;
    if (context_ == nullptr) {
        return found;
    }
    const Locked locked(loop_);
    Listing listing{&found, loop_};
    if (!finish(pa_context_get_source_info_list(context_, onSourceInfo, &listing))) {
        found.clear();
    }
    return found;
}

std::vector<SoundDevice> ServerConnection::sinks() {
    std::vector<SoundDevice> found;
    if (context_ == nullptr) {
        return found;
    }
    const Locked locked(loop_);
    Listing listing{&found, loop_};
    if (!finish(pa_context_get_sink_info_list(context_, onSinkInfo, &listing))) {
        found.clear();
    }
    return found;
}

bool ServerConnection::loadModule(const std::string& module, const std::string& arguments) {
    if (context_ == nullptr) {
        return false;
    }
    const Locked locked(loop_);
    ModuleLoad load{loop_};
    return finish(pa_context_load_module(context_, module.c_str(), arguments.c_str(),
                                         onModuleLoaded, &load)) &&
           load.index != PA_INVALID_INDEX;
}

std::string ServerConnection::lastError() const {
    if (context_ == nullptr) {
        return connectError_.empty() ? "no connection to the sound server" : connectError_;
    }
    return pa_strerror(pa_context_errno(context_));
}

bool PlaybackSink::fail(const std::string& why) {
    error_ = why;
    return false;
}

bool PlaybackSink::open(const std::string& device, int sampleRate, int latencyMs) {
    close();
    if (!connection_.connect(client_)) {
        return fail("cannot reach the sound server (PulseAudio or PipeWire): " +
                    connection_.lastError());
    }
    const std::vector<SoundDevice> outputs = connection_.sinks();
    const SoundDevice* chosen = nullptr;
    for (const SoundDevice& output : outputs) {
        if (output.name == device || (chosen == nullptr && output.description == device)) {
            chosen = &output;
        }
    }
    if (!device.empty() && chosen == nullptr) {
        return fail("no output device '" + device + "' (nbtv transmit --list-devices lists them)");
    }
    const pa_sample_spec sampleFormat{PA_SAMPLE_S16NE, static_cast<std::uint32_t>(sampleRate), 1};
    if (sampleRate <= 0 || pa_sample_spec_valid(&sampleFormat) == 0) {
        return fail("the sound server cannot play " + std::to_string(sampleRate) +
                    " samples a second");
    }
    const std::string label = chosen != nullptr ? chosen->description : "the default output";
    std::string why;
    bool started = false;
    std::string connectedTo;
    {
        const Locked locked(connection_.loop());
        stream_ =
            pa_stream_new(connection_.context(), "transmitter output", &sampleFormat, nullptr);
        if (stream_ != nullptr) {
            pa_stream_set_state_callback(stream_, onState, this);
            pa_stream_set_write_callback(stream_, onRequest, this);
            pa_stream_set_underflow_callback(stream_, onUnderflow, this);
            pa_buffer_attr attributes{};
            attributes.maxlength = static_cast<std::uint32_t>(-1);
            attributes.tlength = static_cast<std::uint32_t>(
                pa_usec_to_bytes(static_cast<pa_usec_t>(latencyMs) * 1000, &sampleFormat));
            attributes.prebuf = static_cast<std::uint32_t>(-1);
            attributes.minreq = static_cast<std::uint32_t>(-1);
            attributes.fragsize = static_cast<std::uint32_t>(-1);
            const auto flags =
                static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
            if (pa_stream_connect_playback(stream_,
                                           chosen != nullptr ? chosen->name.c_str() : nullptr,
                                           &attributes, flags, nullptr, nullptr) >= 0) {
                connectedTo = connection_.awaitStream(stream_);
                started = pa_stream_get_state(stream_) == PA_STREAM_READY;
            }
        }
        why = connection_.lastError();
    }
    if (!started) {
        close();
        return fail("cannot play on '" + label + "' (" + why + ")");
    }
    openName_ = label;
    for (const SoundDevice& output : outputs) {
        if (output.name == connectedTo) {
            openName_ = output.description;
        }
    }
    rate_ = sampleRate;
    underruns_ = 0;
    counting_ = false;
    error_.clear();
    return true;
}

void PlaybackSink::close() {
    if (stream_ != nullptr) {
        const Locked locked(connection_.loop());
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
    connection_.drop();
}

bool PlaybackSink::streamGood() const {
    return stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_READY;
}

bool PlaybackSink::write(std::span<const std::int16_t> samples) {
    if (stream_ == nullptr) {
        return fail("the output is not open");
    }
    const Locked locked(connection_.loop());
    counting_ = true;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples.data());
    std::size_t left = samples.size_bytes();
    while (left > 0) {
        std::size_t room = 0;
        const bool writable = connection_.waitFor(
            [&] {
                if (!streamGood()) {
                    return true;
                }
                room = pa_stream_writable_size(stream_);
                return room != static_cast<std::size_t>(-1) && room >= 2;
            },
            answerTimeoutUs);
        if (!streamGood() || !writable) {
            return fail("the output device stopped taking samples (" + connection_.lastError() +
                        ")");
        }
        const std::size_t count = std::min(room, left) / 2 * 2;
        if (pa_stream_write(stream_, bytes, count, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            return fail("cannot play: " + connection_.lastError());
        }
        bytes += count;
        left -= count;
    }
    return true;
}

bool PlaybackSink::drain() {
    if (!streamGood()) {
        return stream_ != nullptr ? fail("the output device went away") : true;
    }
    const Locked locked(connection_.loop());
    counting_ = false; // the end of the signal is no underrun
    if (!connection_.finish(pa_stream_drain(stream_, nullptr, nullptr), 3 * answerTimeoutUs)) {
        return fail("the output device did not play out what was sent");
    }
    return true;
}

void PlaybackSink::discard() {
    if (!streamGood()) {
        return;
    }
    const Locked locked(connection_.loop());
    counting_ = false;
    connection_.finish(pa_stream_flush(stream_, nullptr, nullptr));
}

void PlaybackSink::onState(pa_stream*, void* userdata) {
    auto* self = static_cast<PlaybackSink*>(userdata);
    pa_threaded_mainloop_signal(self->connection_.loop(), 0);
}

void PlaybackSink::onRequest(pa_stream*, std::size_t, void* userdata) {
    auto* self = static_cast<PlaybackSink*>(userdata);
    pa_threaded_mainloop_signal(self->connection_.loop(), 0);
}

void PlaybackSink::onUnderflow(pa_stream*, void* userdata) {
    auto* self = static_cast<PlaybackSink*>(userdata);
    if (self->counting_) {
        ++self->underruns_;
    }
}

bool listOutputs(const std::string& clientName, std::vector<SoundDevice>& outputs,
                 std::string& error) {
    ServerConnection connection;
    if (!connection.connect(clientName)) {
        error = "cannot reach the sound server (PulseAudio or PipeWire): " + connection.lastError();
        return false;
    }
    outputs = connection.sinks();
    return true;
}

bool prepareLoopback(const std::string& clientName, int sampleRate, std::string& error) {
    ServerConnection connection;
    if (!connection.connect(clientName)) {
        error = "cannot reach the sound server (PulseAudio or PipeWire): " + connection.lastError();
        return false;
    }
    const std::string sink = loopbackSink;
    const auto has = [&](const std::vector<SoundDevice>& devices, const std::string& name) {
        return std::any_of(devices.begin(), devices.end(),
                           [&](const SoundDevice& d) { return d.name == name; });
    };
    if (!has(connection.sinks(), sink) &&
        !connection.loadModule("module-null-sink",
                               "sink_name=" + sink +
                                   " format=s16le channels=1 rate=" + std::to_string(sampleRate) +
                                   " sink_properties=\"device.description='NBTV loopback "
                                   "output'\"")) {
        error = "cannot make the loopback output (" + connection.lastError() + ")";
        return false;
    }
    const std::string source = sink + "_in";
    if (!has(connection.sources(), source) &&
        !connection.loadModule("module-remap-source",
                               "master=" + sink + ".monitor source_name=" + source +
                                   " source_properties=\"device.description='" +
                                   loopbackSourceDescription + "'\"")) {
        error = "cannot make the loopback input (" + connection.lastError() + ")";
        return false;
    }
    return true;
}

} // namespace nbtv
