#pragma once
// The fitted deviations of the line carriers, slot by slot, with the noise of each, in a ring
// that holds the last few frames: what the framing looks at and the pictures are drawn from.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace nbtv {

class SegmentFit;
struct SlotSpan;

class SlotRing {
  public:
    // A ring of `slots` slots of `lineCarriers` line carriers (the first carriers of the fit).
    // With `stretch` (each line's bin less the pilot's, where one pilot alone gives the tuning
    // correction), the deviations are given as the newest rate in use would have fitted them:
    // a sound card's rate error moves each line, less the pilot, by its distance from the pilot
    // times the error, and the rate the calibration settles on after a few frames corrects the
    // frames fitted with its earlier, poorer estimates.
    SlotRing(int slots, int lineCarriers, std::vector<double> stretch = {});

    // Forgets every slot.
    void clear();

    // Keeps the slots `from` up to `to` (exclusive) of the segment that `fit` fitted from slot
    // `firstSlot`, over what the ring held for those places, each line's deviation less its
    // tuning correction in `correction` ([slot * lines + line], none where empty).
    // `spans` (one a slot of the segment) give the rate each slot was fitted with.
    void store(const SegmentFit& fit, std::int64_t firstSlot, int from, int to,
               std::span<const double> correction = {}, std::span<const SlotSpan> spans = {});

    // Slots below this are fitted (the end of the last stored).
    std::int64_t fittedEnd() const { return fittedEnd_; }

    // Whether the ring holds `slot` (fitted, not yet overwritten).
    bool holds(std::int64_t slot) const { return slot_[index(slot)] == slot; }
    // Deviation (bins) of line carrier `line` in a slot the ring holds, and its noise.
    double deviation(std::int64_t slot, std::size_t line) const {
        const std::size_t at = index(slot);
        const double value = deviation_[at * lines_ + line];
        return stretch_.empty() || !(rate_[at] > 0.0) || !(newestRate_ > 0.0)
                   ? value
                   : value + stretch_[line] * (rate_[at] / newestRate_ - 1.0);
    }
    double noise(std::int64_t slot, std::size_t line) const {
        return noise_[index(slot) * lines_ + line];
    }
    // What a fading channel's turn of the carrier's phase may add to it (bins): a fade turns a
    // carrier's phase about as fast, in radians, as it changes the logarithm of its amplitude,
    // which the fit sees and the phase it cannot.
    double fadeNoise(std::int64_t slot, std::size_t line) const {
        return fade_[index(slot) * lines_ + line];
    }
    // How far the fit's model held in a slot the ring holds: 1 where it left no more residual
    // than the rest of its segment (the noise floor), down to 0 where it failed (a burst, a
    // fade the model does not follow).
    double trust(std::int64_t slot) const { return trust_[index(slot)]; }
    // How far the fine tune in use was off in a slot the ring holds (bins, the mean over the
    // lines of their tuning correction): what the ordinary path's deviations carry there.
    double tuneError(std::int64_t slot) const { return tuneError_[index(slot)]; }
    std::size_t lines() const { return lines_; }

  private:
    std::size_t index(std::int64_t slot) const {
        return static_cast<std::size_t>(((slot % slots_) + slots_) % slots_);
    }

    int slots_;
    std::size_t lines_;
    std::vector<std::int64_t> slot_;
    std::vector<double> deviation_; // [index * lines + k]
    std::vector<double> noise_;     // the deviation's noise, per slot and carrier
    std::vector<double> fade_;      // and what a fade may add to it
    std::vector<double> trust_;     // per slot
    std::vector<double> tuneError_; // per slot
    std::vector<double> rate_;      // per slot, the rate it was fitted with (0: not known)
    std::vector<double> stretch_;   // per line
    double newestRate_ = 0.0;       // the rate the newest slot stored was fitted with
    std::int64_t fittedEnd_ = 0;
};

} // namespace nbtv
