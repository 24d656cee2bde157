#include "enhance/ColumnPhase.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/Conversions.h"
#include "enhance/SlotGrid.h"
#include "enhance/TimeAxis.h"

namespace nbtv {

using slotGrid::marginSlots;
using slotGrid::segmentSlots;
using slotGrid::slotLength;

namespace {

// The column phase is searched on a coarse grid, then by halving the step down to this.
// (Both rounds of the fit are needed on the grid: one round ranks phases a quarter of a slot off
// little better than the right one on some photographs.)
constexpr double searchGrid = 32.0;
constexpr double finestStep = 0.25;
// Every few segments the column phase is compared with its neighbours half a sample away and
// moved to the parabola's minimum: it follows what remains of a rate error.
constexpr int trackEvery = 8;
constexpr double trackStep = 0.5;
// A move that the reach cut short, in the same direction as the last, doubles the reach up to
// this (samples): a phase left off the bottom of its valley by a search during an automatic
// tuning comes down in a few segments instead of tens.
constexpr double widestTrackReach = 4.0;
// Residuals that fall one way and bend by no more than this share of their fall lie on a slope,
// which tracking follows; a stronger bend either way (beside an interferer, say) is left alone.
// Chosen on the training photographs.
constexpr double straightSlope = 0.5;
// A segment that fits this much worse than usual has lost the column phase (samples dropped):
// it is searched again there.
constexpr double lostFactor = 4.0;
// The phase that search finds is kept only where it fits this much better than the old one: a
// crash's remains (below its blanking) make a segment fit worse at every phase, and a search
// there lands anywhere within a few samples, or further.
constexpr double foundFit = 0.5;
// A rate (transmitter samples per sample) or tuning (bins) this far from the ones the column
// phase was found with calls for a new search: a phase searched while an automatic tuning was
// still finding its way can sit in the wrong valley of the residual (up to half a slot off, a
// fit ten to a hundred times worse) or off the bottom of the right one, which following it
// leaves only slowly or never. A search that finds a phase fitting clearly better (by
// `movedFit`) is repeated at the next such move; one that finds the same valley waits twice as
// many segments as the last before the next, up to `longestSearchWait`, so that a radio
// drifting for hours is not searched every few seconds. A move ten times as far is searched at
// once. A search that moved the phase is repeated on the next segment whatever the tuning does:
// the segment it searched may have straddled the change of tuning that called for it. (One
// segment's search scatters by a few samples within a valley, fitting within a few per cent as
// well.)
constexpr double retunedRate = 2e-5;
constexpr double retunedBins = 0.005;
constexpr double farRetune = 10.0; // times the above
constexpr double movedFit = 0.9;
constexpr int longestSearchWait = 64;

} // namespace

ColumnPhase::ColumnPhase(std::vector<int> carrierBins, int sampleRate) {
    for (int lane = 0; lane < 3; ++lane) {
        lanes_.push_back(
            Lane{SegmentFit(carrierBins), InterfererCanceller(carrierBins, sampleRate)});
    }
    reset();
}

void ColumnPhase::reset() {
    locked_ = false;
    phase_ = 0.0;
    searchedRate_ = 0.0;
    searchedTuning_ = 0.0;
    segmentsSinceSearch_ = 0;
    searchWait_ = 1;
    searchAgain_ = false;
    typicalResidual_ = 0.0;
    residualCount_ = 0;
    fruitlessSearches_ = 0;
    segmentsSinceTrack_ = 0;
    trackInterval_ = trackEvery;
    lastMove_ = 0.0;
    trackReach_ = trackStep;
    neighbours_.reset();
    ahead_.reset();
}

// The tuning of the slots from `firstSlot` is taken a slot before them, the earliest that a
// search's candidates around `phase` reach: a retune that has come in but not yet reached the
// segment fitted calls for no search, and a search's candidates do not straddle the retune that
// called for it (those that straddle it fit worse whatever their phase, and a search then misses
// a valley that lies on their side).
double ColumnPhase::searchedFrom(std::int64_t firstSlot, double phase) {
    return slotLength * static_cast<double>(firstSlot - 1) - phase;
}

std::int64_t ColumnPhase::slotOf(double tau) const {
    return floorToInt((phase_ + tau) / slotLength);
}

bool ColumnPhase::lockOn(const TimeAxis& axis, bool atEnd) {
    if (axis.empty()) {
        return false;
    }
    // Slots counted with the phase at 0; a search may move them by up to one.
    const std::int64_t first = slotOf(axis.oldest()) + 1;
    const int available = static_cast<int>(slotOf(axis.newest()) - first) - 1;
    if (available >= acquisitionSlots) {
        acquire(axis, first, acquisitionSlots);
    } else if (atEnd && available >= marginSlots) {
        acquire(axis, first, available);
    } else {
        return false;
    }
    return true;
}

double ColumnPhase::fitAt(const TimeAxis& axis, double phase, std::int64_t firstSlot, int slotCount,
                          int iterations, int lane, Crashes crashes) {
    if (lane == 0 && iterations == 2 && crashes == Crashes::find) {
        if (const std::optional<double> done = takeAhead(phase, firstSlot, slotCount)) {
            return *done;
        }
    }
    Lane& on = lanes_[static_cast<std::size_t>(lane)];
    const SegmentSamples segment = axis.segment(phase, firstSlot, slotCount);
    const int margin = slotCount > 4 * marginSlots ? marginSlots : 0;
    on.fit.setResidualSlots(margin, slotCount - margin);
    std::vector<bool> known;
    if (crashes == Crashes::known) {
        known = knownCrashes(segment);
    }
    fitWithoutInterferers(on.fit, on.interferers, segment.samples, segment.spans, iterations,
                          crashes == Crashes::known ? &known : nullptr);
    if (crashes == Crashes::keep) {
        keepCrashes(axis, segment, lane);
    }
    return segment.samples.empty() ? 0.0 : on.fit.residualAwayFromCrashes();
}

void ColumnPhase::keepCrashes(const TimeAxis& axis, const SegmentSamples& segment, int lane) {
    const SegmentFit& fit = lanes_[static_cast<std::size_t>(lane)].fit;
    std::erase_if(crashes_, [&](const auto& run) { return run.second <= axis.forgotten(); });
    if (fit.blanked() == 0) {
        return;
    }
    const std::size_t n = segment.samples.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (!fit.blanked(i)) {
            continue;
        }
        std::size_t end = i + 1;
        while (end < n && fit.blanked(end)) {
            ++end;
        }
        std::pair<std::size_t, std::size_t> run{segment.start + i, segment.start + end};
        // Merged with the runs it touches.
        auto at = std::lower_bound(crashes_.begin(), crashes_.end(), run);
        while (at != crashes_.begin() && std::prev(at)->second >= run.first) {
            --at;
        }
        auto last = at;
        while (last != crashes_.end() && last->first <= run.second) {
            run.first = std::min(run.first, last->first);
            run.second = std::max(run.second, last->second);
            ++last;
        }
        at = crashes_.erase(at, last);
        crashes_.insert(at, run);
        i = end;
    }
}

bool ColumnPhase::crashesKnown(const TimeAxis& axis, std::int64_t firstSlot, int slotCount) const {
    if (crashes_.empty() || axis.empty()) {
        return false;
    }
    // The slots at the present phase, widened by a slot either way: a search moves them by up
    // to one.
    const SegmentSamples segment = axis.segment(phase_, firstSlot - 1, slotCount + 2);
    const std::size_t from = segment.start;
    const std::size_t to = segment.start + segment.samples.size();
    return std::any_of(crashes_.begin(), crashes_.end(),
                       [&](const auto& run) { return run.first < to && run.second > from; });
}

std::vector<bool> ColumnPhase::knownCrashes(const SegmentSamples& segment) const {
    const std::size_t from = segment.start;
    const std::size_t to = segment.start + segment.samples.size();
    std::vector<bool> flags(segment.samples.size(), false);
    for (const auto& [first, end] : crashes_) {
        for (std::size_t i = std::max(first, from); i < std::min(end, to); ++i) {
            flags[i - from] = true;
        }
    }
    return flags;
}

bool ColumnPhase::fittedAhead(double phase, std::int64_t firstSlot) const {
    return ahead_ && ahead_->phase == phase && ahead_->firstSlot == firstSlot;
}

// The residual of the fit at this phase if it was fitted beside the segment before, which it then
// moves into lane 0.
std::optional<double> ColumnPhase::takeAhead(double phase, std::int64_t firstSlot, int slotCount) {
    if (slotCount != segmentSlots || !fittedAhead(phase, firstSlot)) {
        return std::nullopt;
    }
    std::swap(lanes_[0], lanes_[2]);
    const double residual = ahead_->residual;
    ahead_.reset();
    return residual;
}

// Mean squared residual of fits over `slotCount` slots from `firstSlot`, with the column phase
// `phase`, in segments.
double ColumnPhase::searchResidual(const TimeAxis& axis, double phase, std::int64_t firstSlot,
                                   int slotCount, int iterations, int lane, Crashes crashes) {
    double sum = 0.0;
    int parts = 0;
    for (int done = 0; done < slotCount; done += segmentSlots) {
        const int length = std::min(segmentSlots, slotCount - done);
        sum += fitAt(axis, phase, firstSlot + done, length, iterations, lane, crashes);
        ++parts;
    }
    return parts == 0 ? 0.0 : sum / parts;
}

std::vector<double> ColumnPhase::searchResiduals(const TimeAxis& axis,
                                                 const std::vector<double>& phases,
                                                 std::int64_t firstSlot, int slotCount,
                                                 int iterations, Crashes crashes) {
    std::vector<double> residuals(phases.size());
    auto every = [&](std::size_t from, int lane) {
        for (std::size_t i = from; i < phases.size(); i += 2) {
            residuals[i] =
                searchResidual(axis, phases[i], firstSlot, slotCount, iterations, lane, crashes);
        }
    };
    helper_.run([&] { every(0, 0); }, [&] { every(1, 1); });
    return residuals;
}

// Finds the column phase that fits the slots best: a coarse grid, then halving steps. Slots
// are numbered with the current phase; the new phase is taken nearest to it, so numbering
// continues across a search. Every candidate leaves out the same crashes: those known, or
// else those the best of the grid finds (the grid is then searched again without them).
void ColumnPhase::acquire(const TimeAxis& axis, std::int64_t firstSlot, int slotCount) {
    const double old = phase_;
    double best = old;
    double bestResidual = std::numeric_limits<double>::infinity();
    std::vector<double> grid;
    for (double candidate = 0.0; candidate < slotLength; candidate += searchGrid) {
        grid.push_back(candidate + slotLength * std::round((old - candidate) / slotLength));
    }
    Crashes crashes = comparable(axis, firstSlot, slotCount);
    auto searchGridOnce = [&] {
        const std::vector<double> coarse =
            searchResiduals(axis, grid, firstSlot, slotCount, 2, crashes);
        bestResidual = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < grid.size(); ++i) {
            if (coarse[i] < bestResidual) {
                bestResidual = coarse[i];
                best = grid[i];
            }
        }
    };
    searchGridOnce();
    if (crashes == Crashes::find) {
        searchResidual(axis, best, firstSlot, slotCount, 2, 0, Crashes::keep);
        crashes = comparable(axis, firstSlot, slotCount);
        if (crashes == Crashes::known) {
            searchGridOnce();
        }
    }
    for (double step = searchGrid / 2.0; step >= finestStep; step /= 2.0) {
        const double centre = best;
        const std::vector<double> residuals =
            searchResiduals(axis, std::vector<double>{centre - step, centre + step}, firstSlot,
                            slotCount, 2, crashes);
        for (std::size_t at = 0; at < residuals.size(); ++at) {
            if (residuals[at] < bestResidual) {
                bestResidual = residuals[at];
                best = centre + (at == 0 ? -step : step);
            }
        }
    }
    phase_ = best;
    locked_ = true;
    segmentsSinceSearch_ = 0;
    const double from = searchedFrom(firstSlot, old);
    searchedRate_ = axis.rateAt(from);
    searchedTuning_ = axis.tuningAt(from);
}

double ColumnPhase::fitSegment(const TimeAxis& axis, std::int64_t firstSlot, int slotCount,
                               bool first, bool last, bool nextHere) {
    const double from = searchedFrom(firstSlot, phase_);
    const double rateMove = std::abs(axis.rateAt(from) - searchedRate_) / retunedRate;
    const double tuningMove =
        std::abs(axis.tuningAt(from) - searchedTuning_) * slotLength / retunedBins;
    const double move = std::max(rateMove, tuningMove);
    ++segmentsSinceSearch_;
    if (!last &&
        (move > farRetune || (move > 1.0 && segmentsSinceSearch_ >= searchWait_) || searchAgain_)) {
        // The phase was found with a tuning far from today's: the fit then was poorer and the
        // phase may be in the wrong valley.
        const double before = phase_;
        double residualBefore = fitAt(axis, before, firstSlot, slotCount);
        keepCrashes(axis, axis.segment(before, firstSlot, slotCount), 0);
        const Crashes crashes = comparable(axis, firstSlot, slotCount);
        if (crashes == Crashes::known) {
            residualBefore = fitAt(axis, before, firstSlot, slotCount, 2, 0, crashes);
        }
        acquire(axis, firstSlot, slotCount);
        searchAgain_ =
            fitAt(axis, phase_, firstSlot, slotCount, 2, 0, crashes) < movedFit * residualBefore;
        if (searchAgain_) {
            searchWait_ = 1;
        } else {
            phase_ = before;
            searchWait_ = std::min(2 * searchWait_, longestSearchWait);
        }
    }
    double residual = 0.0;
    const bool whole = !last && slotCount == segmentSlots;
    if (helper_.on() && whole && segmentsSinceTrack_ + 1 >= trackInterval_) {
        // A tracking step follows this segment: its neighbours are fitted beside it.
        Neighbours n{phase_, firstSlot, 0.0, 0.0};
        helper_.run(
            [&] {
                residual = fitAt(axis, phase_, firstSlot, slotCount);
                ahead_.reset(); // lane 2 is free
                n.above = fitAt(axis, n.phase + trackStep, firstSlot, segmentSlots, 2, 2);
            },
            [&] { n.below = fitAt(axis, n.phase - trackStep, firstSlot, segmentSlots, 2, 1); });
        neighbours_ = n;
    } else if (helper_.on() && whole && nextHere && !fittedAhead(phase_, firstSlot)) {
        // The next segment, at this phase, is fitted beside this one: unless this segment
        // moves the phase, that fit is the one it needs.
        Ahead next{phase_, firstSlot + segmentSlots - 2 * marginSlots, 0.0};
        ahead_.reset();
        helper_.run(
            [&] {
                residual = settle(axis, firstSlot, slotCount, first, last,
                                  fitAt(axis, phase_, firstSlot, slotCount));
            },
            [&] { next.residual = fitAt(axis, next.phase, next.firstSlot, segmentSlots, 2, 2); });
        ahead_ = next;
        return residual;
    } else {
        residual = fitAt(axis, phase_, firstSlot, slotCount);
    }
    return settle(axis, firstSlot, slotCount, first, last, residual);
}

// What the residual of a segment's fit at the phase says: a lost phase is searched again.
double ColumnPhase::settle(const TimeAxis& axis, std::int64_t firstSlot, int slotCount, bool first,
                           bool last, double residual) {
    keepCrashes(axis, axis.segment(phase_, firstSlot, slotCount), 0);
    bool usual = residualCount_ < 3 || residual <= lostFactor * typicalResidual_;
    if (!usual && !last) {
        // Lost: search here. A segment that straddles the loss fits badly with any phase;
        // the next one then searches again. Conditions that simply got worse (noise)
        // become the new usual after a second search that does not help.
        const double before = phase_;
        const double residualBefore = residual;
        acquire(axis, firstSlot, slotCount);
        residual = fitAt(axis, phase_, firstSlot, slotCount);
        usual = residual <= lostFactor * typicalResidual_;
        if (!usual && ++fruitlessSearches_ >= 2) {
            residualCount_ = 0;
            usual = true;
        }
        if (!(usual && residual < foundFit * residualBefore)) {
            // The phase found in a segment that straddles a loss, or that a crash's remains
            // spoil, means nothing: keep the old one. (Twice in a row no phase brings the
            // usual fit back: conditions got worse, and only a phase that fits clearly better
            // is taken.)
            phase_ = before;
            residual = fitAt(axis, phase_, firstSlot, slotCount);
        }
    }
    if (usual && !first) { // the first starts part-way into a column
        fruitlessSearches_ = 0;
        typicalResidual_ = residualCount_ == 0 ? residual : 0.8 * typicalResidual_ + 0.2 * residual;
        ++residualCount_;
    }
    return residual;
}

void ColumnPhase::follow(const TimeAxis& axis, std::int64_t firstSlot, double residual, bool last) {
    if (++segmentsSinceTrack_ >= trackInterval_ && !last) {
        // A phase that keeps moving one way (what remains of a rate error) is followed every
        // segment; moves to and fro are noise.
        segmentsSinceTrack_ = 0;
        const double move = track(axis, firstSlot, residual);
        const bool drifting = std::abs(move) > 0.4 * trackStep && move * lastMove_ > 0.0;
        trackInterval_ = drifting ? 1 : std::min(2 * trackInterval_, trackEvery);
        const bool cut = std::abs(move) >= trackReach_ && move * lastMove_ > 0.0;
        trackReach_ = cut ? std::min(2.0 * trackReach_, widestTrackReach) : trackStep;
        lastMove_ = move;
    }
}

// Moves the column phase to the minimum of a parabola through the residuals half a sample
// either side of it.
double ColumnPhase::track(const TimeAxis& axis, std::int64_t firstSlot, double here) {
    double below = 0.0;
    double above = 0.0;
    const Crashes crashes = comparable(axis, firstSlot, segmentSlots);
    if (crashes == Crashes::known) {
        // The three fits compared leave out the same crashes (the neighbours fitted ahead found
        // their own).
        helper_.run(
            [&] {
                below = fitAt(axis, phase_ - trackStep, firstSlot, segmentSlots, 2, 0, crashes);
            },
            [&] {
                above = fitAt(axis, phase_ + trackStep, firstSlot, segmentSlots, 2, 1, crashes);
            });
        here = fitAt(axis, phase_, firstSlot, segmentSlots, 2, 0, crashes);
    } else if (neighbours_ && neighbours_->phase == phase_ && neighbours_->firstSlot == firstSlot) {
        below = neighbours_->below;
        above = neighbours_->above;
    } else {
        helper_.run(
            [&] { below = fitAt(axis, phase_ - trackStep, firstSlot, segmentSlots); },
            [&] { above = fitAt(axis, phase_ + trackStep, firstSlot, segmentSlots, 2, 1); });
    }
    neighbours_.reset();
    const double curvature = below - 2.0 * here + above;
    double move = 0.0;
    if (curvature > 0.0) {
        move = std::clamp(0.5 * trackStep * (below - above) / curvature, -trackReach_, trackReach_);
    } else if (((below < here && here < above) || (above < here && here < below)) &&
               std::abs(curvature) <= straightSlope * std::abs(below - above)) {
        // No valley within the steps, only a slope (the fit's noise floor, high against a weak
        // signal, flattens the residual's curve): down it as far as the reach allows.
        move = below < above ? -trackReach_ : trackReach_;
    }
    phase_ += move;
    return move;
}

} // namespace nbtv
