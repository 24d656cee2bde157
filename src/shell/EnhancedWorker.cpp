#include "shell/EnhancedWorker.h"

#include <QMetaObject>

#include <optional>
#include <vector>

#include "core/ReceiverSettings.h"
#include "enhance/EnhancedReceiver.h"

namespace nbtv {

namespace {

// Blocks allowed to wait for the worker (about half a minute of signal): beyond that the
// machine cannot keep up, and the worker skips ahead and searches the column phase again
// rather than fall ever further behind.
constexpr int maxBacklog = 400;

} // namespace

class EnhancedWorker::Engine : public QObject {
  public:
    explicit Engine(const ReceiverProfile& profile) : receiver(profile) {
        // In the window the enhanced picture is the best one available: shrinkage leaves a
        // clean signal alone and helps a weak one.
        receiver.setDenoise(true);
    }
    EnhancedReceiver receiver;
};

EnhancedWorker::EnhancedWorker(const ReceiverProfile& profile, QObject* parent)
    : QObject(parent), engine_(new Engine(profile)) {
    thread_.setObjectName("enhanced picture");
    engine_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, engine_, &QObject::deleteLater);
    thread_.start(QThread::LowPriority);
}

EnhancedWorker::~EnhancedWorker() {
    thread_.quit();
    thread_.wait();
}

void EnhancedWorker::follow(std::span<const std::int16_t> block, const ReceiverSettings& settings,
                            int frameOffset, bool completed, const RgbImage* ordinary) {
    if (backlog_.load() > maxBacklog) {
        catchingUp_ = true;
        return;
    }
    if (catchingUp_) {
        if (backlog_.load() > 0) {
            return;
        }
        catchingUp_ = false;
        restart();
    }
    ++backlog_;
    std::vector<std::int16_t> samples(block.begin(), block.end());
    std::optional<RgbImage> ordinaryPicture;
    if (completed && ordinary != nullptr) {
        ordinaryPicture = *ordinary;
    }
    Engine* engine = engine_;
    QMetaObject::invokeMethod(
        engine_,
        [this, engine, samples = std::move(samples), settings, frameOffset, completed,
         ordinaryPicture = std::move(ordinaryPicture)] {
            engine->receiver.addSamples(samples, settings.sampleRateOffset, settings.fineTuneHz);
            if (completed) {
                engine->receiver.frameCompleted(settings, frameOffset,
                                                ordinaryPicture ? &*ordinaryPicture : nullptr);
            }
            // The worker object outlives this call (its destructor waits for the thread).
            --backlog_;
            for (EnhancedPicture& picture : engine->receiver.takePictures()) {
                QMetaObject::invokeMethod(
                    this, [this, picture = std::move(picture)] { emit pictureReady(picture); },
                    Qt::QueuedConnection);
            }
        },
        Qt::QueuedConnection);
}

void EnhancedWorker::placeFrames(const ReceiverSettings& settings, int frameOffset) {
    if (catchingUp_) {
        return; // the blocks it belongs to were skipped
    }
    Engine* engine = engine_;
    QMetaObject::invokeMethod(
        engine_,
        [engine, settings, frameOffset] { engine->receiver.placeFrames(settings, frameOffset); },
        Qt::QueuedConnection);
}

void EnhancedWorker::restart() {
    Engine* engine = engine_;
    QMetaObject::invokeMethod(
        engine_, [engine] { engine->receiver.reset(); }, Qt::QueuedConnection);
}

} // namespace nbtv
