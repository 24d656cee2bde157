#include "io/PictureFeeds.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "io/ImageFile.h"
#include "tx/TestCard.h"

namespace nbtv {

namespace {

constexpr std::size_t queuedPictures = 3;

class StillFeed final : public PictureFeed {
  public:
    explicit StillFeed(RgbImage picture) : picture_(std::move(picture)) {}
    bool next(RgbImage& picture) override {
        picture = picture_;
        return true;
    }

  private:
    RgbImage picture_;
};

// Decodes on a thread of its own while the pictures before go on air. A file is read at the
// pace it is sent; a device is read at its own pace and only its newest picture is kept.
class DecodedFeed final : public PictureFeed {
  public:
    DecodedFeed(std::string path, PictureSource source, int width, int height, bool repeat)
        : path_(std::move(path)), source_(std::move(source)), width_(width), height_(height),
          repeat_(repeat), live_(!source_.device.empty()) {
        thread_ = std::thread([this] { decode(); });
    }

    ~DecodedFeed() override {
        {
            const std::lock_guard lock(mutex_);
            quit_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    bool next(RgbImage& picture) override {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !queue_.empty() || done_; });
        if (queue_.empty()) {
            return false;
        }
        picture = queue_.front();
        if (!live_) {
            queue_.pop_front(); // a device's picture stays until a newer one comes
        }
        changed_.notify_all();
        return true;
    }

    std::string error() const override {
        const std::lock_guard lock(mutex_);
        return error_;
    }

    // Waits for the first picture: false (with error()) when none comes.
    bool started() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !queue_.empty() || done_; });
        return !queue_.empty();
    }

  private:
    void decode() {
        std::string error;
        bool any = false;
        bool again = true;
        while (again) {
            std::size_t taken = 0;
            const bool ok = decodePictures(
                path_, width_, height_, source_,
                [&](const RgbImage& picture) {
                    ++taken;
                    std::unique_lock lock(mutex_);
                    if (live_) {
                        queue_.assign(1, picture);
                    } else {
                        changed_.wait(lock,
                                      [this] { return queue_.size() < queuedPictures || quit_; });
                        queue_.push_back(picture);
                    }
                    changed_.notify_all();
                    return !quit_;
                },
                error);
            any = any || taken > 0;
            const std::lock_guard lock(mutex_);
            if (!ok && !quit_) {
                error_ = error;
            }
            again = ok && repeat_ && taken > 0 && !quit_ && !live_;
        }
        const std::lock_guard lock(mutex_);
        if (!any && error_.empty()) {
            error_ = quotedPath(path_) + " holds no picture";
        }
        if (live_ && error_.empty()) {
            error_ = "the " + source_.device + " input " + quotedPath(path_) + " ended";
        }
        done_ = true;
        changed_.notify_all();
    }

    std::string path_;
    PictureSource source_;
    int width_;
    int height_;
    bool repeat_;
    bool live_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<RgbImage> queue_;
    bool done_ = false;
    bool quit_ = false;
    std::string error_;
    std::thread thread_; // last: started when everything else is there
};

} // namespace

std::unique_ptr<PictureFeed> openPictureFeed(const FeedRequest& request, std::string& error) {
    if (const auto kind = testCardByName(request.card)) {
        return std::make_unique<StillFeed>(makeTestCard(*kind, request.width, request.height));
    }
    PictureSource source;
    std::string path = request.card;
    if (request.card == "camera" || request.card.rfind("/dev/video", 0) == 0) {
        source.device = "v4l2";
        path = request.card == "camera" ? "/dev/video0" : request.card;
    } else if (request.card == "screen") {
        source.device = "x11grab";
        const char* display = std::getenv("DISPLAY");
        if (display == nullptr || *display == '\0') {
            error = "screen: no X display to grab (DISPLAY is not set)";
            return nullptr;
        }
        path = display;
    } else if (isNumberedPattern(path)) {
        source.numberedPattern = true;
    } else {
        RgbImage image;
        std::string stillError;
        if (loadImageScaled(path, request.width, request.height, image, stillError)) {
            return std::make_unique<StillFeed>(std::move(image));
        }
        // Not a still picture: perhaps a video; if not, its own error names the file.
    }
    auto feed =
        std::make_unique<DecodedFeed>(path, source, request.width, request.height, request.repeat);
    if (!feed->started()) {
        error = feed->error();
        return nullptr;
    }
    return feed;
}

} // namespace nbtv
