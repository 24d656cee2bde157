#include "enhance/EnhancedReceiver.h"

#include <limits>

#include "core/Conversions.h"
#include "core/ReceiverSettings.h"
#include "tx/Transmitter.h"

namespace nbtv {

using slotGrid::slotLength;

std::vector<int> fittedCarrierBins(const ReceiverProfile& profile) {
    return profile.carriers.allCarriers();
}

namespace {

// The ring holds four frames and two segments.
int ringSlots(const ReceiverProfile& profile) {
    return 4 * profile.fieldsPerFrame * profile.pictureColumns + 2 * slotGrid::segmentSlots;
}

// The fields of a frame as the settings' colour mode frames them.
int framedFields(const ReceiverProfile& profile, const ReceiverSettings& settings) {
    const bool colour = settings.colourMode != 0 || !profile.hasMonochrome;
    return colour ? profile.fieldsPerFrame : 1;
}

// Each line's bin less the pilot's, where one pilot gives the tuning correction (with two, the
// correction between them takes out a rate error segment by segment).
std::vector<double> rateStretch(const ReceiverProfile& profile) {
    const std::vector<int> pilots = profile.carriers.pilots();
    std::vector<double> stretch;
    if (pilots.size() == 1) {
        for (const int bin : profile.carriers.lineBins) {
            stretch.push_back(static_cast<double>(bin - pilots.front()));
        }
    }
    return stretch;
}

} // namespace

EnhancedReceiver::EnhancedReceiver(const ReceiverProfile& profile)
    : profile_(profile), axis_(profile.sampleRate),
      phase_(fittedCarrierBins(profile), profile.sampleRate),
      tune_(fittedCarrierBins(profile), static_cast<int>(profile.carriers.lineBins.size()),
            profile.carriers.pilots()),
      ring_(ringSlots(profile), static_cast<int>(profile.carriers.lineBins.size()),
            rateStretch(profile)),
      frames_(profile) {}

void EnhancedReceiver::setSecondThread(bool on) {
    catchUp(true);
    behind_ = on;
    phase_.setSecondThread(on);
}

void EnhancedReceiver::reset() {
    moments_.clear();
    axis_.clear();
    phase_.reset();
    tune_.reset();
    nextSlot_ = 0;
    firstSegment_ = true;
    ring_.clear();
    frames_.reset();
    pending_.clear();
    frontEnd_.reset();
    placement_.reset();
    ready_.clear();
}

void EnhancedReceiver::addSamples(std::span<const std::int16_t> samples, double sampleRateOffset,
                                  float fineTuneHz) {
    axis_.add(samples, sampleRateOffset, fineTuneHz);
    if (behind_) {
        moments_.push_back(Moment{axis_.added(), {}});
        catchUp(false);
        return;
    }
    fitReady(false);
    completeFrames(false);
}

// Replays, addition by addition, what keeping up would have done: the fit as far as the samples
// of that moment allowed, then the frames completed by then.
void EnhancedReceiver::catchUp(bool finishing) {
    while (!moments_.empty()) {
        Moment& moment = moments_.front();
        axis_.setHorizon(moment.samples);
        if (!fitReady(false, !finishing)) {
            break;
        }
        completeFrames(false);
        for (PendingFrame& frame : moment.frames) {
            pending_.push_back(std::move(frame));
            completeFrames(false);
        }
        moments_.pop_front();
    }
    axis_.clearHorizon();
}

double EnhancedReceiver::frameEndTau(int frameOffset) const {
    // A frame the ordinary path completes at offset 0 ended receiverFrameLead samples before the
    // block's end; each column of offset left moves the end a third of a slot later.
    const double behind = receiverFrameLead - frameOffset * slotLength / 3.0;
    return axis_.next() - behind * axis_.lastRate();
}

void EnhancedReceiver::placeFrames(const ReceiverSettings& settings, int frameOffset) {
    placement_ = Placement{frameEndTau(frameOffset), framedFields(profile_, settings)};
}

void EnhancedReceiver::frameCompleted(const ReceiverSettings& settings, int frameOffset,
                                      const RgbImage* ordinary) {
    PendingFrame frame;
    frame.tauEnd = frameEndTau(frameOffset);
    frame.look.fields = framedFields(profile_, settings);
    frame.placement = placement_;
    placement_.reset();
    frame.look.brightness = settings.brightness;
    frame.look.contrast = settings.contrast;
    if (ordinary != nullptr) {
        frame.ordinary = *ordinary;
    }
    if (!moments_.empty()) {
        moments_.back().frames.push_back(std::move(frame));
        return;
    }
    pending_.push_back(std::move(frame));
    completeFrames(false);
}

void EnhancedReceiver::finish() {
    catchUp(true);
    fitReady(true);
    completeFrames(true);
}

std::vector<EnhancedPicture> EnhancedReceiver::takePictures() {
    std::vector<EnhancedPicture> out;
    out.swap(ready_);
    return out;
}

std::int64_t EnhancedReceiver::newestSlot() const {
    return axis_.empty() ? std::numeric_limits<std::int64_t>::min() : phase_.slotOf(axis_.newest());
}

// Fits the segments that the samples cover (at the end of the input, also the last, shorter
// one) and keeps their inner slots; consecutive segments overlap by two margins.
bool EnhancedReceiver::fitReady(bool atEnd, bool mayWait) {
    if (!phase_.locked()) {
        if (!phase_.lockOn(axis_, atEnd)) {
            return true;
        }
        nextSlot_ = phase_.slotOf(axis_.oldest());
        firstSegment_ = true;
    }
    while (true) {
        const std::int64_t newest = newestSlot();
        int slotCount = segmentSlots;
        if (newest < nextSlot_ + segmentSlots) {
            if (!atEnd) {
                return true;
            }
            // The newest slot only where the samples cover it whole: the few samples of a slot
            // that the input's end cuts off would bend the knots of the whole columns before.
            const std::int64_t whole = phase_.slotOf(axis_.newest() + axis_.lastRate()) - 1;
            slotCount = static_cast<int>(whole - nextSlot_ + 1);
            if (slotCount < 2) {
                return true;
            }
        }
        const bool last = slotCount < segmentSlots;
        // The next segment's samples: all of them in, or waited for.
        const bool nextHere = behind_ && phase_.slotOf(axis_.newestOfAll()) >=
                                             nextSlot_ + 2 * segmentSlots - 2 * marginSlots;
        if (mayWait && behind_ && !last && !nextHere &&
            !phase_.fittedAhead(phase_.phase(), nextSlot_)) {
            return false;
        }
        const double residual =
            phase_.fitSegment(axis_, nextSlot_, slotCount, firstSegment_, last, nextHere);
        // The first segment keeps its start: nothing before it was fitted.
        const int from = firstSegment_ ? 0 : marginSlots;
        const int to = last ? slotCount : slotCount - marginSlots;
        const SegmentSamples fitted = axis_.segment(phase_.phase(), nextSlot_, slotCount);
        ring_.store(phase_.fit(), nextSlot_, from, to,
                    tune_.correct(phase_.fit(), fitted.spans, nextSlot_, !firstSegment_ && !last),
                    fitted.spans);
        firstSegment_ = false;
        phase_.follow(axis_, nextSlot_, residual, last);
        nextSlot_ = ring_.fittedEnd() - marginSlots;
        // The samples before the next segment are done with (a slot is kept for phase
        // corrections).
        axis_.dropBefore(slotLength * static_cast<double>(nextSlot_ - 1) - phase_.phase());
        if (last) {
            return true;
        }
    }
}

// Composes the pending frames, oldest first, as soon as the fit has passed their ends.
void EnhancedReceiver::completeFrames(bool atEnd) {
    while (!pending_.empty()) {
        const PendingFrame& frame = pending_.front();
        if (!phase_.locked() && !atEnd) {
            return;
        }
        if (!frontEnd_) {
            // The columns just after the frame are needed to place its end.
            const std::int64_t ordinary =
                roundHalfEven((phase_.phase() + frame.tauEnd) / slotLength);
            if (!atEnd && ring_.fittedEnd() < ordinary + 4) {
                return;
            }
            if (frame.placement) {
                frames_.anchor(
                    roundHalfEven((phase_.phase() + frame.placement->tauEnd) / slotLength),
                    frame.placement->fields);
            }
            frontEnd_ = frames_.nextEnd(ordinary, frame.look.fields, ring_);
        }
        if (!atEnd && ring_.fittedEnd() < *frontEnd_ + 1) {
            return;
        }
        ready_.push_back(composeEnhancedPicture(profile_, ring_, *frontEnd_, frame.look, denoise_,
                                                frame.ordinary ? &*frame.ordinary : nullptr));
        pending_.pop_front();
        frontEnd_.reset();
    }
}

} // namespace nbtv
