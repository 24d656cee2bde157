#pragma once
// PNG pictures written on a thread of their own: compressing and writing them takes about a
// third of a decode, and the receive core need not wait for it. The pictures are the same.

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "io/AtomicFile.h"
#include "picture/RgbImage.h"

namespace nbtv::cli {

class PictureWriter {
  public:
    explicit PictureWriter(Replace replace);
    ~PictureWriter(); // waits for the pictures queued so far
    PictureWriter(const PictureWriter&) = delete;
    PictureWriter& operator=(const PictureWriter&) = delete;

    // Queues a picture; waits while the queue is full. Throws RunError when an earlier write
    // failed.
    void write(std::string path, RgbImage image);
    // A picture written already, to fill with the next one (or an empty one): a decode's
    // pictures are large enough that fresh ones each come from the system and are faulted in.
    RgbImage spare();
    // Writes everything queued; throws RunError with the first failure.
    void finish();

  private:
    void run();
    void throwIfFailed(); // with the lock held

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<std::string, RgbImage>> queue_;
    std::vector<RgbImage> spares_;
    std::string error_; // the first failure
    bool closing_ = false;
    bool busy_ = false;
    Replace replace_;
    std::thread worker_; // last: started once everything it uses exists
};

} // namespace nbtv::cli
