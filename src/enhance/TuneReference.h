#pragma once
// The tuning error that the fit's line deviations carry, taken from the pilots. Every tone of the
// signal is moved alike by a radio's offset; the fine tune in use (the fit models it sample by
// sample) takes most of it away, and what it leaves shifts every line's deviation, and so its
// brightness, alike. The pilots show it: their deviation is their known swing plus what the fine
// tune left. Per segment, each pilot's deviation plus the fine tune in use (the radio's own
// offset, smooth in time: a fine tune that steps, or lags a drifting radio, does not move it) is
// fitted with a straight line and the swing's harmonics; a second-order tracker (it follows a
// steady drift with no lasting error) smooths the segments' lines, and each slot's correction is
// the tracked offset less the fine tune the slot was fitted with. With two pilots the correction
// is interpolated between them along the bins (what a sound card's rate error leaves).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "enhance/SegmentFit.h"

namespace nbtv {

class TuneReference {
  public:
    // `carrierBins`: the fit's carriers (lines first, `lineCount` of them); `pilotBins`: the
    // pilots among them.
    TuneReference(std::vector<int> carrierBins, int lineCount, std::vector<int> pilotBins);

    void reset();

    // The segment that `fit` fitted over `spans` from slot `firstSlot` (slots count the columns
    // on air): updates the tracked offset and returns, slot by slot, the correction (bins) to
    // subtract from each line's deviation, [slot * lines + line]. A segment that is not
    // `measure`d (the first, which starts part-way into a column, and the shorter last one fit
    // less well) only takes the offset tracked so far.
    const std::vector<double>& correct(const SegmentFit& fit, std::span<const SlotSpan> spans,
                                       std::int64_t firstSlot, bool measure);

  private:
    struct Tracker {
        bool started = false;
        double level = 0.0; // the radio's offset (bins) at slot `at`
        double rate = 0.0;  // and its drift, bins a slot
        double at = 0.0;
        int outliers = 0; // segments in a row far from the tracked offset
    };
    // The distances of the last segments from the tracked offset (bins), kept across a restart.
    struct Scatter {
        std::array<double, 9> distances{};
        std::size_t count = 0;
        double median() const;
    };
    // Whether a segment `innovation` from the tracked offset of pilot `pilot` is far off, for
    // the scatter before it; `counted` takes it into the scatter.
    bool farOff(std::size_t pilot, double innovation, bool counted);

    std::vector<int> bins_;
    int lines_ = 0;
    std::vector<int> pilotIndex_; // into the fit's carriers
    std::vector<Tracker> trackers_;
    std::vector<Scatter> scatters_; // one a pilot
    std::vector<int> counts_;       // segments each tracker has taken since it started
    std::vector<double> correction_;
    double rate_ = 0.0; // the rate in use (slots a sample) at the last segment measured
};

} // namespace nbtv
