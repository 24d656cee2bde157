#pragma once
// The column-synchronous fit of one segment of audio: every carrier's phase, relative to its
// bin-centre ramp, is continuous and piecewise linear with a knot at each slot boundary (a slot
// is one picture column on air, 256 transmitter samples). With one amplitude per carrier the
// model is
//   x(n) ~ sum over k of A(k) cos 2 pi [k u + theta + T(k, j) (1 - u) + T(k, j + 1) u]
// where u is the fraction of slot j at sample n and theta the common tuning phase. Fitting a
// column alone cannot separate carriers one bin apart; the continuity across boundaries can.
// The slope T(k, j + 1) - T(k, j) is the carrier's deviation in slot j, in bins.
// A fading channel changes the carriers' amplitudes within a segment, so A(k) is A(k, j), one
// value a slot, piecewise linear between amplitude knots a few slots apart (a least-squares fit
// that keeps neighbouring knots alike, so that a steady signal keeps one amplitude).

#include <cstddef>
#include <span>
#include <vector>

namespace nbtv {

// One slot of a segment: its samples and the straight run of the time axis through them.
struct SlotSpan {
    int first = 0;       // index of its first sample in the segment's samples
    int count = 0;       // samples in the slot (may be 0 where samples are missing)
    double u0 = 0.0;     // fraction of the slot at its first sample
    double du = 0.0;     // fraction per sample: the rate ratio / 256
    double theta0 = 0.0; // common tuning phase at its first sample, in cycles
    double dtheta = 0.0; // tuning phase per sample
};

class SegmentFit {
  public:
    // `carrierBins`: the bins of every carrier in the signal (lines and pilots).
    explicit SegmentFit(std::vector<int> carrierBins);

    // Fits `samples` over `slotSpans` (consecutive, covering the samples): start values from each
    // slot's own spectrum, then `iterations` rounds of amplitudes by least squares and one
    // Gauss-Newton step on all knots (at least one). Samples the fit then misses by far (static
    // crashes) are blanked and the rounds repeated without them. Leaves the amplitudes of the
    // last round and the mean squared residual of the final knots over the samples fitted.
    // With `crashes` (one flag a sample), the samples it marks are left out from the start and
    // no other crashes are looked for: fits that are compared with each other (at different
    // column phases) then leave out the same samples.
    void fit(std::span<const float> samples, std::span<const SlotSpan> slotSpans,
             int iterations = 2, const std::vector<bool>* crashes = nullptr);
    // The residual counts only the slots from `first` up to `last` (exclusive): the ends of a
    // segment fit less well, and a comparison of column phases must not depend on which
    // samples fall into them.
    void setResidualSlots(int first, int last) {
        residualFirst_ = first;
        residualLast_ = last;
    }

    int carriers() const { return carriers_; }
    // Deviation of carrier `k` (index into the bins) in slot `j`, in bins.
    double deviation(int k, int j) const {
        return knots_[static_cast<std::size_t>((j + 1) * carriers_ + k)] -
               knots_[static_cast<std::size_t>(j * carriers_ + k)];
    }
    // Amplitude of carrier `k` over the segment (the mean of its slots) and in slot `j`.
    double amplitude(int k) const;
    double amplitude(int k, int j) const {
        return slotAmplitude_[static_cast<std::size_t>(j * carriers_ + k)];
    }
    // Mean squared difference between the samples and the fitted model.
    double meanSquaredResidual() const { return meanSquaredResidual_; }
    // The same away from the static crashes the fit blanked (as above where it blanked none).
    double residualAwayFromCrashes() const { return residualAwayFromCrashes_; }
    // The same over slot `j` alone (0 where the slot has no samples), and the power of the
    // fitted carriers: how well the model holds there, against the noise and the signal.
    double slotResidual(int j) const { return slotResidual_[static_cast<std::size_t>(j)]; }
    int slotCount() const { return slots_; }
    // Parameters of the model a slot: each carrier's knot and its share of the amplitude knots.
    double parametersPerSlot() const {
        return slots_ > 0 ? carriers_ * (1.0 + static_cast<double>(amplitudeKnots_ - 1) / slots_)
                          : 0.0;
    }
    double modelPower() const;
    // Every sample's residual with the final knots (0 where it was blanked or left out with a
    // crash's slot).
    std::span<const float> residuals() const { return sampleResidual_; }
    // Samples blanked as impulses in the last fit (or given as crashes), and whether sample `i`
    // is one of them.
    int blanked() const { return blanked_; }
    bool blanked(std::size_t i) const { return blanked_ > 0 && hit_[i]; }
    // Samples of slot `j` blanked.
    int slotBlanked(int j) const { return slotBlanked_[static_cast<std::size_t>(j)]; }
    // Whether slot `j` lies within reach of a crash's remains.
    bool nearCrash(int j) const { return nearCrash_[static_cast<std::size_t>(j)]; }

  private:
    void startValues(std::span<const float> samples);
    void slotPhasors();
    void pairSums(bool hessian);
    void solveAmplitudes(std::span<const float> samples);
    void residualPass(std::span<const float> samples, bool gradient);
    void gaussNewtonStep();
    bool blankImpulses();
    void spareCrashes(std::span<const SlotSpan> whole);
    void measureAwayFromCrashes(std::span<const SlotSpan> whole);

    std::vector<int> bins_;
    int carriers_ = 0;
    int slots_ = 0;
    std::span<const SlotSpan> spans_;

    std::vector<double> knots_; // T(k, j): [j * K + k], j = 0 .. slots
    // Amplitude knots, [g * K + k], and which two of them (and how far between) each slot takes:
    // slot j lies between knot j (Na - 1) / (J - 1) and the next.
    int amplitudeKnots_ = 1;
    std::vector<double> amplitude_;
    std::vector<double> slotAmplitude_; // A(k, j): [j * K + k]
    double meanSquaredResidual_ = 0.0;
    double residualAwayFromCrashes_ = 0.0;
    std::vector<int> slotBlanked_;
    std::vector<bool> nearCrash_;
    std::vector<double> slotResidual_;
    std::vector<float> sampleResidual_; // of the final knots, per sample
    // Which samples static crashes hit, how many, and the slots cut to what the crashes spared.
    std::vector<bool> hit_;
    std::vector<SlotSpan> spared_;
    std::vector<int> wholeCount_; // each slot's samples before the crashes took some
    int blanked_ = 0;
    int residualFirst_ = 0;
    int residualLast_ = 1 << 30;

    // Per slot and carrier: the phasor at the slot's first sample and its step per sample.
    std::vector<double> startRe_, startIm_, stepRe_, stepIm_, endRe_, endIm_;
    // Least-squares matrix of the amplitude knots (block tridiagonal) and normal equations of the
    // phase knots (unscaled sums of products of the carriers, slot by slot; each slot's
    // amplitudes scale its own afterwards).
    std::vector<double> cosDiagonal_; // amplitudeKnots blocks K x K
    std::vector<double> cosCoupling_; // amplitudeKnots - 1 blocks: knot g with knot g + 1
    std::vector<double> diagonal_;    // (slotCount + 1) blocks K x K: slot j's part of knot j
    std::vector<double> diagonalEnd_; // slotCount blocks: slot j's part of knot j + 1
    std::vector<double> coupling_;    // one K x K block per slot: knot j with knot j + 1
    std::vector<double> gradient_;    // (slotCount + 1) x K
    // Scratch of the block solver.
    std::vector<double> factor_, elimination_;
};

} // namespace nbtv
