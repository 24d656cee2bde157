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

#include "profiles/ReceiverProfile.h"
#include "session/ReceiveSession.h"

namespace nbtv {

class EnhancedWorker : public QObject, public EnhancedPath {
    Q_OBJECT
  public:
    explicit EnhancedWorker(const ReceiverProfile& profile, QObject* parent = nullptr);
    ~EnhancedWorker() override;
    EnhancedWorker(const EnhancedWorker&) = delete;
    EnhancedWorker& operator=(const EnhancedWorker&) = delete;

    void follow(std::span<const std::int16_t> block, const ReceiverSettings& settings,
                int frameOffset, bool completed, const RgbImage* ordinary) override;
    void placeFrames(const ReceiverSettings& settings, int frameOffset) override;
    void restart() override;
    // Blocks handed over and not yet fitted.
    int backlog() const { return backlog_.load(); }

  signals:
    // A finished picture, on the window's thread.
    void pictureReady(const nbtv::EnhancedPicture& picture);

  private:
    class Engine;
    QThread thread_;
    Engine* engine_ = nullptr; // lives on thread_
    std::atomic<int> backlog_{0};
    bool catchingUp_ = false;
};

} // namespace nbtv
