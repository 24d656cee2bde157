#pragma once
// A second thread for fits that do not depend on each other (the candidates of a column-phase
// search, the neighbours a tracking step compares). Each job works on its own fit and leaves its
// result where the caller reads it, so what comes out does not depend on which thread was
// quicker.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace nbtv {

class FitHelper {
  public:
    FitHelper() = default;
    FitHelper(const FitHelper&) = delete;
    FitHelper& operator=(const FitHelper&) = delete;
    ~FitHelper();

    // The second thread on or off (off at start).
    void setOn(bool on);
    bool on() const { return thread_.joinable(); }

    // Runs `here` on this thread and `there` on the second, and returns when both are done;
    // with the second thread off, or called from within `here` (the second thread is busy),
    // both run here, `here` first. Only one thread calls it.
    void run(const std::function<void()>& here, const std::function<void()>& there);

  private:
    void loop();

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const std::function<void()>* job_ = nullptr;
    bool quit_ = false;
    bool running_ = false; // within run(), on the calling thread
};

} // namespace nbtv
