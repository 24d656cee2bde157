#include "enhance/SlotRing.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <utility>
#include <vector>

#include "enhance/SegmentFit.h"
#include "enhance/SlotGrid.h"

namespace nbtv {

namespace {

// Noise of a deviation per noise of the samples: 0.566 / (amplitude x sqrt(256)).
constexpr double deviationNoise = 0.566 / 16.0;
// A slot's amplitude counts as at least this share of its segment's.
constexpr double minimumAmplitude = 0.1;
// A slot's residual, against the larger of its segment's median and this share of the signal's
// power, is trusted fully up to `trustedExcess` and not at all from `failedExcess` on.
constexpr double floorOfSignal = 0.01;
constexpr double trustedExcess = 3.0;
constexpr double failedExcess = 10.0;
// A slot with this share of its samples blanked (a static crash) is not trusted at all.
constexpr double untrustedBlanked = 0.1;

// How far the fit held in each slot of a segment, from the slots' residuals: the median is the
// noise floor (a burst or a failed stretch is a minority of the slots); a slot is judged by
// its own residual and its neighbours', which a failure spreads into through the knots.
std::vector<double> slotTrust(const SegmentFit& fit) {
    const int slots = fit.slotCount();
    std::vector<double> residuals;
    for (int j = 0; j < slots; ++j) {
        if (fit.slotResidual(j) > 0.0) {
            residuals.push_back(fit.slotResidual(j));
        }
    }
    std::vector<double> trust(static_cast<std::size_t>(slots), 1.0);
    if (residuals.empty()) {
        return trust;
    }
    const auto middle = residuals.begin() + static_cast<std::ptrdiff_t>(residuals.size() / 2);
    std::nth_element(residuals.begin(), middle, residuals.end());
    const double floor = std::max(*middle, floorOfSignal * fit.modelPower());
    if (!(floor > 0.0)) {
        return trust;
    }
    const double span = std::log(failedExcess / trustedExcess);
    std::vector<double> own(static_cast<std::size_t>(slots));
    for (int j = 0; j < slots; ++j) {
        // Near a crash its remains are judged against the noise floor alone: the share of the
        // signal's power that spares a fade would hide the knots the crash bent.
        const double excess =
            fit.slotResidual(j) / (fit.nearCrash(j) && *middle > 0.0 ? *middle : floor);
        own[static_cast<std::size_t>(j)] =
            excess <= trustedExcess
                ? 1.0
                : std::clamp(1.0 - std::log(excess / trustedExcess) / span, 0.0, 1.0);
        // A slot that lost samples to a crash is placed by its neighbours more than by its own.
        const double blanked = fit.slotBlanked(j) / slotGrid::slotLength;
        own[static_cast<std::size_t>(j)] =
            std::min(own[static_cast<std::size_t>(j)],
                     std::clamp(1.0 - blanked / untrustedBlanked, 0.0, 1.0));
    }
    for (int j = 0; j < slots; ++j) {
        const auto at = static_cast<std::size_t>(j);
        double t = own[at];
        if (j > 0) {
            t = std::min(t, own[at - 1]);
        }
        if (j + 1 < slots) {
            t = std::min(t, own[at + 1]);
        }
        trust[at] = t;
    }
    return trust;
}

} // namespace

SlotRing::SlotRing(int slots, int lineCarriers, std::vector<double> stretch)
    : slots_(slots), lines_(static_cast<std::size_t>(lineCarriers)), stretch_(std::move(stretch)) {
    if (stretch_.size() != lines_) {
        stretch_.clear();
    }
    clear();
}

void SlotRing::clear() {
    const auto ring = static_cast<std::size_t>(slots_);
    slot_.assign(ring, std::numeric_limits<std::int64_t>::min());
    deviation_.assign(ring * lines_, 0.0);
    noise_.assign(ring * lines_, 0.0);
    fade_.assign(ring * lines_, 0.0);
    trust_.assign(ring, 1.0);
    tuneError_.assign(ring, 0.0);
    rate_.assign(ring, 0.0);
    newestRate_ = 0.0;
    fittedEnd_ = std::numeric_limits<std::int64_t>::min();
}

void SlotRing::store(const SegmentFit& fit, std::int64_t firstSlot, int from, int to,
                     std::span<const double> correction, std::span<const SlotSpan> spans) {
    // The noise of the samples from the residual, which the fitted model's parameters shrink.
    const double sampleNoise =
        std::sqrt(fit.residualAwayFromCrashes() /
                  std::max(1.0 - fit.parametersPerSlot() / slotGrid::slotLength, 0.1));
    const std::vector<double> trust = slotTrust(fit);
    for (int j = from; j < to; ++j) {
        const std::int64_t slot = firstSlot + j;
        const std::size_t at = index(slot);
        slot_[at] = slot;
        trust_[at] = trust[static_cast<std::size_t>(j)];
        const auto span = static_cast<std::size_t>(j);
        rate_[at] = span < spans.size() && spans[span].count > 0 ? spans[span].du : 0.0;
        if (rate_[at] > 0.0) {
            newestRate_ = rate_[at];
        }
        double tuneError = 0.0;
        for (std::size_t k = 0; k < lines_; ++k) {
            const int carrier = static_cast<int>(k);
            const std::size_t corrected = static_cast<std::size_t>(j) * lines_ + k;
            const double shift = corrected < correction.size() ? correction[corrected] : 0.0;
            deviation_[at * lines_ + k] = fit.deviation(carrier, j) - shift;
            tuneError += shift;
            // In a fade the slot's own amplitude gives its noise (no more than ten times the
            // segment's: a carrier fades through zero).
            const double amplitude = std::max(std::abs(fit.amplitude(carrier, j)),
                                              minimumAmplitude * std::abs(fit.amplitude(carrier)));
            noise_[at * lines_ + k] =
                amplitude > 0.0 ? deviationNoise * sampleNoise / amplitude : 0.0;
            // The change of the logarithm of the amplitude across the slot, from its neighbours.
            const int before = std::max(j - 1, 0);
            const int after = std::min(j + 1, fit.slotCount() - 1);
            const double floor = minimumAmplitude * std::abs(fit.amplitude(carrier));
            const double early = std::max(std::abs(fit.amplitude(carrier, before)), floor);
            const double late = std::max(std::abs(fit.amplitude(carrier, after)), floor);
            const double fade =
                after > before && early > 0.0 && late > 0.0
                    ? std::abs(std::log(late / early)) / (after - before) / (2.0 * std::numbers::pi)
                    : 0.0;
            fade_[at * lines_ + k] = std::isfinite(fade) ? fade : 0.0;
        }
        tuneError_[at] =
            lines_ > 0 && std::isfinite(tuneError) ? tuneError / static_cast<double>(lines_) : 0.0;
    }
    fittedEnd_ = firstSlot + to;
}

} // namespace nbtv
