#include "capture/SoundCapture.h"

#include <algorithm>

#include "core/ReceiverSettings.h"

namespace nbtv {

SoundCapture::SoundCapture(ReceiverSettings& settings, WaveIn& source, BlockHandlers handlers,
                           QObject* parent)
    : QObject(parent), settings_(settings), source_(source), handlers_(std::move(handlers)) {
    first_.number = 1;
    second_.number = 2;
    // The service's events arrive as posted messages: handled later, one at a time, in order.
    connect(&source_, &WaveIn::opened, this, &SoundCapture::onOpened, Qt::QueuedConnection);
    connect(&source_, &WaveIn::bufferFull, this, &SoundCapture::onBufferFull, Qt::QueuedConnection);
    connect(&source_, &WaveIn::deviceLost, this, &SoundCapture::onSourceLost, Qt::QueuedConnection);
    returnWatch_.setInterval(returnWatchMs);
    connect(&returnWatch_, &QTimer::timeout, this, &SoundCapture::watchForReturn);
}

SoundCapture::~SoundCapture() {
    shutdown();
}

bool SoundCapture::open() {
    if (!source_.open(settings_.deviceIndex, settings_.sampleRate)) {
        return false;
    }
    openName_ = source_.openDeviceName();
    if (openName_.isEmpty()) {
        openName_ = source_.deviceNames().value(std::max(0, settings_.deviceIndex));
    }
    // Prepare both headers for the block length in use.
    const std::size_t length = static_cast<std::size_t>(settings_.blockLength);
    first_.samples.assign(length, 0);
    second_.samples.assign(length, 0);
    open_ = true;
    reopen_ = false;
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
    if (handedBack_ > 0) {
        --handedBack_; // a buffer the close handed back: no sign of a working device
    } else if (lost_ && open_) {
        lost_ = false;
        returnWatch_.stop();
        emit deviceReturned(openName_);
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

void SoundCapture::onSourceLost() {
    if (shutDown_) {
        return;
    }
    reopen_ = true;
    if (!lost_) {
        lost_ = true;
        emit deviceLost();
    }
    returnWatch_.start();
}

// While the device is lost: once it is listed again (the default device: once any is), it is
// opened again as a restart opens it, keeping every setting. It counts as back when its blocks
// come; a device that opens and stays silent reports its loss again and is reopened.
void SoundCapture::watchForReturn() {
    if (shutDown_ || !lost_) {
        returnWatch_.stop();
        return;
    }
    if (!reopen_) {
        return; // opened again: waiting for its first block
    }
    const QStringList names = source_.deviceNames();
    int at = -1;
    if (settings_.deviceIndex != -1) {
        at = static_cast<int>(names.indexOf(openName_));
        if (at < 0) {
            return;
        }
    } else if (names.isEmpty()) {
        return;
    }
    closeDevice();
    settings_.deviceIndex = at;
    open(); // failing, it is tried again at the next look
}

void SoundCapture::closeDevice() {
    if (!open_) {
        return;
    }
    handedBack_ += (first_.queued ? 1 : 0) + (second_.queued ? 1 : 0);
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
    returnWatch_.stop();
    closeDevice();
    disconnect(&source_, nullptr, this, nullptr);
}

} // namespace nbtv
