#pragma once
// Runs the enhanced receive path on its own thread beside a window: the window hands over each
// block it has processed, the worker fits them as they come and hands finished pictures back
// on the window's thread. A fit takes longer than a block period at times (a column-phase
// search takes seconds), so it must not run on the window's thread.

#include <QObject>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <span>

#include "picture/RgbImage.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

struct ReceiverSettings;

class EnhancedWorker : public QObject {
    Q_OBJECT
  public:
    explicit EnhancedWorker(const ReceiverProfile& profile, QObject* parent = nullptr);
    ~EnhancedWorker() override;
    EnhancedWorker(const EnhancedWorker&) = delete;
    EnhancedWorker& operator=(const EnhancedWorker&) = delete;

    // A block the ordinary receiver has just processed with `settings`; `completed` when it
    // completed a frame (at `frameOffset`).
    void followBlock(std::span<const std::int16_t> block, const ReceiverSettings& settings,
                     int frameOffset, bool completed);
    // Starts afresh (the column phase is searched again), as after a restarted capture.
    void reset();
    // Blocks handed over and not yet fitted.
    int backlog() const { return backlog_.load(); }

  signals:
    // A finished picture, on the window's thread.
    void pictureReady(const nbtv::RgbImage& picture);

  private:
    class Engine;
    QThread thread_;
    Engine* engine_ = nullptr; // lives on thread_
    std::atomic<int> backlog_{0};
    bool catchingUp_ = false;
};

} // namespace nbtv
