#include "enhance/FitHelper.h"

namespace nbtv {

FitHelper::~FitHelper() {
    setOn(false);
}

void FitHelper::setOn(bool on) {
    if (on == this->on()) {
        return;
    }
    if (on) {
        quit_ = false;
        thread_ = std::thread([this] { loop(); });
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void FitHelper::run(const std::function<void()>& here, const std::function<void()>& there) {
    if (!on() || running_) {
        here();
        there();
        return;
    }
    running_ = true;
    {
        const std::lock_guard lock(mutex_);
        job_ = &there;
    }
    wake_.notify_one();
    here();
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return job_ == nullptr; });
    running_ = false;
}

void FitHelper::loop() {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return quit_ || job_ != nullptr; });
        if (job_ == nullptr) {
            return; // quit with nothing to do
        }
        const std::function<void()>* job = job_;
        lock.unlock();
        (*job)();
        lock.lock();
        job_ = nullptr;
        done_.notify_one();
    }
}

} // namespace nbtv
