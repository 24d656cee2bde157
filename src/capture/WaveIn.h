#pragma once
// The wave-input service the receivers were built on, as a small layer with its contract:
// open, then an "opened" event; buffers queued in order and returned full, in order, as events
// on the GUI thread; reset hands back every queued buffer. A stream does not skip while no buffer
// is queued for a moment (what comes in waits for the next one), so a busy window keeps its frame
// phase. Sound card, audio file and built-in transmitter all stand behind it, so the receive
// path is the same whatever feeds it.

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace nbtv {

// One capture buffer and its header: the service fills `samples` (its whole length) and hands
// the header back.
struct WaveHeader {
    std::vector<std::int16_t> samples;
    int number = 0;      // 1 or 2
    bool queued = false; // owned by the service between addBuffer and its bufferFull event
};

class WaveIn : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    // The names of the devices this source offers, in device order.
    virtual QStringList deviceNames() const = 0;

    // Opens device `deviceIndex` (-1: the default device) for 16-bit mono at `sampleRate`.
    // On success the opened() event follows; on failure returns false and sets lastError().
    virtual bool open(int deviceIndex, int sampleRate) = 0;
    // Queues a buffer for filling. Fails (and is ignored) when the header is already queued.
    virtual void addBuffer(WaveHeader* header) = 0;
    virtual void start() = 0;
    // Stops and hands back every queued buffer, each with its bufferFull event.
    virtual void reset() = 0;
    virtual void close() = 0;

    // The name of the open device as deviceNames() lists it; empty when the source does not
    // know it (the listed name of the device number opened is then taken).
    virtual QString openDeviceName() const { return {}; }

    // Why the last open failed, in one line.
    QString lastError() const { return lastError_; }

  signals:
    void opened();
    void bufferFull(nbtv::WaveHeader* header);
    // The open device stopped delivering (removed or stalled); emitted once each time it stops.
    void deviceLost();

  protected:
    QString lastError_;
};

} // namespace nbtv
