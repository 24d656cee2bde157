#pragma once
// The captured samples not yet fitted, each with its place on two axes: tau, its time in
// transmitter samples (the sum of the rate ratio over the samples before it; the column phase
// is not in it), and theta, the common tuning phase in cycles that the fine tune says the signal
// has there (the sum of its step per sample). Both are summed sample by sample, so a rate offset
// or fine tune that changes between blocks bends the axes and leaves no jump.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "enhance/SegmentFit.h"

namespace nbtv {

// The samples of a run of slots and the straight run of the axes through each slot.
struct SegmentSamples {
    std::span<const float> samples;
    std::vector<SlotSpan> spans;
    std::size_t start = 0; // samples[0]'s place among all the samples added
};

class TimeAxis {
  public:
    explicit TimeAxis(int sampleRate) : sampleRate_(sampleRate) {}

    void clear();

    // Appends captured samples that were received with this rate offset and fine tune.
    void add(std::span<const std::int16_t> samples, double sampleRateOffset, float fineTuneHz);

    // The samples added so far (those forgotten included).
    std::size_t added() const { return dropped_ + tau_.size(); }
    // The place among them of the oldest sample kept.
    std::size_t forgotten() const { return dropped_; }
    // What empty(), newest(), rateAt() and tuningAt() say: as if only the first `count`
    // samples had been added (a fit that runs behind the samples sees what it would have seen
    // then), or all of them again.
    void setHorizon(std::size_t count) { horizon_ = count; }
    void clearHorizon() { horizon_ = static_cast<std::size_t>(-1); }

    bool empty() const { return visible() == 0; }
    double oldest() const { return tau_.front(); }        // tau of the oldest sample kept
    double newest() const { return tau_[visible() - 1]; } // and of the newest
    double newestOfAll() const { return tau_.back(); }    // whatever the horizon
    // Tau of the sample to come next, and the rate ratio of the last ones added.
    double next() const { return nextTau_; }
    double lastRate() const { return lastRate_; }

    // Transmitter samples per captured sample, and tuning phase per captured sample, at the
    // first sample at or after tau (or the nearest one kept).
    double rateAt(double tau) const;
    double tuningAt(double tau) const;

    // The samples of `slotCount` slots from `firstSlot` when the columns on air begin at
    // tau = slotLength x slot - `phase`.
    SegmentSamples segment(double phase, std::int64_t firstSlot, int slotCount) const;

    // Forgets the samples before tau `from`, but only once they are half of those kept (erasing
    // in large steps only).
    void dropBefore(double from);

  private:
    std::size_t sampleAt(double tau) const;
    // The sample whose step to the next one rateAt and tuningAt read (none with fewer than two).
    std::optional<std::size_t> stepAt(double tau) const;
    std::size_t visible() const {
        return horizon_ >= added() ? tau_.size() : horizon_ - std::min(horizon_, dropped_);
    }

    int sampleRate_;
    std::vector<float> samples_;
    std::vector<double> tau_;
    std::vector<double> theta_;
    double nextTau_ = 0.0;
    double nextTheta_ = 0.0;
    double lastRate_ = 1.0;   // transmitter samples per captured sample, as last added
    std::size_t dropped_ = 0; // samples forgotten
    std::size_t horizon_ = static_cast<std::size_t>(-1);
};

} // namespace nbtv
