#include "enhance/SlotRing.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "enhance/SegmentFit.h"
#include "enhance/SlotGrid.h"

namespace nbtv {

namespace {

// Noise of a deviation per noise of the samples: 0.566 / (amplitude x sqrt(256)).
constexpr double deviationNoise = 0.566 / 16.0;

} // namespace

SlotRing::SlotRing(int slots, int lineCarriers)
    : slots_(slots), lines_(static_cast<std::size_t>(lineCarriers)) {
    clear();
}

void SlotRing::clear() {
    const auto ring = static_cast<std::size_t>(slots_);
    slot_.assign(ring, std::numeric_limits<std::int64_t>::min());
    deviation_.assign(ring * lines_, 0.0);
    noise_.assign(ring * lines_, 0.0);
    fittedEnd_ = std::numeric_limits<std::int64_t>::min();
}

void SlotRing::store(const SegmentFit& fit, std::int64_t firstSlot, int from, int to) {
    // The noise of the samples from the residual, which the fitted model's parameters shrink.
    const double carriers = static_cast<double>(fit.carriers());
    const double sampleNoise =
        std::sqrt(fit.meanSquaredResidual() / std::max(1.0 - carriers / slotGrid::slotLength, 0.1));
    for (int j = from; j < to; ++j) {
        const std::int64_t slot = firstSlot + j;
        const std::size_t at = index(slot);
        slot_[at] = slot;
        for (std::size_t k = 0; k < lines_; ++k) {
            const int carrier = static_cast<int>(k);
            deviation_[at * lines_ + k] = fit.deviation(carrier, j);
            const double amplitude = std::abs(fit.amplitude(carrier));
            noise_[at * lines_ + k] =
                amplitude > 0.0 ? deviationNoise * sampleNoise / amplitude : 0.0;
        }
    }
    fittedEnd_ = firstSlot + to;
}

} // namespace nbtv
