#include "PictureWriter.h"

#include "Commands.h"
#include "io/ImageFile.h"

namespace nbtv::cli {

namespace {

// Enough to ride out a slow write without holding many pictures in memory.
constexpr std::size_t maxQueued = 16;
// Written pictures kept for reuse: the receive core takes one a picture, so a few are enough.
constexpr std::size_t maxSpares = 4;

} // namespace

PictureWriter::PictureWriter(Replace replace) : replace_(replace), worker_([this] { run(); }) {}

PictureWriter::~PictureWriter() {
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

void PictureWriter::write(std::string path, RgbImage image) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queue_.size() < maxQueued || !error_.empty(); });
    throwIfFailed();
    queue_.emplace_back(std::move(path), std::move(image));
    lock.unlock();
    changed_.notify_all();
}

RgbImage PictureWriter::spare() {
    const std::lock_guard lock(mutex_);
    if (spares_.empty()) {
        return {};
    }
    RgbImage image = std::move(spares_.back());
    spares_.pop_back();
    return image;
}

void PictureWriter::finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return (queue_.empty() && !busy_) || !error_.empty(); });
    throwIfFailed();
}

void PictureWriter::throwIfFailed() {
    if (!error_.empty()) {
        throw RunError(error_);
    }
}

void PictureWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !queue_.empty() || closing_; });
        if (queue_.empty() || !error_.empty()) {
            if (closing_) {
                return;
            }
            queue_.clear(); // after a failure the rest is not written
            changed_.notify_all();
            continue;
        }
        auto [path, image] = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        changed_.notify_all();
        std::string error;
        const bool written = writePng(path, image, error, replace_);
        lock.lock();
        busy_ = false;
        if (spares_.size() < maxSpares) {
            spares_.push_back(std::move(image));
        }
        if (!written && error_.empty()) {
            error_ = error;
        }
        changed_.notify_all();
    }
}

} // namespace nbtv::cli
