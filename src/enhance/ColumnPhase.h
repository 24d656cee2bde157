#pragma once
// The column phase: where on the captured samples the columns on air begin. It is found by
// fitting the first slots with many candidate phases and keeping the one that leaves the least
// residual, then followed segment by segment: compared now and then with its neighbours half a
// sample away (what remains of a rate error moves it slowly), and searched again where the fit
// suddenly gets much worse (samples dropped) or the tuning moved far from the one it was found
// with.

#include <cstdint>
#include <optional>
#include <vector>

#include "enhance/FitHelper.h"
#include "enhance/Interferer.h"
#include "enhance/SegmentFit.h"

namespace nbtv {

class TimeAxis;
struct SegmentSamples;

class ColumnPhase {
  public:
    // Slots over which the column phase is first searched.
    static constexpr int acquisitionSlots = 144;

    // `carrierBins`: every tone of the signal, as the fit models them; `sampleRate`: the
    // capture's.
    ColumnPhase(std::vector<int> carrierBins, int sampleRate);

    void reset();

    // Fits that do not depend on each other (search candidates, a tracking step's neighbours)
    // run two at a time on a second thread (off at start). The results are the same either way.
    void setSecondThread(bool on) { helper_.setOn(on); }

    bool locked() const { return locked_; }
    // Transmitter time (samples) of stream sample 0, modulo a column.
    double phase() const { return phase_; }
    // The slot that holds tau, with this phase.
    std::int64_t slotOf(double tau) const;

    // Searches the phase over the first slots of `axis` once enough have come in (at the end of
    // the input, over as many as there are). Whether it is locked now.
    bool lockOn(const TimeAxis& axis, bool atEnd);

    // Fits the segment of `slotCount` slots from `firstSlot` at the column phase, after a new
    // search if the tuning moved far, and searches again if the fit shows the phase lost. The
    // first segment (it starts part-way into a column) and the last (shorter) do not count
    // towards the usual residual. Returns the residual; fit() holds this segment's fit. With
    // `nextHere` (the samples of the next whole segment are in `axis`) and the second thread
    // on, the next segment is fitted beside this one at the phase as it stands (unless this one
    // was fitted ahead itself: then the next one has its successor fitted beside it).
    double fitSegment(const TimeAxis& axis, std::int64_t firstSlot, int slotCount, bool first,
                      bool last, bool nextHere = false);
    const SegmentFit& fit() const { return lanes_[0].fit; }
    // Whether the segment from `firstSlot` was fitted already at this phase, beside the one
    // before (see fitSegment).
    bool fittedAhead(double phase, std::int64_t firstSlot) const;

    // After a segment is kept: every few segments, moves the phase towards where its neighbours
    // fit better (the residual of the segment at the phase is `residual`).
    void follow(const TimeAxis& axis, std::int64_t firstSlot, double residual, bool last);

  private:
    // A fit and its interferer canceller; lane 0 holds the segment's fit.
    struct Lane {
        SegmentFit fit;
        InterfererCanceller interferers; // taken away from every segment before its fit
    };

    // How a fit treats static crashes: finds them itself, finds them and keeps them as known, or
    // leaves out the known ones alone (so that fits compared with each other leave out the same
    // samples: each fit's own finds would differ with its phase, and a crash's remains outweigh
    // the difference the phase makes).
    enum class Crashes { find, keep, known };

    double fitAt(const TimeAxis& axis, double phase, std::int64_t firstSlot, int slotCount,
                 int iterations = 2, int lane = 0, Crashes crashes = Crashes::find);
    double searchResidual(const TimeAxis& axis, double phase, std::int64_t firstSlot, int slotCount,
                          int iterations, int lane, Crashes crashes);
    // The search residuals of `phases` (in that order), half of them on the second lane.
    std::vector<double> searchResiduals(const TimeAxis& axis, const std::vector<double>& phases,
                                        std::int64_t firstSlot, int slotCount, int iterations,
                                        Crashes crashes);
    // Keeps the crashes that the fit in `lane` of `segment` found; whether any were known
    // within reach of the slots from `firstSlot` (at any phase); the known ones as flags over
    // `segment`'s samples.
    void keepCrashes(const TimeAxis& axis, const SegmentSamples& segment, int lane);
    bool crashesKnown(const TimeAxis& axis, std::int64_t firstSlot, int slotCount) const;
    std::vector<bool> knownCrashes(const SegmentSamples& segment) const;
    // Finds crashes if none are known for these slots, or leaves out those that are.
    Crashes comparable(const TimeAxis& axis, std::int64_t firstSlot, int slotCount) const {
        return crashesKnown(axis, firstSlot, slotCount) ? Crashes::known : Crashes::find;
    }
    static double searchedFrom(std::int64_t firstSlot, double phase);
    std::optional<double> takeAhead(double phase, std::int64_t firstSlot, int slotCount);
    double settle(const TimeAxis& axis, std::int64_t firstSlot, int slotCount, bool first,
                  bool last, double residual);
    void acquire(const TimeAxis& axis, std::int64_t firstSlot, int slotCount);
    double track(const TimeAxis& axis, std::int64_t firstSlot, double residualHere);

    std::vector<Lane> lanes_;
    FitHelper helper_;
    // Static crashes found in the kept fits: runs of samples [first, end), counted among all
    // the samples added, in order and apart.
    std::vector<std::pair<std::size_t, std::size_t>> crashes_;
    // The residuals half a sample either side of the phase of a segment that a tracking step
    // will compare, fitted beside the segment's own fit.
    struct Neighbours {
        double phase = 0.0;
        std::int64_t firstSlot = 0;
        double below = 0.0;
        double above = 0.0;
    };
    std::optional<Neighbours> neighbours_;
    // The fit of the segment after the last, in lane 2, at this phase.
    struct Ahead {
        double phase = 0.0;
        std::int64_t firstSlot = 0;
        double residual = 0.0;
    };
    std::optional<Ahead> ahead_;
    bool locked_ = false;
    double phase_ = 0.0;

    // The tuning the phase was found with: a very different one calls for a new search.
    double searchedRate_ = 0.0;
    double searchedTuning_ = 0.0;
    // Segments since the last search, and how many a search on a small move of the tuning
    // waits for.
    int segmentsSinceSearch_ = 0;
    int searchWait_ = 1;
    bool searchAgain_ = false; // the last search moved the phase: search the next segment too

    // The usual residual of a segment, against which a lost phase shows.
    double typicalResidual_ = 0.0;
    int residualCount_ = 0;
    int fruitlessSearches_ = 0; // searches in a row that did not bring the usual fit back

    int segmentsSinceTrack_ = 0;
    int trackInterval_ = 0;
    double lastMove_ = 0.0;   // the phase's last tracking move
    double trackReach_ = 0.0; // how far (samples) one tracking move may go
};

} // namespace nbtv
