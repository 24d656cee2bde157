// The sound card behind the wave-input layer, through Qt Multimedia (PulseAudio, or PipeWire's
// Pulse layer). The server delivers chunks of any size whenever it likes; they are cut into the
// queued buffers in queue order, and whatever arrives while no buffer is queued is lost, as on
// the service the receivers were built for.

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSource>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QIODevice>
#include <QMediaDevices>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <optional>

#include "audio/Sources.h"

namespace nbtv {

namespace {

// A virtual source takes 1 to 2 s to deliver its first data unless another low-latency recorder
// is attached.
constexpr qint64 firstDataGraceMs = 5000;
// Once data flows, a stream silent for this long (or for four blocks, if longer) has lost its
// device: a source removed while recording leaves the stream active with no data.
constexpr qint64 stallMs = 500;
constexpr int stallBlocks = 4;
constexpr int watchIntervalMs = 100;

class SoundCardInput final : public WaveIn {
  public:
    explicit SoundCardInput(QObject* parent) : WaveIn(parent) {
        watchdog_.setInterval(watchIntervalMs);
        connect(&watchdog_, &QTimer::timeout, this, &SoundCardInput::watchStream);
    }

    // A source still waiting for deleteLater goes with its parent, but not before the events
    // its stop posted are handled: Qt 6.4's PulseAudio source crashes when deleted before that.
    ~SoundCardInput() override {
        SoundCardInput::close();
        if (!retired_.isNull()) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }

    QStringList deviceNames() const override {
        QStringList names;
        for (const QAudioDevice& device : QMediaDevices::audioInputs()) {
            names << device.description();
        }
        return names;
    }

    bool open(int deviceIndex, int sampleRate) override {
        if (source_ != nullptr) {
            return fail(QStringLiteral("The sound card is already open"));
        }
        const QList<QAudioDevice> devices = QMediaDevices::audioInputs();
        QAudioDevice device;
        if (deviceIndex == -1) {
            device = QMediaDevices::defaultAudioInput();
        } else if (deviceIndex >= 0 && deviceIndex < devices.size()) {
            device = devices[deviceIndex];
        }
        if (device.isNull()) {
            return fail(QStringLiteral("No suitable device found"));
        }
        QAudioFormat format;
        format.setSampleRate(sampleRate);
        format.setChannelCount(1);
        format.setSampleFormat(QAudioFormat::Int16);
        if (!device.isFormatSupported(format)) {
            return fail(QStringLiteral("No suitable device found: '%1' cannot record 16-bit mono "
                                       "at %2 samples a second")
                            .arg(device.description())
                            .arg(sampleRate));
        }
        // Starting on a source that vanished since it was listed can block for ever.
        if (!QMediaDevices::audioInputs().contains(device)) {
            return fail(
                QStringLiteral("No suitable device found: '%1' is gone").arg(device.description()));
        }
        auto* source = new QAudioSource(device, format, this);
        QIODevice* stream = source->start();
        if (stream == nullptr || source->error() != QAudio::NoError) {
            source->stop();
            delete source;
            return fail(QStringLiteral("No suitable device found: '%1' did not start")
                            .arg(device.description()));
        }
        source_ = source;
        stream_ = stream;
        rate_ = sampleRate;
        running_ = false;
        filled_ = 0;
        pendingByte_.reset();
        gotData_ = false;
        lostReported_ = false;
        connect(stream_, &QIODevice::readyRead, this, &SoundCardInput::readStream);
        connect(source_, &QAudioSource::stateChanged, this, &SoundCardInput::watchState);
        sinceData_.start();
        watchdog_.start();
        lastError_.clear();
        emit opened();
        return true;
    }

    void addBuffer(WaveHeader* header) override {
        if (header == nullptr || header->queued || source_ == nullptr || header->samples.empty()) {
            return;
        }
        header->queued = true;
        queue_.push_back(header);
    }

    // The stream has run since open (which also spends a virtual source's slow start there);
    // from now on its samples go into the queued buffers.
    void start() override {
        if (source_ != nullptr) {
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
        if (source_ != nullptr) {
            disconnect(source_, nullptr, this, nullptr);
            if (stream_ != nullptr) {
                disconnect(stream_, nullptr, this, nullptr);
            }
            source_->stop();
            // Possibly inside one of its own signals: delete it once that has returned.
            source_->deleteLater();
            retired_ = source_;
            source_ = nullptr;
            stream_ = nullptr;
        }
    }

  private:
    bool fail(const QString& reason) {
        lastError_ = reason;
        return false;
    }

    void readStream() {
        if (stream_ == nullptr) {
            return;
        }
        const QByteArray bytes = stream_->readAll();
        if (bytes.isEmpty()) {
            return; // the source polls on a timer and often has nothing new
        }
        gotData_ = true;
        sinceData_.restart();
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
        std::memcpy(&value, bytes, sizeof value); // Int16 in the machine's byte order
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

    void watchState(QAudio::State state) {
        if (state == QAudio::StoppedState && source_ != nullptr &&
            source_->error() != QAudio::NoError) {
            reportLost(); // the server went away or refused the stream
        }
    }

    void watchStream() {
        if (source_ == nullptr || lostReported_) {
            return;
        }
        qint64 limit = firstDataGraceMs;
        if (gotData_) {
            const std::size_t block = queue_.empty() ? 0 : queue_.front()->samples.size();
            limit =
                std::max<qint64>(stallMs, static_cast<qint64>(block) * stallBlocks * 1000 / rate_);
        }
        if (sinceData_.elapsed() > limit ||
            (source_->state() == QAudio::StoppedState && source_->error() != QAudio::NoError)) {
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

    QAudioSource* source_ = nullptr; // child of this
    QPointer<QAudioSource> retired_; // stopped, waiting to be deleted
    QPointer<QIODevice> stream_;     // owned by source_, which drops it when the server goes
    int rate_ = 0;
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
