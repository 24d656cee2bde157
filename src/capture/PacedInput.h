#pragma once
// Sources that play a stream of samples in real time behind the wave-input layer: an audio file
// and the built-in transmitter. They share the pacing: N samples come back N / rate seconds
// after start, measured from one clock so that the pace never drifts.

#include <QElapsedTimer>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "capture/WaveIn.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

class PacedInput : public WaveIn {
    Q_OBJECT
  public:
    explicit PacedInput(QObject* parent = nullptr);

    void addBuffer(WaveHeader* header) override;
    void start() override;
    void reset() override;
    void close() override;

  protected:
    // Called by open() once the stream is ready: paces at `sampleRate` and posts opened().
    void beginStream(int sampleRate);
    bool isOpen() const { return open_; }
    // The next out.size() samples of the stream.
    virtual void produce(std::span<std::int16_t> out) = 0;

  private:
    void deliverDue();
    void schedule();
    std::int64_t dueNs(std::int64_t samples) const;
    std::int64_t samplesDueBy(std::int64_t nowNs) const;

    int rate_ = 0;
    bool open_ = false;
    bool running_ = false;
    std::deque<WaveHeader*> queue_;
    QTimer timer_;
    QElapsedTimer clock_;
    std::int64_t originNs_ = 0;  // clock time at which the first sample after start was due
    std::int64_t delivered_ = 0; // samples handed out since start
};

} // namespace nbtv
