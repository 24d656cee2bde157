// The sound card behind the wave-input layer, as a client of the sound server (PulseAudio, or
// PipeWire's Pulse layer) through libpulse. The server's thread delivers chunks of any size
// whenever it likes; they are posted to the window's thread and cut into the queued buffers in
// queue order, and whatever arrives while no buffer is queued is lost, as on the service the
// receivers were built for. A connection whose server has gone is replaced by a new one at the
// next listing or open, so a restarted server is found again.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "capture/Sources.h"

namespace nbtv {

namespace {

const QString noDevice = QStringLiteral("No suitable device found");

// Once data flows, a stream silent for this long (or for four blocks, if longer) has lost its
// device: a suspended source keeps the stream up and sends nothing. A fresh stream of a virtual
// source may take a second or two for its first data.
constexpr qint64 firstDataGraceMs = 5000;
constexpr qint64 stallMs = 500;
constexpr int stallBlocks = 4;
constexpr int watchIntervalMs = 100;
// A server that has not answered within this is taken as gone.
constexpr pa_usec_t answerTimeoutUs = 5'000'000;
// The server hands over what it recorded about this often.
constexpr pa_usec_t fragmentUs = 20'000;

struct Deadline {
    pa_threaded_mainloop* loop = nullptr;
    bool passed = false;
};

void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* deadline = static_cast<Deadline*>(userdata);
    deadline->passed = true;
    pa_threaded_mainloop_signal(deadline->loop, 0);
}

void onContextState(pa_context*, void* loop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

struct Source {
    std::string name;    // the server's name, to connect to
    QString description; // what the device list shows
};

struct Listing {
    std::vector<Source>* sources = nullptr;
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
        listing->sources->push_back(
            {info->name != nullptr ? info->name : "",
             QString::fromUtf8(info->description != nullptr ? info->description : info->name)});
    }
}

// One connection to the server: a main-loop thread of libpulse's with a context in it.
class ServerConnection {
  public:
    ServerConnection() = default;
    ~ServerConnection() { drop(); }
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    bool ready() const {
        if (context_ == nullptr) {
            return false;
        }
        pa_threaded_mainloop_lock(loop_);
        const bool up = pa_context_get_state(context_) == PA_CONTEXT_READY;
        pa_threaded_mainloop_unlock(loop_);
        return up;
    }

    // Replaces the connection by a new one; false when the server cannot be reached.
    bool connect(const QByteArray& clientName) {
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
        pa_threaded_mainloop_lock(loop_);
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), clientName.constData());
        bool up = false;
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
        }
        pa_threaded_mainloop_unlock(loop_);
        if (!up) {
            drop();
        }
        return up;
    }

    // Every stream of the connection must be gone before it is dropped.
    void drop() {
        if (loop_ == nullptr) {
            return;
        }
        pa_threaded_mainloop_lock(loop_);
        if (context_ != nullptr) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
    }

    // The sources that record, in the server's order; empty without a connection.
    std::vector<Source> sources() {
        std::vector<Source> found;
        if (context_ == nullptr) {
            return found;
        }
        pa_threaded_mainloop_lock(loop_);
        Listing listing{&found, loop_};
        if (pa_operation* operation =
                pa_context_get_source_info_list(context_, onSourceInfo, &listing)) {
            const bool done = waitFor(
                [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; },
                answerTimeoutUs);
            if (!done) {
                pa_operation_cancel(operation); // no callback after this
                found.clear();
            }
            pa_operation_unref(operation);
        }
        pa_threaded_mainloop_unlock(loop_);
        return found;
    }

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

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return context_; }

  private:
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
};

class SoundCardInput final : public WaveIn {
  public:
    explicit SoundCardInput(QObject* parent) : WaveIn(parent) {
        watchdog_.setInterval(watchIntervalMs);
        connect(&watchdog_, &QTimer::timeout, this, &SoundCardInput::watchStream);
    }

    ~SoundCardInput() override { SoundCardInput::close(); }

    QStringList deviceNames() const override {
        QStringList names;
        // Listing may replace a connection whose server has gone.
        auto* self = const_cast<SoundCardInput*>(this);
        if (self->reachServer()) {
            for (const Source& source : self->connection_.sources()) {
                names << source.description;
            }
        }
        return names;
    }

    QString openDeviceName() const override { return openName_; }

    bool open(int deviceIndex, int sampleRate) override {
        if (open_) {
            return fail(QStringLiteral("The sound card is already open"));
        }
        if (!reachServer()) {
            return fail(noDevice);
        }
        const std::vector<Source> sources = connection_.sources();
        const Source* chosen = nullptr;
        if (deviceIndex >= 0 && static_cast<std::size_t>(deviceIndex) < sources.size()) {
            chosen = &sources[static_cast<std::size_t>(deviceIndex)];
        } else if (deviceIndex != -1 || sources.empty()) {
            return fail(noDevice);
        }
        // -1: the server's default source.
        const QString label =
            chosen != nullptr ? chosen->description : QStringLiteral("the default input");
        const pa_sample_spec spec{PA_SAMPLE_S16NE, static_cast<std::uint32_t>(sampleRate), 1};
        if (sampleRate <= 0 || pa_sample_spec_valid(&spec) == 0) {
            return fail(QStringLiteral("No suitable device found: '%1' cannot record 16-bit mono "
                                       "at %2 samples a second")
                            .arg(label)
                            .arg(sampleRate));
        }

        pa_threaded_mainloop_lock(connection_.loop());
        stream_ = pa_stream_new(connection_.context(), "receiver input", &spec, nullptr);
        bool started = false;
        std::string connectedTo;
        if (stream_ != nullptr) {
            pa_stream_set_state_callback(stream_, onStreamState, this);
            pa_stream_set_read_callback(stream_, onReadable, this);
            pa_buffer_attr attributes{};
            attributes.maxlength = static_cast<std::uint32_t>(-1);
            attributes.tlength = static_cast<std::uint32_t>(-1);
            attributes.prebuf = static_cast<std::uint32_t>(-1);
            attributes.minreq = static_cast<std::uint32_t>(-1);
            attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(fragmentUs, &spec));
            // A source that goes away ends the stream instead of handing it to another one.
            const auto flags =
                static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
            if (pa_stream_connect_record(stream_,
                                         chosen != nullptr ? chosen->name.c_str() : nullptr,
                                         &attributes, flags) >= 0) {
                connection_.waitFor(
                    [this] { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; },
                    answerTimeoutUs);
                started = pa_stream_get_state(stream_) == PA_STREAM_READY;
                if (const char* name = started ? pa_stream_get_device_name(stream_) : nullptr) {
                    connectedTo = name;
                }
            }
        }
        const QString why = QString::fromUtf8(pa_strerror(pa_context_errno(connection_.context())));
        pa_threaded_mainloop_unlock(connection_.loop());
        if (!started) {
            releaseStream();
            return fail(QStringLiteral("No suitable device found: '%1' did not start (%2)")
                            .arg(label, why));
        }

        openName_ = label;
        for (const Source& source : sources) {
            if (source.name == connectedTo) {
                openName_ = source.description;
            }
        }
        open_ = true;
        rate_ = sampleRate;
        running_ = false;
        filled_ = 0;
        pendingByte_.reset();
        gotData_ = false;
        lostReported_ = false;
        sinceData_.start();
        watchdog_.start();
        lastError_.clear();
        emit opened();
        return true;
    }

    void addBuffer(WaveHeader* header) override {
        if (header == nullptr || header->queued || !open_ || header->samples.empty()) {
            return;
        }
        header->queued = true;
        queue_.push_back(header);
    }

    // The stream has run since open (which also spends a virtual source's slow start there);
    // from now on its samples go into the queued buffers.
    void start() override {
        if (open_) {
            running_ = true;
        }
    }

    void reset() override {
        running_ = false;
        // The front buffer keeps the samples it got; the rest of it and the others are silent.
        std::deque<WaveHeader*> handedBack;
        handedBack.swap(queue_);
        for (WaveHeader* header : handedBack) {
            std::fill(header->samples.begin() + static_cast<std::ptrdiff_t>(filled_),
                      header->samples.end(), std::int16_t{0});
            filled_ = 0;
            header->queued = false;
        }
        for (WaveHeader* header : handedBack) {
            emit bufferFull(header);
        }
    }

    void close() override {
        if (!queue_.empty()) {
            reset();
        }
        running_ = false;
        watchdog_.stop();
        releaseStream();
        open_ = false;
    }

  private:
    bool fail(const QString& reason) {
        lastError_ = reason;
        return false;
    }

    // A ready connection: the present one, or a new one after the server went. The stream of
    // a connection that failed goes with it.
    bool reachServer() {
        if (connection_.ready()) {
            return true;
        }
        releaseStream();
        const QByteArray client = QCoreApplication::applicationName().toUtf8();
        return connection_.connect(client.isEmpty() ? QByteArrayLiteral("nbtv") : client);
    }

    void releaseStream() {
        if (stream_ == nullptr) {
            return;
        }
        pa_threaded_mainloop_lock(connection_.loop());
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
        ++generation_; // what the old stream posted is dropped
        pa_threaded_mainloop_unlock(connection_.loop());
    }

    // In the server's thread, with the loop locked.
    static void onReadable(pa_stream* stream, std::size_t, void* userdata) {
        auto* self = static_cast<SoundCardInput*>(userdata);
        QByteArray bytes;
        const void* data = nullptr;
        std::size_t length = 0;
        while (pa_stream_peek(stream, &data, &length) == 0 && length > 0) {
            const auto size = static_cast<qsizetype>(length);
            if (data != nullptr) {
                bytes.append(static_cast<const char*>(data), size);
            } else {
                bytes.append(QByteArray(size, '\0')); // a hole in the recording: silence
            }
            pa_stream_drop(stream);
        }
        if (!bytes.isEmpty()) {
            const std::uint64_t generation = self->generation_;
            QMetaObject::invokeMethod(
                self, [self, generation, bytes] { self->readChunk(generation, bytes); },
                Qt::QueuedConnection);
        }
    }

    // In the server's thread, with the loop locked.
    static void onStreamState(pa_stream* stream, void* userdata) {
        auto* self = static_cast<SoundCardInput*>(userdata);
        pa_threaded_mainloop_signal(self->connection_.loop(), 0);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
            // The source was removed, or the server went away.
            const std::uint64_t generation = self->generation_;
            QMetaObject::invokeMethod(
                self,
                [self, generation] {
                    if (generation == self->generation_ && self->open_) {
                        self->reportLost();
                    }
                },
                Qt::QueuedConnection);
        }
    }

    void readChunk(std::uint64_t generation, const QByteArray& bytes) {
        if (generation != generation_ || !open_) {
            return;
        }
        gotData_ = true;
        sinceData_.restart();
        lostReported_ = false; // delivering again: a new silence is a new loss
        std::size_t at = 0;
        std::array<char, 2> pair{};
        if (pendingByte_) {
            pair = {*pendingByte_, bytes[0]};
            pendingByte_.reset();
            take(sampleOf(pair.data()));
            at = 1;
        }
        const auto size = static_cast<std::size_t>(bytes.size());
        for (; at + 1 < size; at += 2) {
            take(sampleOf(bytes.constData() + at));
        }
        if (at < size) {
            pendingByte_ = bytes[static_cast<qsizetype>(at)];
        }
    }

    static std::int16_t sampleOf(const char* bytes) {
        std::int16_t value = 0;
        std::memcpy(&value, bytes, sizeof value); // in the machine's byte order
        return value;
    }

    // One recorded sample into the front buffer, or lost when none is queued.
    void take(std::int16_t sample) {
        if (!running_ || queue_.empty()) {
            return;
        }
        WaveHeader* header = queue_.front();
        header->samples[filled_++] = sample;
        if (filled_ == header->samples.size()) {
            queue_.pop_front();
            filled_ = 0;
            header->queued = false;
            emit bufferFull(header);
        }
    }

    void watchStream() {
        if (!open_ || lostReported_) {
            return;
        }
        qint64 limit = firstDataGraceMs;
        if (gotData_) {
            const std::size_t block = queue_.empty() ? 0 : queue_.front()->samples.size();
            limit =
                std::max<qint64>(stallMs, static_cast<qint64>(block) * stallBlocks * 1000 / rate_);
        }
        if (sinceData_.elapsed() > limit) {
            reportLost();
        }
    }

    void reportLost() {
        if (lostReported_) {
            return;
        }
        lostReported_ = true;
        emit deviceLost();
    }

    ServerConnection connection_;
    pa_stream* stream_ = nullptr;
    std::uint64_t generation_ = 0; // changed with the loop locked
    bool open_ = false;
    int rate_ = 0;
    QString openName_;
    bool running_ = false;
    std::deque<WaveHeader*> queue_;
    std::size_t filled_ = 0; // samples already in the front buffer
    std::optional<char> pendingByte_;
    QTimer watchdog_;
    QElapsedTimer sinceData_;
    bool gotData_ = false;
    bool lostReported_ = false;
};

} // namespace

std::unique_ptr<WaveIn> makeSoundCardInput(QObject* parent) {
    return std::make_unique<SoundCardInput>(parent);
}

} // namespace nbtv
