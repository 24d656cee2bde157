#pragma once
// A wave-input source for window tests: plays given samples as fast as the event loop runs (no
// real-time pacing), or fails to open like a machine without a sound card.

#include <QTimer>

#include <algorithm>
#include <deque>
#include <vector>

#include "capture/WaveIn.h"

namespace nbtv::test {

class ScriptedWaveIn : public WaveIn {
  public:
    explicit ScriptedWaveIn(std::vector<std::int16_t> samples, bool present = true)
        : samples_(std::move(samples)), present_(present) {
        timer_.setInterval(0);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { deliverOne(); });
    }

    QStringList deviceNames() const override {
        return present_ ? QStringList{"Scripted source"} : QStringList{};
    }
    bool open(int, int) override {
        if (!present_) {
            lastError_.clear();
            return false;
        }
        opens_++;
        emit opened();
        return true;
    }
    void addBuffer(WaveHeader* header) override {
        if (header->queued) {
            return;
        }
        header->queued = true;
        queue_.push_back(header);
    }
    void start() override { timer_.start(); }
    void reset() override {
        timer_.stop();
        while (!queue_.empty()) {
            WaveHeader* header = queue_.front();
            queue_.pop_front();
            header->queued = false;
            emit bufferFull(header);
        }
    }
    void close() override {
        timer_.stop();
        closes_++;
    }

    // Stops delivering (as a stalled device does) or goes on.
    void pause(bool paused) { paused_ = paused; }
    void loseDevice() { emit deviceLost(); }

    int opens() const { return opens_; }
    int closes() const { return closes_; }
    std::size_t delivered() const { return delivered_; }

  private:
    void deliverOne() {
        if (paused_ || queue_.empty() || samples_.empty()) {
            return;
        }
        WaveHeader* header = queue_.front();
        queue_.pop_front();
        for (auto& s : header->samples) {
            s = samples_[position_ % samples_.size()];
            ++position_;
        }
        header->queued = false;
        ++delivered_;
        emit bufferFull(header);
    }

    std::vector<std::int16_t> samples_;
    bool present_;
    bool paused_ = false;
    QTimer timer_;
    std::deque<WaveHeader*> queue_;
    std::size_t position_ = 0;
    std::size_t delivered_ = 0;
    int opens_ = 0;
    int closes_ = 0;
};

} // namespace nbtv::test
