#include "enhance/TuneReference.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <limits>
#include <numbers>

#include "enhance/DenseAlgebra.h"
#include "enhance/SlotGrid.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

namespace {

constexpr double twoPi = 2.0 * std::numbers::pi;
// The swing's phase a slot, and the harmonics fitted beside it: the swing is an arcsine of a
// sine, whose third harmonic alone moves a deviation by more than a level.
constexpr double swingStep = twoPi * slotGrid::slotLength / pilotSwingPeriod;
constexpr int harmonics[] = {1, 3};
constexpr int parameters = 2 + 2 * static_cast<int>(std::size(harmonics));
// The tracker's gains once settled (before, it weighs every segment alike, as a least-squares
// line through them does): the level's, and the drift's, which the level's makes critically
// damped. Chosen on the training photographs.
constexpr double levelGain = 0.2;
constexpr double driftGain = levelGain * levelGain / (2.0 - levelGain);
// A correction within this (bins, a twentieth of a level) is the pilots' own scatter, which a
// clean steady signal shows: it is left out, and the rest of a larger one taken.
constexpr double deadBand = 3e-5;
// A slot whose pilot misses the segment's fit by more than this many times the median miss,
// and this (bins, a fifth of a level), is left out of it.
constexpr double outlierSpread = 5.0;
constexpr double outlierFloor = 1.5e-4;
// Segments measured before the offset tracked is used.
constexpr int settledSegments = 3;
// An offset this far (bins, three levels) from the tracked one is a segment gone wrong (samples
// lost, a burst) and left out; so many in a row are a radio retuned: tracked afresh from there.
constexpr double retunedBins = 0.002;
constexpr int outliersRetuned = 3;
// Through a fading channel the pilots' offsets scatter from segment to segment by far more than
// that (a two-path fade bends each tone's phase its own way, 0.01 bins and more): a segment is far
// off only beyond `farScatter` times the median distance from the tracked offset of the last
// segments that no crash hit (a median, so that a crash the fit did not find does not widen it)
// and in which the rate did not step the pilot by `rateStepBins` or more (the automatic
// calibration's first steps, by a tenth of a bin), once there are `scatterKnown` of them. Chosen
// on the training photographs (3 to 8 and 3 to 5 gave the same pictures but for a tenth of a dB).
constexpr double farScatter = 5.0;
constexpr std::size_t scatterKnown = 5;
constexpr double rateStepBins = 0.01;

} // namespace

TuneReference::TuneReference(std::vector<int> carrierBins, int lineCount,
                             std::vector<int> pilotBins)
    : bins_(std::move(carrierBins)), lines_(lineCount) {
    for (const int pilot : pilotBins) {
        const auto it = std::find(bins_.begin(), bins_.end(), pilot);
        if (it != bins_.end()) {
            pilotIndex_.push_back(static_cast<int>(it - bins_.begin()));
        }
    }
    trackers_.resize(pilotIndex_.size());
}

double TuneReference::Scatter::median() const {
    if (count < scatterKnown) {
        return 0.0;
    }
    const std::size_t n = std::min(count, distances.size());
    std::array<double, std::tuple_size_v<decltype(distances)>> sorted = distances;
    const auto mid = sorted.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(sorted.begin(), mid, sorted.begin() + static_cast<std::ptrdiff_t>(n));
    return *mid;
}

bool TuneReference::farOff(std::size_t pilot, double innovation, bool counted) {
    Scatter& scatter = scatters_[pilot];
    const double far = std::max(retunedBins, farScatter * scatter.median());
    if (counted) {
        scatter.distances[scatter.count++ % scatter.distances.size()] = std::abs(innovation);
    }
    return std::abs(innovation) > far;
}

void TuneReference::reset() {
    rate_ = 0.0;
    std::fill(trackers_.begin(), trackers_.end(), Tracker{});
    scatters_.assign(trackers_.size(), Scatter{});
    counts_.assign(trackers_.size(), 0);
}

const std::vector<double>& TuneReference::correct(const SegmentFit& fit,
                                                  std::span<const SlotSpan> spans,
                                                  std::int64_t firstSlot, bool measure) {
    const int slots = std::min(fit.slotCount(), static_cast<int>(spans.size()));
    const auto lines = static_cast<std::size_t>(lines_);
    correction_.assign(static_cast<std::size_t>(std::max(slots, 0)) * lines, 0.0);
    if (slots < parameters || pilotIndex_.empty()) {
        return correction_;
    }
    counts_.resize(trackers_.size(), 0);
    scatters_.resize(trackers_.size());
    // The fine tune each slot was fitted with, bins a slot (a slot without samples takes its
    // neighbour's).
    std::vector<double> applied(static_cast<std::size_t>(slots), 0.0);
    for (int j = 0; j < slots; ++j) {
        const SlotSpan& span = spans[static_cast<std::size_t>(j)];
        applied[static_cast<std::size_t>(j)] = span.count > 0 && span.du > 0.0
                                                   ? span.dtheta / span.du
                                               : j > 0 ? applied[static_cast<std::size_t>(j - 1)]
                                                       : 0.0;
    }
    // A new rate moves each tone in proportion to its bin, the pilots' offsets with them: what
    // was tracked before moves alike (a rate error of e leaves a tone at bin b off by -b e).
    const double rate = spans[static_cast<std::size_t>(slots / 2)].du;
    if (measure && rate != rate_ && rate > 0.0) {
        if (!(rate_ > 0.0)) {
            reset();
        } else {
            for (std::size_t p = 0; p < trackers_.size(); ++p) {
                const double bin = bins_[static_cast<std::size_t>(pilotIndex_[p])];
                trackers_[p].level -= bin * (rate - rate_) / rate;
            }
        }
    }
    if (measure) {
        rate_ = rate;
    }
    // The rate's relative change within the segment: a step of the automatic calibration
    // there moves the pilots' offsets by bin times as much, which the channel did not.
    const double rateStep =
        rate > 0.0
            ? std::abs(spans[static_cast<std::size_t>(slots - 1)].du - spans.front().du) / rate
            : std::numeric_limits<double>::infinity();
    const double middle = 0.5 * (slots - 1);
    const double centre = static_cast<double>(firstSlot) + middle;
    std::vector<double> offsets(trackers_.size() * static_cast<std::size_t>(slots), 0.0);
    for (std::size_t p = 0; p < trackers_.size(); ++p) {
        const int k = pilotIndex_[p];
        // Weighted least squares of the pilot's offset: a line, and the swing; in a segment a
        // crash hit, then again without the slots that stand out from it far beyond the rest
        // (the knots the crash bent that the fit did not count as near it). Elsewhere leaving
        // out the misses that stand out only moved the offset (through a receiver's passband
        // and AGC).
        std::vector<double> weights(static_cast<std::size_t>(slots), 0.0);
        std::vector<double> values(static_cast<std::size_t>(slots), 0.0);
        std::vector<double> rows(static_cast<std::size_t>(slots) * parameters, 0.0);
        for (int j = 0; j < slots; ++j) {
            const auto at = static_cast<std::size_t>(j);
            const double amplitude = fit.amplitude(k, j);
            // A crash's remains bend the deviations near it: the pilot there says nothing.
            weights[at] = spans[at].count > 0 && !fit.nearCrash(j) ? amplitude * amplitude : 0.0;
            values[at] = fit.deviation(k, j) + applied[at];
            double* row = &rows[at * parameters];
            const double phase = swingStep * static_cast<double>(firstSlot + j);
            row[0] = 1.0;
            row[1] = j - middle;
            for (std::size_t h = 0; h < std::size(harmonics); ++h) {
                row[2 + 2 * h] = std::cos(harmonics[h] * phase);
                row[3 + 2 * h] = std::sin(harmonics[h] * phase);
            }
        }
        double rhs[parameters] = {};
        for (int round = 0; round < 2; ++round) {
            double normal[parameters * parameters] = {};
            std::fill(std::begin(rhs), std::end(rhs), 0.0);
            for (int j = 0; j < slots; ++j) {
                const auto at = static_cast<std::size_t>(j);
                if (!(weights[at] > 0.0)) {
                    continue;
                }
                const double* row = &rows[at * parameters];
                for (int a = 0; a < parameters; ++a) {
                    rhs[a] += weights[at] * row[a] * values[at];
                    for (int b = 0; b < parameters; ++b) {
                        normal[a * parameters + b] += weights[at] * row[a] * row[b];
                    }
                }
            }
            choleskyInPlace(normal, parameters, 1e-9);
            choleskySolve(normal, parameters, rhs, 1);
            if (round == 1 || !std::isfinite(rhs[0]) || fit.blanked() == 0) {
                break;
            }
            std::vector<double> distance;
            std::vector<double> misses(static_cast<std::size_t>(slots), 0.0);
            for (int j = 0; j < slots; ++j) {
                const auto at = static_cast<std::size_t>(j);
                double model = 0.0;
                for (int a = 0; a < parameters; ++a) {
                    model += rhs[a] * rows[at * parameters + static_cast<std::size_t>(a)];
                }
                misses[at] = std::abs(values[at] - model);
                if (weights[at] > 0.0) {
                    distance.push_back(misses[at]);
                }
            }
            if (distance.size() < static_cast<std::size_t>(2 * parameters)) {
                break;
            }
            const auto mid = distance.begin() + static_cast<std::ptrdiff_t>(distance.size() / 2);
            std::nth_element(distance.begin(), mid, distance.end());
            const double limit = outlierSpread * *mid + outlierFloor;
            for (std::size_t at = 0; at < weights.size(); ++at) {
                if (misses[at] > limit) {
                    weights[at] = 0.0;
                }
            }
        }
        const double level = rhs[0];
        if (!std::isfinite(level)) {
            continue;
        }
        Tracker& t = trackers_[p];
        int& n = counts_[p];
        const double ahead = centre - t.at;
        const double predicted = t.level + t.rate * ahead;
        if (!measure) {
            // Only followed: the tracked offset carried on to this segment.
            if (t.started) {
                t.level = predicted;
                t.at = centre;
            }
        } else if (!t.started || !(ahead > 0.0)) {
            t = Tracker{true, level, 0.0, centre};
            n = 1;
        } else if (farOff(p, level - predicted,
                          fit.blanked() == 0 &&
                              rateStep * bins_[static_cast<std::size_t>(pilotIndex_[p])] <
                                  rateStepBins)) {
            if (++t.outliers >= outliersRetuned) {
                t = Tracker{true, level, 0.0, centre};
                n = 1;
            } else {
                // One segment far off (samples lost, a burst): left out.
                t.level = predicted;
                t.at = centre;
            }
        } else {
            t.outliers = 0;
            ++n;
            // Growing memory at first (a least-squares line through the segments so far), then
            // the settled gains.
            const double nn = n;
            const double gainLevel =
                std::max(levelGain, 2.0 * (2.0 * nn - 1.0) / (nn * (nn + 1.0)));
            const double gainDrift = std::max(driftGain, 6.0 / (nn * (nn + 1.0)));
            const double innovation = level - predicted;
            t.level = predicted + gainLevel * innovation;
            t.rate += gainDrift * innovation / ahead;
            t.at = centre;
        }
        if (n < settledSegments) {
            continue; // too few segments yet: no correction
        }
        for (int j = 0; j < slots; ++j) {
            const double offset =
                t.level + t.rate * (j - middle) - applied[static_cast<std::size_t>(j)];
            offsets[p * static_cast<std::size_t>(slots) + static_cast<std::size_t>(j)] =
                std::copysign(std::max(std::abs(offset) - deadBand, 0.0), offset);
        }
    }
    for (int j = 0; j < slots; ++j) {
        const auto at = static_cast<std::size_t>(j);
        const double first = offsets[at];
        for (std::size_t line = 0; line < lines; ++line) {
            double value = first;
            if (trackers_.size() == 2) {
                // Between the pilots along the bins.
                const double second = offsets[static_cast<std::size_t>(slots) + at];
                const double low = bins_[static_cast<std::size_t>(pilotIndex_[0])];
                const double high = bins_[static_cast<std::size_t>(pilotIndex_[1])];
                value = first + (second - first) * (bins_[line] - low) / (high - low);
            }
            correction_[at * lines + line] = value;
        }
    }
    return correction_;
}

} // namespace nbtv
