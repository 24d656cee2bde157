#include "session/ReceiveSession.h"

#include <algorithm>

namespace nbtv {

void InputHistory::append(std::span<const std::int16_t> samples) {
    if (ring_.empty()) {
        return;
    }
    if (samples.size() > ring_.size()) {
        samples = samples.last(ring_.size());
    }
    for (const std::int16_t s : samples) {
        ring_[next_] = s;
        next_ = next_ + 1 == ring_.size() ? 0 : next_ + 1;
    }
    filled_ = std::min(ring_.size(), filled_ + samples.size());
}

std::vector<std::int16_t> InputHistory::samples() const {
    std::vector<std::int16_t> out;
    out.reserve(filled_);
    const std::size_t first =
        (next_ + ring_.size() - filled_) % std::max<std::size_t>(1, ring_.size());
    for (std::size_t i = 0; i < filled_; ++i) {
        out.push_back(ring_[(first + i) % ring_.size()]);
    }
    return out;
}

ReceiveSession::ReceiveSession(const ReceiverProfile& profile)
    : receiver_(profile), tuner_(profile),
      history_(static_cast<std::size_t>(profile.sampleRate) * historySeconds) {}

void ReceiveSession::addInputTap(InputTap* tap) {
    if (tap != nullptr && std::find(taps_.begin(), taps_.end(), tap) == taps_.end()) {
        taps_.push_back(tap);
    }
}

void ReceiveSession::removeInputTap(InputTap* tap) {
    taps_.erase(std::remove(taps_.begin(), taps_.end(), tap), taps_.end());
}

int ReceiveSession::replay(std::span<const std::int16_t> samples) {
    int frames = 0;
    for (;;) {
        const auto length = static_cast<std::size_t>(std::max(1, receiver_.settings().blockLength));
        if (samples.size() < length) {
            break;
        }
        analyse(samples.first(length));
        frames += completeBlock().frameCompleted ? 1 : 0;
        samples = samples.subspan(length);
    }
    return frames;
}

void ReceiveSession::setEnhanced(bool on, bool denoise) {
    enhancedOn_ = on;
    denoise_ = denoise;
    if (on) {
        restartEnhanced();
    }
}

void ReceiveSession::restartEnhanced() {
    if (path_ != nullptr) {
        path_->restart();
        return;
    }
    if (!enhancedOn_) {
        return; // made afresh when it is switched on
    }
    if (fit_) {
        fit_->reset();
    } else {
        fit_ = std::make_unique<EnhancedReceiver>(profile());
        fit_->setSecondThread(secondThread_);
    }
    fit_->setDenoise(denoise_);
}

void ReceiveSession::setEnhancedSecondThread(bool on) {
    secondThread_ = on;
    if (fit_) {
        fit_->setSecondThread(on);
    }
}

int ReceiveSession::replayHistory() {
    // A block is three picture columns, whatever the calibration made its length.
    const auto length = static_cast<std::size_t>(std::max(1, receiver_.settings().blockLength));
    const auto frameBlocks = static_cast<std::size_t>(std::max(1, profile().frameColumns() / 3));
    const std::size_t blocks = history_.size() / length / frameBlocks * frameBlocks;
    const std::vector<std::int16_t> samples = history_.samples();
    return replay(std::span<const std::int16_t>(samples).last(blocks * length));
}

void ReceiveSession::analyseBlock(std::span<const std::int16_t> samples) {
    history_.append(samples);
    for (InputTap* tap : taps_) {
        tap->input(samples);
    }
    analyse(samples);
}

void ReceiveSession::analyse(std::span<const std::int16_t> samples) {
    receiver_.analyseBlock(samples);
    block_.assign(samples.begin(), samples.end());
}

BlockOutcome ReceiveSession::completeBlock() {
    BlockOutcome outcome;
    outcome.frameCompleted = receiver_.completeBlock();
    const ReceiverSettings& settings = receiver_.settings();
    if (enhancedOn_ && outcome.frameCompleted) {
        ordinary_ = toRgbImage(receiver_.pictureSurface(), profile().geometry.pictureCrop);
    }
    if (enhancedOn_ && path_ != nullptr) {
        path_->follow(block_, settings, receiver_.frameOffset(), outcome.frameCompleted,
                      outcome.frameCompleted ? &ordinary_ : nullptr);
    } else if (enhancedOn_) {
        fit_->addSamples(block_, settings.sampleRateOffset, settings.fineTuneHz);
        if (outcome.frameCompleted) {
            fit_->frameCompleted(settings, receiver_.frameOffset(), &ordinary_);
        }
        deliverFitted();
    } else if (outcome.frameCompleted && listener_) {
        listener_(SessionPicture{receiver_.pictureSurface(), false, true});
    }
    outcome.tuning = tuner_.afterBlock(receiver_.tunerAccess(), block_);
    if (enhancedOn_ && outcome.tuning.framePlaced) {
        if (path_ != nullptr) {
            path_->placeFrames(settings, outcome.tuning.placedFrameOffset);
        } else {
            fit_->placeFrames(settings, outcome.tuning.placedFrameOffset);
        }
    }
    return outcome;
}

void ReceiveSession::finish(std::span<const std::int16_t> partBlock) {
    if (!enhancedOn_ || path_ != nullptr) {
        return;
    }
    const ReceiverSettings& settings = receiver_.settings();
    fit_->addSamples(partBlock, settings.sampleRateOffset, settings.fineTuneHz);
    fit_->finish();
    deliverFitted();
}

void ReceiveSession::enhancedPictureReady(const EnhancedPicture& picture) {
    if (enhancedOn_) {
        deliverEnhanced(picture);
    }
}

void ReceiveSession::deliverFitted() {
    for (const EnhancedPicture& picture : fit_->takePictures()) {
        deliverEnhanced(picture);
    }
}

void ReceiveSession::deliverEnhanced(const EnhancedPicture& picture) {
    if (!listener_) {
        return;
    }
    drawEnhancedSurface(profile(), picture.picture, enhancedSurface_);
    listener_(SessionPicture{enhancedSurface_, true, picture.complete, &picture.picture});
}

} // namespace nbtv
