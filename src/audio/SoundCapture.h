#pragma once
// Records the receiver's audio as an endless stream of equal blocks through two buffers that take
// turns, and hands each full block on inside the window's event handling.

#include <QObject>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <span>

#include "audio/WaveIn.h"

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
    WaveIn& source() { return source_; }
    const WaveHeader& header(int number) const { return number == 1 ? first_ : second_; }

  signals:
    void deviceLost();

  private:
    void onOpened();
    void onBufferFull(WaveHeader* header);
    void closeDevice();

    ReceiverSettings& settings_;
    WaveIn& source_;
    BlockHandlers handlers_;
    WaveHeader first_;
    WaveHeader second_;
    bool open_ = false;
    bool shutDown_ = false;
};

} // namespace nbtv
