#include "enhance/TimeAxis.h"

#include <algorithm>
#include <utility>

#include "enhance/SlotGrid.h"

namespace nbtv {

namespace {

constexpr double sampleScale = 1.0 / 32768.0;

} // namespace

using slotGrid::slotLength;

void TimeAxis::clear() {
    samples_.clear();
    tau_.clear();
    theta_.clear();
    nextTau_ = 0.0;
    nextTheta_ = 0.0;
    lastRate_ = 1.0;
    dropped_ = 0;
    clearHorizon();
}

void TimeAxis::add(std::span<const std::int16_t> samples, double sampleRateOffset,
                   float fineTuneHz) {
    // Transmitter samples per captured sample, and the common phase of a tuning offset that the
    // fine tune says the signal has (per transmitter sample it is -fineTune / fs cycles).
    const double rate = 1.0 / (1.0 - sampleRateOffset);
    const double thetaStep = -static_cast<double>(fineTuneHz) * rate / sampleRate_;
    samples_.reserve(samples_.size() + samples.size());
    for (std::int16_t s : samples) {
        samples_.push_back(static_cast<float>(s * sampleScale));
        tau_.push_back(nextTau_);
        theta_.push_back(nextTheta_);
        nextTau_ += rate;
        nextTheta_ += thetaStep;
    }
    lastRate_ = rate;
}

double TimeAxis::rateAt(double tau) const {
    const std::optional<std::size_t> i = stepAt(tau);
    return i ? tau_[*i + 1] - tau_[*i] : 1.0;
}

double TimeAxis::tuningAt(double tau) const {
    const std::optional<std::size_t> i = stepAt(tau);
    return i ? theta_[*i + 1] - theta_[*i] : 0.0;
}

std::optional<std::size_t> TimeAxis::stepAt(double tau) const {
    const std::size_t n = visible();
    if (n < 2) {
        return std::nullopt;
    }
    return std::min(sampleAt(tau), n - 2);
}

// The first sample at or after tau.
std::size_t TimeAxis::sampleAt(double tau) const {
    return static_cast<std::size_t>(std::lower_bound(tau_.begin(), tau_.end(), tau) - tau_.begin());
}

SegmentSamples TimeAxis::segment(double phase, std::int64_t firstSlot, int slotCount) const {
    auto slotStart = [&](std::int64_t slot) {
        return sampleAt(slotLength * static_cast<double>(slot) - phase);
    };
    std::vector<SlotSpan> spans(static_cast<std::size_t>(slotCount));
    const std::size_t firstSample = slotStart(firstSlot);
    std::size_t start = firstSample;
    for (int j = 0; j < slotCount; ++j) {
        const std::size_t end = slotStart(firstSlot + j + 1);
        SlotSpan& span = spans[static_cast<std::size_t>(j)];
        span.first = static_cast<int>(start - firstSample);
        span.count = static_cast<int>(end - start);
        span.du = 1.0 / slotLength;
        if (span.count > 0) {
            span.u0 = (phase + tau_[start]) / slotLength - static_cast<double>(firstSlot + j);
            span.theta0 = theta_[start];
            if (start + 1 < tau_.size()) {
                span.du = (tau_[start + 1] - tau_[start]) / slotLength;
                span.dtheta = theta_[start + 1] - theta_[start];
            }
        }
        start = end;
    }
    return {std::span<const float>(samples_.data() + firstSample, start - firstSample),
            std::move(spans), dropped_ + firstSample};
}

void TimeAxis::dropBefore(double from) {
    const std::size_t drop = sampleAt(from);
    if (drop == 0 || drop < samples_.size() / 2) {
        return;
    }
    dropped_ += drop;
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(drop));
    tau_.erase(tau_.begin(), tau_.begin() + static_cast<std::ptrdiff_t>(drop));
    theta_.erase(theta_.begin(), theta_.begin() + static_cast<std::ptrdiff_t>(drop));
}

} // namespace nbtv
