// The sound card behind the wave-input layer, as a client of the sound server (PulseAudio, or
// PipeWire's Pulse layer) through libpulse. The server's thread delivers chunks of any size
// whenever it likes; they are posted to the window's thread and cut into the queued buffers in
// queue order. What arrives while no buffer is queued waits, up to a bound, for the next one, as
// in a card's own buffer: a window busy for a moment loses no samples, so the frame phase the
// user chose stays where it was; beyond the bound the newest samples are lost. A connection whose
// server has gone is replaced by a new one at the next listing or open, so a restarted server is
// found again.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "capture/Sources.h"
#include "station/SoundServer.h"

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
// The server hands over what it recorded about this often.
constexpr pa_usec_t fragmentUs = 20'000;
// What waits for a queued buffer while none is: a stall of the window's thread this long.
constexpr int backlogSeconds = 2;

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
            for (const SoundDevice& source : self->connection_.sources()) {
                names << QString::fromStdString(source.description);
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
        const std::vector<SoundDevice> sources = connection_.sources();
        const SoundDevice* chosen = nullptr;
        if (deviceIndex >= 0 && static_cast<std::size_t>(deviceIndex) < sources.size()) {
            chosen = &sources[static_cast<std::size_t>(deviceIndex)];
        } else if (deviceIndex != -1 || sources.empty()) {
            return fail(noDevice);
        }
        // -1: the server's default source.
        const QString label = chosen != nullptr ? QString::fromStdString(chosen->description)
                                                : QStringLiteral("the default input");
        const pa_sample_spec sampleFormat{PA_SAMPLE_S16NE, static_cast<std::uint32_t>(sampleRate),
                                          1};
        if (sampleRate <= 0 || pa_sample_spec_valid(&sampleFormat) == 0) {
            return fail(QStringLiteral("No suitable device found: '%1' cannot record 16-bit mono "
                                       "at %2 samples a second")
                            .arg(label)
                            .arg(sampleRate));
        }

        pa_threaded_mainloop_lock(connection_.loop());
        stream_ = pa_stream_new(connection_.context(), "receiver input", &sampleFormat, nullptr);
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
            attributes.fragsize =
                static_cast<std::uint32_t>(pa_usec_to_bytes(fragmentUs, &sampleFormat));
            // A source that goes away ends the stream instead of handing it to another one.
            const auto flags =
                static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
            if (pa_stream_connect_record(stream_,
                                         chosen != nullptr ? chosen->name.c_str() : nullptr,
                                         &attributes, flags) >= 0) {
                connectedTo = connection_.awaitStream(stream_);
                started = pa_stream_get_state(stream_) == PA_STREAM_READY;
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
        for (const SoundDevice& source : sources) {
            if (source.name == connectedTo) {
                openName_ = QString::fromStdString(source.description);
            }
        }
        open_ = true;
        rate_ = sampleRate;
        running_ = false;
        filled_ = 0;
        backlog_.clear();
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
        if (running_) {
            std::deque<std::int16_t> waiting;
            waiting.swap(backlog_);
            for (const std::int16_t sample : waiting) {
                take(sample);
            }
        }
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
        backlog_.clear();
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
        backlog_.clear();
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
        const QString client = QCoreApplication::applicationName();
        return connection_.connect(client.isEmpty() ? std::string("nbtv") : client.toStdString());
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

    // One recorded sample into the front buffer, or into the backlog while none is queued.
    void take(std::int16_t sample) {
        if (!running_) {
            return;
        }
        if (queue_.empty()) {
            if (backlog_.size() < static_cast<std::size_t>(backlogSeconds * rate_)) {
                backlog_.push_back(sample);
            }
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
    std::deque<std::int16_t> backlog_; // only while no buffer is queued
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
