#include "capture/PacedInput.h"

#include <algorithm>
#include <limits>

namespace nbtv {

namespace {

constexpr std::int64_t nsPerSecond = 1'000'000'000;
// After a longer stall (a blocked window, a suspended machine) the stream plays on from where it
// stopped instead of racing through the backlog.
constexpr std::int64_t maxLagNs = nsPerSecond;

} // namespace

PacedInput::PacedInput(QObject* parent) : WaveIn(parent) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &PacedInput::deliverDue);
}

void PacedInput::beginStream(int sampleRate) {
    rate_ = sampleRate;
    open_ = true;
    running_ = false;
    delivered_ = 0;
    emit opened();
}

void PacedInput::addBuffer(WaveHeader* header) {
    if (header == nullptr || header->queued || !open_ || header->samples.empty()) {
        return;
    }
    header->queued = true;
    queue_.push_back(header);
    if (running_ && !timer_.isActive()) {
        schedule();
    }
}

void PacedInput::start() {
    if (!open_ || running_) {
        return;
    }
    running_ = true;
    clock_.start();
    originNs_ = clock_.nsecsElapsed();
    delivered_ = 0;
    schedule();
}

std::int64_t PacedInput::dueNs(std::int64_t samples) const {
    return originNs_ + samples * nsPerSecond / rate_;
}

std::int64_t PacedInput::samplesDueBy(std::int64_t nowNs) const {
    return std::max<std::int64_t>(0, (nowNs - originNs_) * rate_ / nsPerSecond);
}

void PacedInput::deliverDue() {
    std::int64_t now = clock_.nsecsElapsed();
    // The stream does not skip while no buffer is queued: samples keep their order and the frame
    // phase the user chose stays where it was. Each buffer is due when its last sample would
    // have been recorded.
    while (running_ && !queue_.empty()) {
        WaveHeader* header = queue_.front();
        const auto length = static_cast<std::int64_t>(header->samples.size());
        const std::int64_t due = dueNs(delivered_ + length);
        if (due > now) {
            break;
        }
        if (now - due > maxLagNs) {
            originNs_ += now - due;
        }
        produce(header->samples);
        delivered_ += length;
        queue_.pop_front();
        header->queued = false;
        emit bufferFull(header);
        now = clock_.nsecsElapsed();
    }
    schedule();
}

void PacedInput::schedule() {
    if (!running_ || queue_.empty()) {
        timer_.stop();
        return;
    }
    const auto length = static_cast<std::int64_t>(queue_.front()->samples.size());
    const std::int64_t waitNs = dueNs(delivered_ + length) - clock_.nsecsElapsed();
    const std::int64_t waitMs = std::clamp<std::int64_t>((waitNs + 999'999) / 1'000'000, 0,
                                                         std::numeric_limits<int>::max());
    timer_.start(static_cast<int>(waitMs));
}

void PacedInput::reset() {
    timer_.stop();
    std::int64_t recorded = 0; // samples of the front buffer already "recorded"
    if (running_ && !queue_.empty()) {
        const auto length = static_cast<std::int64_t>(queue_.front()->samples.size());
        recorded =
            std::clamp<std::int64_t>(samplesDueBy(clock_.nsecsElapsed()) - delivered_, 0, length);
    }
    running_ = false;
    // Every queued buffer comes back in order; the front one keeps what it had recorded, the
    // rest of it and the others hold silence.
    std::deque<WaveHeader*> handedBack;
    handedBack.swap(queue_);
    for (WaveHeader* header : handedBack) {
        auto samples = std::span<std::int16_t>(header->samples);
        const auto kept = static_cast<std::size_t>(recorded);
        if (kept > 0) {
            produce(samples.first(kept));
            delivered_ += recorded;
            recorded = 0;
        }
        std::fill(samples.begin() + static_cast<std::ptrdiff_t>(kept), samples.end(),
                  std::int16_t{0});
        header->queued = false;
    }
    for (WaveHeader* header : handedBack) {
        emit bufferFull(header);
    }
}

void PacedInput::close() {
    if (!queue_.empty()) {
        reset();
    }
    timer_.stop();
    running_ = false;
    open_ = false;
}

} // namespace nbtv
