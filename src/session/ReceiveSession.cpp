#include "session/ReceiveSession.h"

namespace nbtv {

ReceiveSession::ReceiveSession(const ReceiverProfile& profile)
    : receiver_(profile), tuner_(profile) {}

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
    }
    fit_->setDenoise(denoise_);
}

void ReceiveSession::analyseBlock(std::span<const std::int16_t> samples) {
    receiver_.analyseBlock(samples);
    block_.assign(samples.begin(), samples.end());
}

BlockOutcome ReceiveSession::completeBlock() {
    BlockOutcome outcome;
    outcome.frameCompleted = receiver_.completeBlock();
    const ReceiverSettings& settings = receiver_.settings();
    if (enhancedOn_ && path_ != nullptr) {
        path_->follow(block_, settings, receiver_.frameOffset(), outcome.frameCompleted);
    } else if (enhancedOn_) {
        fit_->addSamples(block_, settings.sampleRateOffset, settings.fineTuneHz);
        if (outcome.frameCompleted) {
            fit_->frameCompleted(settings, receiver_.frameOffset());
        }
        deliverFitted();
    } else if (outcome.frameCompleted && listener_) {
        listener_(SessionPicture{receiver_.pictureSurface(), false, true});
    }
    outcome.tuning = tuner_.afterBlock(receiver_.tunerAccess(), block_);
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
