#include "audio/SoundCapture.h"

#include "shell/ReceiverSettings.h"

namespace nbtv {

SoundCapture::SoundCapture(ReceiverSettings& settings, WaveIn& source, BlockHandlers handlers,
                           QObject* parent)
    : QObject(parent), settings_(settings), source_(source), handlers_(std::move(handlers)) {
    first_.number = 1;
    second_.number = 2;
    // The service's events arrive as posted messages: handled later, one at a time, in order.
    connect(&source_, &WaveIn::opened, this, &SoundCapture::onOpened, Qt::QueuedConnection);
    connect(&source_, &WaveIn::bufferFull, this, &SoundCapture::onBufferFull, Qt::QueuedConnection);
    connect(&source_, &WaveIn::deviceLost, this, &SoundCapture::deviceLost, Qt::QueuedConnection);
}

SoundCapture::~SoundCapture() {
    shutdown();
}

bool SoundCapture::open() {
    if (!source_.open(settings_.deviceIndex, settings_.sampleRate)) {
        return false;
    }
    // Prepare both headers for the block length in use.
    const std::size_t length = static_cast<std::size_t>(settings_.blockLength);
    first_.samples.assign(length, 0);
    second_.samples.assign(length, 0);
    open_ = true;
    return true;
}

QStringList SoundCapture::listDevices() const {
    return source_.deviceNames();
}

void SoundCapture::onOpened() {
    if (shutDown_) {
        return;
    }
    source_.addBuffer(&first_);
    source_.addBuffer(&second_);
    source_.start();
}

void SoundCapture::onBufferFull(WaveHeader* header) {
    if (shutDown_) {
        return;
    }
    const WaveHeader& named = settings_.currentBuffer == 1 ? first_ : second_;
    const std::size_t length =
        std::min(named.samples.size(), static_cast<std::size_t>(settings_.blockLength));
    handlers_.analyse(std::span<const std::int16_t>(named.samples.data(), length));
    if (open_) {
        source_.addBuffer(header);
    }
    settings_.currentBuffer = -settings_.currentBuffer;
    handlers_.rest();
}

void SoundCapture::closeDevice() {
    if (!open_) {
        return;
    }
    source_.reset();
    source_.close();
    open_ = false;
}

void SoundCapture::restartCapture(const std::function<void()>& initialise) {
    closeDevice();
    initialise();
}

void SoundCapture::shutdown() {
    if (shutDown_) {
        return;
    }
    shutDown_ = true;
    closeDevice();
    disconnect(&source_, nullptr, this, nullptr);
}

} // namespace nbtv
