#include "enhance/SegmentFit.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>

#include "enhance/DenseAlgebra.h"
#include "enhance/VectorClones.h"

namespace nbtv {

namespace {

constexpr double twoPi = 2.0 * std::numbers::pi;
// A Gauss-Newton step larger than this (cycles) is not trusted.
constexpr double maxStep = 0.1;
// A residual beyond this many robust standard deviations and this many times the signal's RMS
// starts a static crash (at Gaussian noise the first happens once in millions of samples; a
// fade the model misses leaves less than the second, chosen on the training photographs), which
// lasts while the residual stays above the lower tail bounds; it is blanked with a guard of this
// many samples either side (a receiver's filter rings), in up to this many passes (the fit
// without the worst of a crash shows the rest).
constexpr double impulseThreshold = 5.0;
constexpr double impulseOverSignal = 6.0;
constexpr double crashTail = 2.5;
constexpr double crashTailOverSignal = 0.5;
// A weaker crash (a few times the signal's RMS, above what a fade the model misses in part
// leaves) starts one too where it stands this many robust standard deviations out of the
// residual within `onsetWindow` samples either side: a missed fade spreads over many slots and
// raises them all, a crash's few milliseconds leave most of them at the noise.
constexpr double weakCrashOverSignal = 2.0;
constexpr double weakOverLocal = 20.0;
constexpr std::ptrdiff_t onsetWindow = 512;
// A crash lasts a few milliseconds; a longer run of large residuals is a fade the model does not
// follow, which blanking would only make worse.
constexpr std::ptrdiff_t maxCrashSamples = 256;
constexpr int impulseGuard = 8;
constexpr int blankingPasses = 2;
// A slot a crash leaves fewer samples than this is fitted from its neighbours alone.
constexpr int minimumSpared = 16;
// A crash's remains reach this many slots either side of its blanked samples.
constexpr int crashReach = 4;
// Amplitude knots stand about this many slots apart (a fade of 0.5 Hz turns a carrier's
// amplitude round within a segment, yet hardly within a few slots); neighbouring knots are kept
// alike with this weight, against the samples between them (chosen on the training photographs).
constexpr int amplitudeSpacing = 6;
constexpr double amplitudeStiffness = 0.1;

// The amplitude knots of a segment of `slots` slots, and the two that slot `j` lies between:
// the first and its weight (the next takes the rest).
int amplitudeKnotCount(int slots) {
    return slots > 1 ? 1 + (slots - 1 + amplitudeSpacing / 2) / amplitudeSpacing : 1;
}
struct KnotPair {
    std::size_t first = 0;
    double weight = 1.0; // of the first; 1 - weight of the next
};
KnotPair amplitudeKnotsOf(int j, int slots, int knots) {
    if (knots <= 1) {
        return {};
    }
    const int scaled = j * (knots - 1);
    const int first = std::min(scaled / (slots - 1), knots - 2);
    return {static_cast<std::size_t>(first),
            1.0 - static_cast<double>(scaled - first * (slots - 1)) / (slots - 1)};
}

struct Complex {
    double re = 0.0;
    double im = 0.0;
};

inline Complex mul(Complex a, Complex b) {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
inline Complex mulConj(Complex a, Complex b) { // a * conj(b)
    return {a.re * b.re + a.im * b.im, a.im * b.re - a.re * b.im};
}
inline Complex add(Complex a, Complex b) {
    return {a.re + b.re, a.im + b.im};
}
inline Complex scale(Complex a, double s) {
    return {a.re * s, a.im * s};
}
// Real part of a * b.
inline double reMul(Complex a, Complex b) {
    return a.re * b.re - a.im * b.im;
}

inline double fraction(double cycles) {
    return cycles - std::floor(cycles);
}

// Sums over m = 0 .. L-1 of m^p q^m for p = 0, 1, 2, given Q = q^L. The closed forms follow from
// (1 - q) S_p = sum of (m^p - (m-1)^p) q^m - (L-1)^p Q and stay accurate until q is within
// rounding of 1, where the plain power sums take over.
struct PowerSums {
    Complex s0, s1, s2;
};

// The closed forms alone, with |1 - q|^2 in `norm`: not finite where q is 1. No branch, so a
// loop over partners runs in vector registers.
inline PowerSums closedPowerSums(Complex q, Complex bigQ, double lm1, double& norm) {
    const Complex w{1.0 - q.re, -q.im};
    norm = w.re * w.re + w.im * w.im;
    const Complex h{w.re / norm, -w.im / norm};
    const Complex s0 = mul({1.0 - bigQ.re, -bigQ.im}, h);
    const Complex s0m1{s0.re - 1.0, s0.im};
    const Complex s1 = mul({s0m1.re - lm1 * bigQ.re, s0m1.im - lm1 * bigQ.im}, h);
    const Complex s2 = mul(
        {2.0 * s1.re - s0m1.re - lm1 * lm1 * bigQ.re, 2.0 * s1.im - s0m1.im - lm1 * lm1 * bigQ.im},
        h);
    return {s0, s1, s2};
}

inline PowerSums powerSums(Complex q, Complex bigQ, int count) {
    const double l = count;
    double norm = 0.0;
    const PowerSums closed = closedPowerSums(q, bigQ, l - 1.0, norm);
    if (norm < 1e-24) {
        return {{l, 0.0}, {l * (l - 1.0) / 2.0, 0.0}, {(l - 1.0) * l * (2.0 * l - 1.0) / 6.0, 0.0}};
    }
    return closed;
}

// Weighted sum c0 S0 + c1 S1 + c2 S2.
inline Complex weighted(const PowerSums& s, double c0, double c1, double c2) {
    return {c0 * s.s0.re + c1 * s.s1.re + c2 * s.s2.re, c0 * s.s0.im + c1 * s.s1.im + c2 * s.s2.im};
}

// The sum over a slot of w(u) sin(phase_k) sin(phase_l), w = c0 + c1 m + c2 m^2, from the power
// sums of the difference (d) and sum (s) frequencies and their phase factors pd and ps.
inline double sineProduct(Complex pd, const PowerSums& d, Complex ps, const PowerSums& s, double c0,
                          double c1, double c2) {
    return 0.5 * (reMul(pd, weighted(d, c0, c1, c2)) - reMul(ps, weighted(s, c0, c1, c2)));
}

// The terms of carrier k with every partner l >= k from the closed forms, in plain arrays so
// that the loop runs in vector registers. Where q meets 1 the terms are not finite; the caller
// replaces them.
struct SlotWeights {
    double a0, a1, a2, b0, b1, b2, c0, c1, c2;
};

NBTV_VECTOR_CLONES void pairRow(std::size_t k, std::size_t kc, const double* __restrict sr,
                                const double* __restrict si, const double* __restrict qr,
                                const double* __restrict qi, const double* __restrict er,
                                const double* __restrict ei, double lm1, const SlotWeights& w,
                                double* __restrict cc, double* __restrict ll, double* __restrict bb,
                                double* __restrict rr, double* __restrict nd,
                                double* __restrict ns) {
    const Complex start{sr[k], si[k]}, step{qr[k], qi[k]}, end{er[k], ei[k]};
    for (std::size_t l = k; l < kc; ++l) {
        const Complex start2{sr[l], si[l]}, step2{qr[l], qi[l]}, end2{er[l], ei[l]};
        // Difference and sum frequencies, and their phase factors.
        const PowerSums d = closedPowerSums(mulConj(step, step2), mulConj(end, end2), lm1, nd[l]);
        const PowerSums s = closedPowerSums(mul(step, step2), mul(end, end2), lm1, ns[l]);
        const Complex pd = mulConj(start, start2);
        const Complex ps = mul(start, start2);
        cc[l] = 0.5 * (reMul(pd, d.s0) + reMul(ps, s.s0));
        ll[l] = sineProduct(pd, d, ps, s, w.a0, w.a1, w.a2);
        bb[l] = sineProduct(pd, d, ps, s, w.b0, w.b1, w.b2);
        rr[l] = sineProduct(pd, d, ps, s, w.c0, w.c1, w.c2);
    }
}

// The robust standard deviation of residual magnitudes (1.4826 times their median); reorders
// `magnitudes`, which must not be empty.
double robustSigma(std::vector<float>& magnitudes) {
    const auto middle = magnitudes.begin() + static_cast<std::ptrdiff_t>(magnitudes.size() / 2);
    std::nth_element(magnitudes.begin(), middle, magnitudes.end());
    return 1.4826 * static_cast<double>(*middle);
}

} // namespace

SegmentFit::SegmentFit(std::vector<int> carrierBins)
    : bins_(std::move(carrierBins)), carriers_(static_cast<int>(bins_.size())) {}

void SegmentFit::fit(std::span<const float> samples, std::span<const SlotSpan> slotSpans,
                     int iterations, const std::vector<bool>* crashes) {
    spans_ = slotSpans;
    slots_ = static_cast<int>(slotSpans.size());
    const auto k = static_cast<std::size_t>(carriers_);
    const auto j = static_cast<std::size_t>(slots_);
    knots_.assign((j + 1) * k, 0.0);
    amplitudeKnots_ = amplitudeKnotCount(slots_);
    const auto na = static_cast<std::size_t>(amplitudeKnots_);
    amplitude_.assign(na * k, 0.0);
    slotAmplitude_.assign(j * k, 0.0);
    startRe_.assign(j * k, 1.0);
    startIm_.assign(j * k, 0.0);
    stepRe_.assign(j * k, 1.0);
    stepIm_.assign(j * k, 0.0);
    endRe_.assign(j * k, 1.0);
    endIm_.assign(j * k, 0.0);
    cosDiagonal_.assign(na * k * k, 0.0);
    cosCoupling_.assign((na - 1) * k * k, 0.0);
    // Every block of these is written whole by each pairSums (the knots' normal equations).
    diagonal_.resize((j + 1) * k * k);
    diagonalEnd_.resize(j * k * k);
    coupling_.resize(j * k * k);
    gradient_.assign((j + 1) * k, 0.0);
    meanSquaredResidual_ = 0.0;
    residualAwayFromCrashes_ = 0.0;
    slotResidual_.assign(j, 0.0);
    slotBlanked_.assign(j, 0);
    nearCrash_.assign(j, false);
    if (slots_ == 0 || carriers_ == 0 || samples.empty()) {
        return;
    }

    blanked_ = 0;
    wholeCount_.resize(j);
    for (std::size_t i = 0; i < j; ++i) {
        wholeCount_[i] = slotSpans[i].count;
    }
    if (crashes != nullptr && crashes->size() == samples.size()) {
        hit_ = *crashes;
        blanked_ = static_cast<int>(std::count(hit_.begin(), hit_.end(), true));
        if (blanked_ > 0) {
            spareCrashes(slotSpans);
            spans_ = spared_;
        }
    }
    startValues(samples);
    auto rounds = [&](std::span<const float> x) {
        for (int i = 0; i < std::max(iterations, 1); ++i) {
            slotPhasors();
            pairSums(true);
            solveAmplitudes(x);
            residualPass(x, true);
            gaussNewtonStep();
        }
        // The residual of the final knots (with the amplitudes of the last round) ranks column
        // phases; the one measured before the last step would not.
        slotPhasors();
        residualPass(x, false);
    };
    rounds(samples);
    // Static crashes: samples the model misses by far more than the noise are blanked with
    // their neighbours, and the fit repeated without them: each slot a crash hit keeps the
    // longest run of its samples the crash spared, so that the knots there follow from their
    // neighbours and the samples left rather than from the crash.
    for (int pass = 0; pass < (crashes != nullptr ? 0 : blankingPasses); ++pass) {
        if (!blankImpulses()) {
            break;
        }
        spareCrashes(slotSpans);
        spans_ = spared_;
        rounds(samples);
    }
    measureAwayFromCrashes(slotSpans);
}

// The mean squared residual of the counted slots more than `crashReach` slots from any slot with
// blanked samples: the noise floor away from the crashes, which a crash's remains (the tail
// below the blanking) would otherwise outweigh. `whole`: the slots as given, crashes and all.
void SegmentFit::measureAwayFromCrashes(std::span<const SlotSpan> whole) {
    residualAwayFromCrashes_ = meanSquaredResidual_;
    if (blanked_ == 0) {
        return;
    }
    std::vector<bool>& near = nearCrash_;
    for (int j = 0; j < slots_; ++j) {
        const SlotSpan& slot = whole[static_cast<std::size_t>(j)];
        const auto from = hit_.begin() + slot.first;
        const auto hits = std::count(from, from + slot.count, true);
        slotBlanked_[static_cast<std::size_t>(j)] = static_cast<int>(hits);
        if (hits > 0) {
            for (int i = std::max(0, j - crashReach); i <= std::min(slots_ - 1, j + crashReach);
                 ++i) {
                near[static_cast<std::size_t>(i)] = true;
            }
        }
    }
    double squares = 0.0;
    double counted = 0.0;
    for (int j = std::max(residualFirst_, 0); j < std::min(residualLast_, slots_); ++j) {
        const auto at = static_cast<std::size_t>(j);
        if (!near[at]) {
            squares += slotResidual_[at] * spans_[at].count;
            counted += spans_[at].count;
        }
    }
    if (counted > 0.0) {
        residualAwayFromCrashes_ = squares / counted;
    }
}

// Marks the static crashes in `hit_`. A crash starts where the residual stands far out of the
// noise (`impulseThreshold` robust standard deviations) and far above the signal itself
// (`impulseOverSignal` times its RMS: a model that misses a fade leaves residuals as large as the
// signal, never larger), or, a weaker one, far above the residual around it; it goes on while
// the residual within `impulseGuard` samples stays above the lower `crashTail` bound, and takes
// `impulseGuard` samples either side; a run longer than a crash is left alone. Samples already
// blanked have no residual and end a run. Whether any sample was newly blanked.
bool SegmentFit::blankImpulses() {
    const std::size_t n = sampleResidual_.size();
    if (n == 0) {
        return false;
    }
    if (blanked_ == 0) {
        hit_.assign(n, false);
    }
    std::vector<float> magnitude(n);
    std::vector<float> sorted;
    sorted.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        magnitude[i] = std::abs(sampleResidual_[i]);
        if (!hit_[i]) {
            sorted.push_back(magnitude[i]);
        }
    }
    if (sorted.empty()) {
        return false;
    }
    const double sigma = robustSigma(sorted);
    const double rms = std::sqrt(modelPower());
    const double seed = std::max(impulseThreshold * sigma, impulseOverSignal * rms);
    const double tail = std::max(crashTail * sigma, crashTailOverSignal * rms);
    if (!(seed > 0.0)) {
        return false;
    }
    bool any = false;
    const auto guard = static_cast<std::ptrdiff_t>(impulseGuard);
    const auto count = static_cast<std::ptrdiff_t>(n);
    auto mark = [&](std::ptrdiff_t from, std::ptrdiff_t to) {
        for (std::ptrdiff_t m = std::max<std::ptrdiff_t>(0, from); m < std::min(count, to); ++m) {
            const auto u = static_cast<std::size_t>(m);
            if (!hit_[u]) {
                hit_[u] = true;
                ++blanked_;
                any = true;
            }
        }
    };
    // Whether the residual stays above the tail within a guard after `at`.
    auto continues = [&](std::ptrdiff_t at) {
        for (std::ptrdiff_t m = at; m < std::min(count, at + guard); ++m) {
            if (magnitude[static_cast<std::size_t>(m)] > tail) {
                return true;
            }
        }
        return false;
    };
    const double weakSeed = std::max(impulseThreshold * sigma, weakCrashOverSignal * rms);
    // The residual's robust standard deviation over the samples not blanked within
    // `onsetWindow` of `at` (none there: infinite, so that only the strong seed counts).
    // (Taken again only a sixteenth of the window on: a missed fade's many large residuals
    // would otherwise each sort a window.)
    std::vector<float> near;
    std::ptrdiff_t sigmaAt = -onsetWindow;
    double sigmaThere = 0.0;
    auto localSigma = [&](std::ptrdiff_t at) {
        if (std::abs(at - sigmaAt) < onsetWindow / 16) {
            return sigmaThere;
        }
        sigmaAt = at;
        near.clear();
        for (std::ptrdiff_t m = std::max<std::ptrdiff_t>(0, at - onsetWindow);
             m < std::min(count, at + onsetWindow); ++m) {
            if (!hit_[static_cast<std::size_t>(m)]) {
                near.push_back(magnitude[static_cast<std::size_t>(m)]);
            }
        }
        sigmaThere = near.size() >= static_cast<std::size_t>(onsetWindow)
                         ? robustSigma(near)
                         : std::numeric_limits<double>::infinity();
        return sigmaThere;
    };
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        const double here = magnitude[static_cast<std::size_t>(i)];
        if (here <= weakSeed || (here <= seed && !(here > weakOverLocal * localSigma(i)))) {
            continue;
        }
        std::ptrdiff_t start = i;
        while (start > 0 && magnitude[static_cast<std::size_t>(start - 1)] > tail) {
            --start;
        }
        std::ptrdiff_t end = i + 1;
        while (end < count && continues(end)) {
            ++end;
        }
        if (end - start <= maxCrashSamples) {
            mark(start - guard, end + guard);
        }
        i = end;
    }
    return any;
}

// The slots of `whole` each cut to the longest run of its samples that no crash hit (none where
// that run is too short to say anything), in `spared_`.
void SegmentFit::spareCrashes(std::span<const SlotSpan> whole) {
    spared_.assign(whole.begin(), whole.end());
    for (SlotSpan& slot : spared_) {
        int bestFirst = 0;
        int bestCount = 0;
        int runFirst = 0;
        for (int m = 0; m <= slot.count; ++m) {
            if (m == slot.count || hit_[static_cast<std::size_t>(slot.first + m)]) {
                if (m - runFirst > bestCount) {
                    bestFirst = runFirst;
                    bestCount = m - runFirst;
                }
                runFirst = m + 1;
            }
        }
        if (bestCount == slot.count) {
            continue;
        }
        if (bestCount < minimumSpared) {
            bestCount = 0;
        }
        slot.first += bestFirst;
        slot.count = bestCount;
        slot.u0 += slot.du * bestFirst;
        slot.theta0 += slot.dtheta * bestFirst;
    }
}

// The phase of each carrier over each slot, from the slot's own spectrum at the carrier's bin
// centre: about the mean of the slot's two knots, which gives the knots as midpoints.
NBTV_VECTOR_CLONES void SegmentFit::startValues(std::span<const float> samples) {
    const auto kc = static_cast<std::size_t>(carriers_);
    std::vector<double> mean(static_cast<std::size_t>(slots_) * kc, 0.0);
    std::vector<bool> heard(static_cast<std::size_t>(slots_), false);
    std::vector<double> cr(kc), ci(kc), sr(kc), si(kc), zr(kc), zi(kc);
    for (int j = 0; j < slots_; ++j) {
        const SlotSpan& slot = spans_[static_cast<std::size_t>(j)];
        // A slot a crash took samples from is too short to tell its carriers apart: it starts
        // from its neighbour's phases.
        if (slot.count <= 0 || slot.count < wholeCount_[static_cast<std::size_t>(j)]) {
            continue;
        }
        heard[static_cast<std::size_t>(j)] = true;
        for (std::size_t k = 0; k < kc; ++k) {
            const double a = twoPi * fraction(bins_[k] * slot.u0 + slot.theta0);
            const double b = twoPi * (bins_[k] * slot.du + slot.dtheta);
            cr[k] = std::cos(a);
            ci[k] = std::sin(a);
            sr[k] = std::cos(b);
            si[k] = std::sin(b);
            zr[k] = 0.0;
            zi[k] = 0.0;
        }
        for (int m = 0; m < slot.count; ++m) {
            const double x = samples[static_cast<std::size_t>(slot.first + m)];
            for (std::size_t k = 0; k < kc; ++k) {
                zr[k] += x * cr[k];
                zi[k] -= x * ci[k];
                const double r = cr[k] * sr[k] - ci[k] * si[k];
                ci[k] = cr[k] * si[k] + ci[k] * sr[k];
                cr[k] = r;
            }
        }
        for (std::size_t k = 0; k < kc; ++k) {
            mean[static_cast<std::size_t>(j) * kc + k] = std::atan2(zi[k], zr[k]) / twoPi;
        }
    }

    for (std::size_t k = 0; k < kc; ++k) {
        // Unwrap along the slots (a slot's deviation stays well within half a cycle); slots
        // without samples take their heard neighbour's phase.
        double previous = 0.0;
        bool started = false;
        for (int j = 0; j < slots_; ++j) {
            double& m = mean[static_cast<std::size_t>(j) * kc + k];
            if (!heard[static_cast<std::size_t>(j)]) {
                m = previous;
                continue;
            }
            if (started) {
                m = previous + (m - previous - std::round(m - previous));
            }
            previous = m;
            started = true;
        }
        auto at = [&](int j) { return mean[static_cast<std::size_t>(j) * kc + k]; };
        auto knot = [&](int j) -> double& { return knots_[static_cast<std::size_t>(j) * kc + k]; };
        if (slots_ == 1) {
            knot(0) = knot(1) = at(0);
            continue;
        }
        for (int j = 1; j < slots_; ++j) {
            knot(j) = 0.5 * (at(j - 1) + at(j));
        }
        knot(0) = at(0) - 0.5 * (at(1) - at(0));
        knot(slots_) = at(slots_ - 1) + 0.5 * (at(slots_ - 1) - at(slots_ - 2));
    }
}

void SegmentFit::slotPhasors() {
    const auto kc = static_cast<std::size_t>(carriers_);
    for (int j = 0; j < slots_; ++j) {
        const SlotSpan& slot = spans_[static_cast<std::size_t>(j)];
        const std::size_t row = static_cast<std::size_t>(j) * kc;
        for (std::size_t k = 0; k < kc; ++k) {
            const double left = knots_[row + k];
            const double slope = knots_[row + kc + k] - left;
            const double a =
                twoPi * fraction(bins_[k] * slot.u0 + slot.theta0 + left + slope * slot.u0);
            const double perSample = bins_[k] * slot.du + slot.dtheta + slope * slot.du;
            startRe_[row + k] = std::cos(a);
            startIm_[row + k] = std::sin(a);
            stepRe_[row + k] = std::cos(twoPi * perSample);
            stepIm_[row + k] = std::sin(twoPi * perSample);
            const double whole = twoPi * fraction(perSample * slot.count);
            endRe_[row + k] = std::cos(whole);
            endIm_[row + k] = std::sin(whole);
        }
    }
}

// Sums over each slot of products of the carriers, in closed form: within a slot every
// carrier's phase is linear, so a product is a weighted geometric series. cos x cos gives the
// amplitude knots' least-squares matrix (each slot's weighted by the two knots it lies between);
// sin x sin with the knots' weights (1 - u)^2, u (1 - u), u^2 gives the normal equations of the
// knots, kept slot by slot for the slot's amplitudes to scale.
NBTV_VECTOR_CLONES void SegmentFit::pairSums(bool hessian) {
    const auto kc = static_cast<std::size_t>(carriers_);
    const std::size_t kk = kc * kc;
    std::fill(cosDiagonal_.begin(), cosDiagonal_.end(), 0.0);
    std::fill(cosCoupling_.begin(), cosCoupling_.end(), 0.0);
    if (hessian) {
        // Each slot's blocks hold that slot's sums alone: written, not added to (the last knot's
        // block and those of slots without samples stay empty).
        std::fill_n(&diagonal_[static_cast<std::size_t>(slots_) * kk], kk, 0.0);
        for (int j = 0; j < slots_; ++j) {
            if (spans_[static_cast<std::size_t>(j)].count <= 0) {
                const std::size_t at = static_cast<std::size_t>(j) * kk;
                std::fill_n(&diagonal_[at], kk, 0.0);
                std::fill_n(&diagonalEnd_[at], kk, 0.0);
                std::fill_n(&coupling_[at], kk, 0.0);
            }
        }
    }
    // One row of pair terms at a time, in plain arrays so that the loop over the partners runs
    // in vector registers.
    std::vector<double> terms(6 * kc);
    double* cc = terms.data();
    double* ll = cc + kc;
    double* bb = ll + kc;
    double* rr = bb + kc;
    double* nd = rr + kc; // |1 - q| squared of the difference and sum frequencies
    double* ns = nd + kc;
    for (int j = 0; j < slots_; ++j) {
        const SlotSpan& slot = spans_[static_cast<std::size_t>(j)];
        if (slot.count <= 0) {
            continue;
        }
        const std::size_t row = static_cast<std::size_t>(j) * kc;
        const KnotPair pair = amplitudeKnotsOf(j, slots_, amplitudeKnots_);
        const double w0 = pair.weight * pair.weight;
        const double w01 = pair.weight * (1.0 - pair.weight);
        const double w1 = (1.0 - pair.weight) * (1.0 - pair.weight);
        const bool between = amplitudeKnots_ > 1;
        const double u0 = slot.u0;
        const double du = slot.du;
        // (1 - u)^2, u (1 - u) and u^2 as polynomials in the sample index m.
        const double a0 = (1.0 - u0) * (1.0 - u0), a1 = -2.0 * (1.0 - u0) * du, a2 = du * du;
        const double b0 = u0 * (1.0 - u0), b1 = du * (1.0 - 2.0 * u0), b2 = -du * du;
        const double c0 = u0 * u0, c1 = 2.0 * u0 * du, c2 = du * du;
        const SlotWeights weights{a0, a1, a2, b0, b1, b2, c0, c1, c2};
        const double lm1 = slot.count - 1.0;
        const double* sr = &startRe_[row];
        const double* si = &startIm_[row];
        const double* qr = &stepRe_[row];
        const double* qi = &stepIm_[row];
        const double* er = &endRe_[row];
        const double* ei = &endIm_[row];
        // The terms of a pair from its power sums.
        auto combine = [&](std::size_t l, const PowerSums& d, const PowerSums& s, Complex pd,
                           Complex ps) {
            cc[l] = 0.5 * (reMul(pd, d.s0) + reMul(ps, s.s0));
            ll[l] = sineProduct(pd, d, ps, s, a0, a1, a2);
            bb[l] = sineProduct(pd, d, ps, s, b0, b1, b2);
            rr[l] = sineProduct(pd, d, ps, s, c0, c1, c2);
        };
        for (std::size_t k = 0; k < kc; ++k) {
            const double ar = sr[k], ai = si[k], pr = qr[k], pi = qi[k], xr = er[k], xi = ei[k];
            // The closed forms for every partner (at q = 1 they fail; fixed below).
            pairRow(k, kc, sr, si, qr, qi, er, ei, lm1, weights, cc, ll, bb, rr, nd, ns);
            // A carrier with itself (and any pair whose frequencies meet) by the exact sums.
            for (std::size_t l = k; l < kc; ++l) {
                if (nd[l] < 1e-24 || ns[l] < 1e-24) {
                    const Complex start{ar, ai}, step{pr, pi}, end{xr, xi};
                    const Complex start2{sr[l], si[l]}, step2{qr[l], qi[l]}, end2{er[l], ei[l]};
                    combine(l, powerSums(mulConj(step, step2), mulConj(end, end2), slot.count),
                            powerSums(mul(step, step2), mul(end, end2), slot.count),
                            mulConj(start, start2), mul(start, start2));
                }
            }
            double* cosRow = &cosDiagonal_[pair.first * kk + k * kc];
            if (between) {
                double* nextRow = cosRow + kk;
                double* crossCos = &cosCoupling_[pair.first * kk + k * kc];
                for (std::size_t l = k; l < kc; ++l) {
                    cosRow[l] += w0 * cc[l];
                    crossCos[l] += w01 * cc[l];
                    nextRow[l] += w1 * cc[l];
                }
            } else {
                for (std::size_t l = k; l < kc; ++l) {
                    cosRow[l] += cc[l];
                }
            }
            if (!hessian) {
                continue;
            }
            double* leftRow = &diagonal_[static_cast<std::size_t>(j) * kk + k * kc];
            double* rightRow = &diagonalEnd_[static_cast<std::size_t>(j) * kk + k * kc];
            double* crossRow = &coupling_[static_cast<std::size_t>(j) * kk + k * kc];
            for (std::size_t l = k; l < kc; ++l) {
                leftRow[l] = ll[l];
                crossRow[l] = bb[l];
                rightRow[l] = rr[l];
            }
        }
    }
    auto mirror = [kc](double* m) {
        for (std::size_t k = 0; k < kc; ++k) {
            for (std::size_t l = k + 1; l < kc; ++l) {
                m[l * kc + k] = m[k * kc + l];
            }
        }
    };
    for (int g = 0; g < amplitudeKnots_; ++g) {
        mirror(&cosDiagonal_[static_cast<std::size_t>(g) * kk]);
        if (g + 1 < amplitudeKnots_) {
            mirror(&cosCoupling_[static_cast<std::size_t>(g) * kk]);
        }
    }
    if (hessian) {
        for (int j = 0; j < slots_; ++j) {
            mirror(&diagonal_[static_cast<std::size_t>(j) * kk]);
            mirror(&diagonalEnd_[static_cast<std::size_t>(j) * kk]);
            mirror(&coupling_[static_cast<std::size_t>(j) * kk]);
        }
    }
}

// The amplitude knots by least squares, with neighbouring knots held alike, and each slot's
// amplitudes from them.
NBTV_VECTOR_CLONES void SegmentFit::solveAmplitudes(std::span<const float> samples) {
    const auto kc = static_cast<std::size_t>(carriers_);
    const auto na = static_cast<std::size_t>(amplitudeKnots_);
    std::vector<double> rhs(na * kc, 0.0), slotRhs(kc), cr(kc), ci(kc);
    double counted = 0.0;
    for (int j = 0; j < slots_; ++j) {
        const SlotSpan& slot = spans_[static_cast<std::size_t>(j)];
        const std::size_t row = static_cast<std::size_t>(j) * kc;
        std::copy_n(&startRe_[row], kc, cr.begin());
        std::copy_n(&startIm_[row], kc, ci.begin());
        const double* sr = &stepRe_[row];
        const double* si = &stepIm_[row];
        std::fill(slotRhs.begin(), slotRhs.end(), 0.0);
        for (int m = 0; m < slot.count; ++m) {
            const double x = samples[static_cast<std::size_t>(slot.first + m)];
            for (std::size_t k = 0; k < kc; ++k) {
                slotRhs[k] += x * cr[k];
                const double r = cr[k] * sr[k] - ci[k] * si[k];
                ci[k] = cr[k] * si[k] + ci[k] * sr[k];
                cr[k] = r;
            }
        }
        counted += std::max(slot.count, 0);
        const KnotPair pair = amplitudeKnotsOf(j, slots_, amplitudeKnots_);
        double* first = &rhs[pair.first * kc];
        for (std::size_t k = 0; k < kc; ++k) {
            first[k] += pair.weight * slotRhs[k];
        }
        if (na > 1) {
            for (std::size_t k = 0; k < kc; ++k) {
                first[kc + k] += (1.0 - pair.weight) * slotRhs[k];
            }
        }
    }
    if (na > 1) {
        // A cos^2 carries half its samples' weight: the stiffness is against that.
        const double stiffness = amplitudeStiffness * 0.5 * counted / static_cast<double>(na - 1);
        const std::size_t kk = kc * kc;
        for (std::size_t g = 0; g + 1 < na; ++g) {
            for (std::size_t k = 0; k < kc; ++k) {
                cosDiagonal_[g * kk + k * kc + k] += stiffness;
                cosDiagonal_[(g + 1) * kk + k * kc + k] += stiffness;
                cosCoupling_[g * kk + k * kc + k] -= stiffness;
            }
        }
    }
    solveBlockTridiagonal(cosDiagonal_.data(), cosCoupling_.data(), rhs.data(), carriers_,
                          amplitudeKnots_, factor_, elimination_);
    amplitude_ = rhs;
    for (int j = 0; j < slots_; ++j) {
        const KnotPair pair = amplitudeKnotsOf(j, slots_, amplitudeKnots_);
        const double* first = &amplitude_[pair.first * kc];
        double* a = &slotAmplitude_[static_cast<std::size_t>(j) * kc];
        for (std::size_t k = 0; k < kc; ++k) {
            a[k] = pair.weight * first[k];
        }
        if (na > 1) {
            for (std::size_t k = 0; k < kc; ++k) {
                a[k] += (1.0 - pair.weight) * first[kc + k];
            }
        }
    }
}

double SegmentFit::amplitude(int k) const {
    if (slots_ == 0) {
        return 0.0;
    }
    double sum = 0.0;
    for (int j = 0; j < slots_; ++j) {
        sum += amplitude(k, j);
    }
    return sum / slots_;
}

// Mean squared residual of the model with the current amplitudes over the residual slots; with
// `gradient`, also the knots' gradient J^T r (J the derivative of the model by the knots).
NBTV_VECTOR_CLONES void SegmentFit::residualPass(std::span<const float> samples, bool gradient) {
    const auto kc = static_cast<std::size_t>(carriers_);
    if (gradient) {
        std::fill(gradient_.begin(), gradient_.end(), 0.0);
    } else {
        sampleResidual_.assign(samples.size(), 0.0f);
    }
    std::vector<double> cr(kc), ci(kc), gl(kc), gr(kc);
    constexpr int group = 4;
    std::vector<double> phasorRe(group * kc), phasorIm(group * kc);
    double squares = 0.0;
    double counted = 0.0;
    for (int j = 0; j < slots_; ++j) {
        const SlotSpan& slot = spans_[static_cast<std::size_t>(j)];
        const std::size_t row = static_cast<std::size_t>(j) * kc;
        std::copy_n(&startRe_[row], kc, cr.begin());
        std::copy_n(&startIm_[row], kc, ci.begin());
        std::fill(gl.begin(), gl.end(), 0.0);
        std::fill(gr.begin(), gr.end(), 0.0);
        const double* sr = &stepRe_[row];
        const double* si = &stepIm_[row];
        const double* a = &slotAmplitude_[row];
        double slotSquares = 0.0;
        // A few samples at a time: their phasors are kept, so that the sums of the model over
        // the carriers (each in the carriers' order) run side by side rather than one after
        // the other.
        for (int m0 = 0; m0 < slot.count; m0 += group) {
            const int g = std::min(group, slot.count - m0);
            for (int n = 0; n < g; ++n) {
                double* __restrict pr = &phasorRe[static_cast<std::size_t>(n) * kc];
                double* __restrict pi = &phasorIm[static_cast<std::size_t>(n) * kc];
                for (std::size_t k = 0; k < kc; ++k) {
                    pr[k] = cr[k];
                    pi[k] = ci[k];
                    const double next = cr[k] * sr[k] - ci[k] * si[k];
                    ci[k] = cr[k] * si[k] + ci[k] * sr[k];
                    cr[k] = next;
                }
            }
            double model[group] = {};
            if (g == group) {
                const double* p0 = phasorRe.data();
                const double* p1 = p0 + kc;
                const double* p2 = p1 + kc;
                const double* p3 = p2 + kc;
                for (std::size_t k = 0; k < kc; ++k) {
                    model[0] += a[k] * p0[k];
                    model[1] += a[k] * p1[k];
                    model[2] += a[k] * p2[k];
                    model[3] += a[k] * p3[k];
                }
            } else {
                for (int n = 0; n < g; ++n) {
                    const double* pn = &phasorRe[static_cast<std::size_t>(n) * kc];
                    for (std::size_t k = 0; k < kc; ++k) {
                        model[n] += a[k] * pn[k];
                    }
                }
            }
            for (int n = 0; n < g; ++n) {
                const int m = m0 + n;
                const double r = samples[static_cast<std::size_t>(slot.first + m)] - model[n];
                if (!gradient) {
                    sampleResidual_[static_cast<std::size_t>(slot.first + m)] =
                        static_cast<float>(r);
                }
                slotSquares += r * r;
                if (gradient) {
                    const double u = slot.u0 + m * slot.du;
                    const double rl = r * (1.0 - u);
                    const double rr = r * u;
                    const double* __restrict pi = &phasorIm[static_cast<std::size_t>(n) * kc];
                    for (std::size_t k = 0; k < kc; ++k) {
                        gl[k] += rl * pi[k];
                        gr[k] += rr * pi[k];
                    }
                }
            }
        }
        slotResidual_[static_cast<std::size_t>(j)] =
            slot.count > 0 ? slotSquares / slot.count : 0.0;
        if (j >= residualFirst_ && j < residualLast_) {
            squares += slotSquares;
            counted += slot.count;
        }
        if (gradient) {
            for (std::size_t k = 0; k < kc; ++k) {
                const double scaleK = -twoPi * a[k];
                gradient_[row + k] += scaleK * gl[k];
                gradient_[row + kc + k] += scaleK * gr[k];
            }
        }
    }
    meanSquaredResidual_ = counted > 0.0 ? squares / counted : 0.0;
}

// The carriers' power, averaged over the slots.
double SegmentFit::modelPower() const {
    if (slots_ == 0) {
        return 0.0;
    }
    double power = 0.0;
    for (double a : slotAmplitude_) {
        power += 0.5 * a * a;
    }
    return power / slots_;
}

// Solves the block-tridiagonal normal equations (one K x K block per knot column) by block
// elimination and moves the knots, each by at most `maxStep` cycles.
void SegmentFit::gaussNewtonStep() {
    const int kc = carriers_;
    const auto kv = static_cast<std::size_t>(kc);
    const std::size_t kk = kv * kv;
    // Scale each slot's products of the carriers by its amplitudes: d model / d knot =
    // -2 pi A(k, j) sin(.) w; a knot takes the parts of the slots either side.
    std::vector<double> outer(kk);
    for (int j = 0; j < slots_; ++j) {
        const double* a = &slotAmplitude_[static_cast<std::size_t>(j) * kv];
        for (std::size_t k = 0; k < kv; ++k) {
            for (std::size_t l = 0; l < kv; ++l) {
                outer[k * kv + l] = twoPi * twoPi * a[k] * a[l];
            }
        }
        double* block = &diagonal_[static_cast<std::size_t>(j) * kk];
        double* cross = &coupling_[static_cast<std::size_t>(j) * kk];
        double* end = &diagonalEnd_[static_cast<std::size_t>(j) * kk];
        for (std::size_t i = 0; i < kk; ++i) {
            block[i] *= outer[i];
            cross[i] *= outer[i];
            end[i] *= outer[i];
        }
        // The slot before's part of this knot, scaled by its own amplitudes.
        if (j > 0) {
            const double* before = end - kk;
            for (std::size_t i = 0; i < kk; ++i) {
                block[i] += before[i];
            }
        }
    }
    if (slots_ > 0) {
        double* last = &diagonal_[static_cast<std::size_t>(slots_) * kk];
        const double* before = &diagonalEnd_[static_cast<std::size_t>(slots_ - 1) * kk];
        for (std::size_t i = 0; i < kk; ++i) {
            last[i] += before[i];
        }
    }
    std::vector<double> step = gradient_;
    solveBlockTridiagonal(diagonal_.data(), coupling_.data(), step.data(), kc, slots_ + 1, factor_,
                          elimination_);
    for (std::size_t i = 0; i < knots_.size(); ++i) {
        const double s = std::isfinite(step[i]) ? std::clamp(step[i], -maxStep, maxStep) : 0.0;
        knots_[i] += s;
    }
}

} // namespace nbtv
