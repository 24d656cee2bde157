#pragma once
// Records the receiver's audio as an endless stream of equal blocks through two buffers that take
// turns, and hands each full block on inside the window's event handling. A device that stops
// delivering is watched for: when it is listed again, capture resumes on it by itself.

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <span>

#include "capture/WaveIn.h"

namespace nbtv {

struct ReceiverSettings;

class SoundCapture : public QObject {
    Q_OBJECT
  public:
    // The two steps of a buffer-full event around the re-queue: `analyse` gets the block named
    // by currentBuffer (before the buffer goes back to the service), `rest` does the remaining
    // work of the block after it.
    struct BlockHandlers {
        std::function<void(std::span<const std::int16_t>)> analyse;
        std::function<void()> rest;
    };

    SoundCapture(ReceiverSettings& settings, WaveIn& source, BlockHandlers handlers,
                 QObject* parent = nullptr);
    ~SoundCapture() override;

    // Opens `deviceIndex` and prepares both buffers with `blockLength` samples. False when the
    // device cannot be opened (the caller shows the warning).
    bool open();
    // The device names for the sound-card dialog, in device order.
    QStringList listDevices() const;
    // Closes the running device, then runs `initialise` (which opens again).
    void restartCapture(const std::function<void()>& initialise);
    // Stops and closes; later buffer-full events are not handled.
    void shutdown();

    bool isOpen() const { return open_; }
    // The device stopped delivering and has not delivered again since.
    bool isLost() const { return lost_; }
    WaveIn& source() { return source_; }
    const WaveHeader& header(int number) const { return number == 1 ? first_ : second_; }

    // How often a lost device is looked for.
    static constexpr int returnWatchMs = 1000;

  signals:
    // Once when the device stops delivering.
    void deviceLost();
    // Blocks flow again after a loss (resumed by itself, or after a restart); `name` is the
    // device's.
    void deviceReturned(const QString& name);

  private:
    void onOpened();
    void onBufferFull(WaveHeader* header);
    void onSourceLost();
    void watchForReturn();
    void closeDevice();

    ReceiverSettings& settings_;
    WaveIn& source_;
    BlockHandlers handlers_;
    WaveHeader first_;
    WaveHeader second_;
    bool open_ = false;
    bool shutDown_ = false;
    QString openName_;    // of the device opened last
    bool lost_ = false;   // since the loss, no block of a working device has come
    bool reopen_ = false; // the device in use has stopped: open it again once it is listed
    int handedBack_ = 0;  // buffers a close handed back, still to come as blocks
    QTimer returnWatch_;
};

} // namespace nbtv
