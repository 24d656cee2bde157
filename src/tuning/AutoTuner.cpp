#include "tuning/AutoTuner.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "core/Conversions.h"
#include "core/ReceiverSettings.h"
#include "demod/BlockTypes.h"
#include "demod/FrameAssembler.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

namespace {

constexpr int cycleBlocks = 16;      // five pilot swings at the nominal block length
constexpr double pilotGain = 0.9343; // mean discriminator of the swinging pilot per sin(2 pi e)
constexpr double maxStretch = 0.0215;
constexpr double maxRateOffset = 0.025;
constexpr double maxOffsetBins = 1.6;
// The pilot's swing replaces the comb's stretch once its rate is this good.
constexpr double swingUsable = 1.5e-4;
// A swing estimate poorer than the one the rate was set from moves it only by more than this
// many of its standard errors.
constexpr double significantRateChange = 2.0;
// Groups of the swing's steps before their estimate may replace the phase's.
constexpr int minStepGroups = 6;
// And the block length follows once it is this good.
constexpr double swingSettled = 4.0e-5;
// Groups the swing's estimate needs before its standard error is trusted for the block length.
constexpr int minSettleGroups = 6;
// Loops of the two-pilot rate estimate before the block length follows.
constexpr int pilotPairSettleLoops = 2;
// The largest boundary correction of a repeated search, in columns.
constexpr int maxTrackingMove = 18;
// Frames of columns demodulated with one tuning that a frame-phase search gathers before it
// decides, and then between its looks; and the most one fold gathers.
constexpr double searchFrames = 2.0;
constexpr double maxSearchFrames = 6.0;
// Tuning steps below these leave the gathered columns usable (their values move by under a
// level).
constexpr double steadyTuneHz = 0.05;
constexpr double steadyRateOffset = 2e-5;
// How much better (in the line vote, a fraction of the lines, averaged over the looks) a boundary
// elsewhere must score to replace the one in use; and the look that moves it must find its best
// within this many columns of it. A scene's strong vertical edge can outscore the seam in one fold
// and not in the next, and a picture once right must not be cut there; a wrong first placing is
// put right as the looks add up.
constexpr double replaceMargin = 0.04;
constexpr long replaceAgreement = 2;
// Each look's share of the boundary evidence fades by this at every later look.
constexpr double boundaryEvidenceFading = 0.8;
// How far (columns) a clear boundary may lie from where the pilots' swing puts one and still
// agree with it.
constexpr double swingOffsetTolerance = 1.5;
// A boundary found this close (columns) to the receiver's frame start leaves it where it is:
// half a block, and a column more, so that a boundary near the middle of a block does not move
// the picture to and fro from one look to the next.
constexpr long trackingDeadband = columnsPerBlock / 2 + 1;
constexpr double twoPi = 2.0 * std::numbers::pi;
// Once settled the loop is of second order: the tune moves by 1/4 of the offset measured plus a
// drift it learns with `driftGain` a loop, so that a radio drifting at a steady rate is followed
// with no lasting offset. Poles at 0.95 and 0.79 a loop: no overshoot.
constexpr double driftGain = 0.01;
// With one pilot the comb's stretch found in the first 16 blocks scatters by about three of the
// search's steps whatever the channel (the lines' brightness moves their tones), so a stretch
// within this many steps of none says nothing of the sound card: the rate starts nominal, the
// commonest case, until the pilot's swing measures it a few seconds later. (Two pilots measure
// it at once.)
constexpr double nominalStretchSteps = 3.5;
// The pilot's phase watches for static crashes this many bins above the comb's top tone.
constexpr int quietBinsAbove = 3;

// The constant of the least-squares fit with normal equations m x = b (Cramer's rule); the mean
// of the values (b[0] / m[0][0]) where the swing's terms are not determined, 0 with no values.
double constantOfFit(const double m[3][3], const double b[3]) {
    const auto det = [](double a00, double a01, double a02, double a10, double a11, double a12,
                        double a20, double a21, double a22) {
        return a00 * (a11 * a22 - a12 * a21) - a01 * (a10 * a22 - a12 * a20) +
               a02 * (a10 * a21 - a11 * a20);
    };
    const double d =
        det(m[0][0], m[0][1], m[0][2], m[1][0], m[1][1], m[1][2], m[2][0], m[2][1], m[2][2]);
    const double scale = m[0][0] * m[0][0] * m[0][0];
    if (!(std::abs(d) > 1e-9 * scale)) {
        return m[0][0] > 0.0 ? b[0] / m[0][0] : 0.0;
    }
    return det(b[0], m[0][1], m[0][2], b[1], m[1][1], m[1][2], b[2], m[2][1], m[2][2]) / d;
}

long wrap(long v, long m) {
    const long r = v % m;
    return r < 0 ? r + m : r;
}

// The nearest multiple of columnsPerBlock (a whole block) modulo the period.
long roundToBlock(long columns, long period) {
    return wrap(long{columnsPerBlock} *
                    roundHalfEven(static_cast<double>(columns) / columnsPerBlock),
                period);
}

double pilotValue(float d) {
    if (std::isnan(d)) {
        return 0.0;
    }
    return std::clamp(static_cast<double>(d), -1.0, 1.0);
}

bool monoMode(const TunerAccess& core) {
    return core.settings().colourMode != 1 && core.profile().hasMonochrome;
}

long framePeriod(const TunerAccess& core) {
    const ReceiverProfile& p = core.profile();
    return monoMode(core) ? p.fieldWidth : p.frameColumns();
}

} // namespace

int TunerAccess::frameOffset() const {
    return frames_.frameOffset();
}

void TunerAccess::setFrameOffset(int offset) const {
    frames_.setFrameOffset(offset);
}

void TunerAccess::setCalibration(double sampleRateOffset) const {
    settings_.sampleRateOffset = sampleRateOffset;
    settings_.blockLength = nearestBlockLength(sampleRateOffset, profile_.nominalBlockLength);
}

AutoTuner::AutoTuner(const ReceiverProfile& profile)
    : profile_(profile), crashes_(profile.carriers.allCarriers()) {
    combBins_ = profile.carriers.allCarriers();
    pilots_ = profile.carriers.pilots();
    const auto [lowest, highest] = std::minmax_element(combBins_.begin(), combBins_.end());
    combCentre_ = 0.5 * (*lowest + *highest);
    // A bin beyond the top tone's leakage, inside a receiver's passband.
    quietCycles_ = (*highest + quietBinsAbove) / 256.0;
    pilotPhase_ = PilotPhase(quietCycles_);
}

void AutoTuner::setFineTune(bool on) {
    if (on && !fineOn_ && !calibrationOn_) {
        restartAcquisition();
    }
    fineOn_ = on;
}

void AutoTuner::setCalibration(bool on) {
    if (on && !calibrationOn_) {
        // The comb's stretch is only searched when calibrating, and a new calibration may set
        // the block length again.
        restartAcquisition();
    }
    calibrationOn_ = on;
}

void AutoTuner::restartAcquisition() {
    stage_ = Stage::Coarse;
    loops_ = 0;
    driftBins_ = 0.0;
    settled_ = false;
    blockLengthSet_ = false;
    swing_.clear();
    swingSteps_.clear();
    rateError_ = std::numeric_limits<double>::infinity();
    pilotPhase_ = PilotPhase(quietCycles_);
    resetCycle();
}

void AutoTuner::resetCycle() {
    cycleBlock_ = 0;
    comb_.clear();
    pilotPairs_.clear();
    crashes_.clear();
}

void AutoTuner::findFramePhase() {
    phasePending_ = true;
    colourGuess_ = false;
}

void AutoTuner::stopFramePhase() {
    phasePending_ = false;
    phaseLocked_ = false;
    phase_.stop();
}

void AutoTuner::rotateColours(const TunerAccess& core) {
    if (monoMode(core)) {
        return;
    }
    const long period = framePeriod(core);
    core.setFrameOffset(
        static_cast<int>(roundToBlock(core.frameOffset() + core.profile().fieldWidth, period)));
}

int AutoTuner::phaseBlock(const TunerAccess& core) const {
    const long blocksPerFrame = framePeriod(core) / columnsPerBlock;
    const long offsetBlocks =
        roundHalfEven(static_cast<double>(core.frameOffset()) / columnsPerBlock);
    return static_cast<int>(wrap(offsetBlocks + 1 + (blocks_ - 1), blocksPerFrame));
}

AutoTuneChange AutoTuner::afterBlock(const TunerAccess& core,
                                     std::span<const std::int16_t> samples) {
    AutoTuneChange change;
    const long block = blocks_++;
    // A block of a new length was analysed after silence: its values are not the signal's.
    const bool restarted = previousLength_ != 0 && previousLength_ != samples.size();
    previousLength_ = samples.size();
    // The block's frames begin with the block before it.
    const double framesStart = samplesSeen_ - static_cast<double>(samples.size());
    samplesSeen_ += static_cast<double>(samples.size());

    framePhaseStep(core, block, samples.size(), restarted, change);

    if (!fineOn_ && !calibrationOn_) {
        return change;
    }
    if (calibrationOn_ && pilots_.size() == 1) {
        // Mixed at a fixed frequency: the pilot's frequency in the recording does not change
        // when the tuner's estimates do.
        pilotPhase_.add(samples, pilotCycles_, swing_, &swingSteps_);
    }
    if (restarted) {
        resetCycle(); // the pilot's phase comes from the raw audio and goes on undisturbed
        return change;
    }
    const DemodulatedBlock& values = core.demodulated();
    const BlockSpectra& spectra = core.spectra();
    if (stage_ == Stage::Coarse) {
        comb_.add(samples);
    } else {
        const std::size_t first = crashes_.frames();
        crashes_.add(spectra);
        for (int p = 0; p < analysisPasses; ++p) {
            for (int f = 1; f < framesPerPass; ++f) {
                PilotPair pair;
                pair.first = first + static_cast<std::size_t>(p * framesPerPass + f - 1);
                pair.second = pair.first + 1;
                pair.time =
                    framesStart + transformHop * f + passOffsets[static_cast<std::size_t>(p)];
                for (std::size_t i = 0; i < pilots_.size(); ++i) {
                    const int k = pilots_[i];
                    const std::complex<double> x0(spectra.re[p][f - 1][k], spectra.im[p][f - 1][k]);
                    const std::complex<double> x1(spectra.re[p][f][k], spectra.im[p][f][k]);
                    pair.product[i] = x0 * std::conj(x1);
                    pair.value[i] = pilotValue(values.d[p][f][k]);
                }
                pilotPairs_.push_back(pair);
            }
        }
    }
    if (++cycleBlock_ < cycleBlocks) {
        return change;
    }
    switch (stage_) {
    case Stage::Coarse:
        finishCoarse(core, change);
        break;
    case Stage::PulsePair:
        finishPulsePair(core, change);
        break;
    case Stage::Loop:
        finishLoop(core, change);
        break;
    }
    if (stage_ != Stage::Coarse) {
        // The pilot is mixed down at the frequency the tuning says it has, moved once a group
        // (the group's fit takes a constant frequency error): a drifting radio takes it tens of
        // hertz away in minutes, beyond what the phase measurement follows.
        const ReceiverSettings& s = core.settings();
        pilotCycles_ -= (static_cast<double>(s.fineTuneHz) - mixTuneHz_) /
                        ((1.0 - s.sampleRateOffset) * profile_.sampleRate);
        mixTuneHz_ = s.fineTuneHz;
    }
    swing_.closeGroup();
    swingSteps_.closeGroup();
    resetCycle();
    return change;
}

void AutoTuner::finishCoarse(const TunerAccess& core, AutoTuneChange& change) {
    const ReceiverSettings& s = core.settings();
    const double baseScale = calibrationOn_ ? 1.0 : 1.0 / (1.0 - s.sampleRateOffset);
    const std::vector<double> power = comb_.smoothedPower();
    CombPosition found = searchComb(power, combBins_, baseScale, calibrationOn_ ? maxStretch : 0.0);
    if (calibrationOn_ && pilots_.size() == 1 &&
        std::abs(found.scale - 1.0) <= nominalStretchSteps * combStretchStep(combBins_)) {
        found = searchComb(power, combBins_, 1.0, 0.0);
    }
    if (calibrationOn_) {
        applyRate(core, found.scale, change);
    }
    if (fineOn_) {
        const double scale = 1.0 - core.settings().sampleRateOffset;
        const double hz = std::clamp(-found.a * scale, -maxOffsetBins, maxOffsetBins) *
                          profile_.sampleRate / 256.0;
        const float before = core.settings().fineTuneHz;
        writeFineTune(core.settings(), profile_, hz);
        change.fineTune = change.fineTune || core.settings().fineTuneHz != before;
    }
    stage_ = Stage::PulsePair;
    pilotCycles_ = (found.scale * pilots_[0] + found.a) / 256.0;
    mixTuneHz_ = core.settings().fineTuneHz;
    // The pilot's phase so far followed a guessed frequency: start afresh (times are relative).
    swing_.clear();
    swingSteps_.clear();
    rateError_ = std::numeric_limits<double>::infinity();
    pilotPhase_ = PilotPhase(quietCycles_);
}

double AutoTuner::swingPeriod(const TunerAccess& core) const {
    return pilotSwingPeriod * (1.0 - core.settings().sampleRateOffset);
}

AutoTuner::PilotMeans AutoTuner::pilotMeans(double period) const {
    const std::vector<bool> hit = crashes_.hit();
    PilotMeans means;
    // Normal equations of value = c + A cos + B sin of the swing's phase, per pilot.
    double m[3][3] = {};
    double b[2][3] = {};
    for (const PilotPair& pair : pilotPairs_) {
        if (hit[pair.first] || hit[pair.second]) {
            continue;
        }
        const double angle = twoPi * std::fmod(pair.time / period, 1.0);
        const double basis[3] = {1.0, std::cos(angle), std::sin(angle)};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                m[r][c] += basis[r] * basis[c];
            }
        }
        for (std::size_t i = 0; i < pilots_.size(); ++i) {
            const std::complex<double> z = pair.product[i];
            if (std::isfinite(z.real()) && std::isfinite(z.imag())) {
                means.product[i] += z;
            }
            for (int r = 0; r < 3; ++r) {
                b[i][r] += basis[r] * pair.value[i];
            }
        }
    }
    for (std::size_t i = 0; i < pilots_.size(); ++i) {
        means.value[i] = constantOfFit(m, b[i]);
    }
    return means;
}

void AutoTuner::finishPulsePair(const TunerAccess& core, AutoTuneChange& change) {
    const PilotMeans means = pilotMeans(swingPeriod(core));
    double e[2] = {0.0, 0.0};
    for (std::size_t i = 0; i < pilots_.size(); ++i) {
        e[i] = std::arg(means.product[i]) / twoPi;
    }
    double s = 0.0;
    double a = e[0];
    if (pilots_.size() == 2) {
        s = (e[1] - e[0]) / (pilots_[1] - pilots_[0]);
        a = e[0] - pilots_[0] * s;
    }
    applyResidual(core, a, s, change);
    stage_ = Stage::Loop;
    loops_ = 0;
    driftBins_ = 0.0;
}

void AutoTuner::finishLoop(const TunerAccess& core, AutoTuneChange& change) {
    const PilotMeans means = pilotMeans(swingPeriod(core));
    double e[2] = {0.0, 0.0};
    for (std::size_t i = 0; i < pilots_.size(); ++i) {
        e[i] = std::asin(std::clamp(means.value[i] / pilotGain, -1.0, 1.0)) / twoPi;
    }
    // Gains 1, 1/2, 1/3, then 1/4; from then on the offset's drift is learnt too.
    const double gain = 1.0 / std::min(loops_ + 1, 4);
    double s = 0.0;
    double a = e[0] - pilots_[0] * s;
    if (pilots_.size() == 2) {
        s = (e[1] - e[0]) / (pilots_[1] - pilots_[0]);
        a = e[0] - pilots_[0] * s;
    }
    if (loops_ >= 3 && fineOn_ && (!calibrationOn_ || blockLengthSet_)) {
        // A radio's drift moves every tone alike: learnt at the comb's middle, and only while
        // the rate stays as set or once the calibration has settled (while it converges, the
        // offset moves with the rate, and a drift learnt from that is no radio's).
        driftBins_ += driftGain * (a + s * combCentre_);
    }
    ++loops_;
    applyResidual(core, gain * a + driftBins_, gain * s, change);

    if (!calibrationOn_) {
        return;
    }
    if (pilots_.size() == 1) {
        const double r = 1.0 / (1.0 - core.settings().sampleRateOffset);
        // The swing's phase or its steps, whichever measures it closer (the steps' scatter over
        // their first few groups says little: a crash there can throw them off by far more).
        const SwingEstimate fromPhase = swing_.estimate(r);
        const SwingEstimate fromSteps = swingSteps_.estimate(r);
        const SwingEstimate est =
            fromSteps.valid && fromSteps.groups >= minStepGroups &&
                    (!fromPhase.valid || fromSteps.standardError < fromPhase.standardError)
                ? fromSteps
                : fromPhase;
        if (est.valid && est.standardError < swingUsable) {
            // A new rate moves every tone in proportion to its bin: the fine tune moves with it
            // so that the pilot stays where the loop has put it (a stretch about the pilot).
            // The rate follows an estimate closer than the one it was set from, or one that
            // differs from it by more than its own scatter (the rate moved): a poorer estimate
            // within its scatter (the swing's phase over a crash) would only move it away
            // and back, and the pictures received meanwhile with it.
            const double stretch = est.rate * (1.0 - core.settings().sampleRateOffset) - 1.0;
            if (est.standardError < rateError_ ||
                std::abs(stretch) > significantRateChange * est.standardError) {
                applyResidual(core, -stretch * pilots_[0], stretch, change);
                rateError_ = est.standardError;
            }
            if (!settled_ && est.standardError < swingSettled && est.groups >= minSettleGroups) {
                settled_ = true;
            }
        }
    } else if (!settled_ && loops_ >= pilotPairSettleLoops) {
        settled_ = true;
    }
    if (settled_ && !change.blockLength) {
        const int before = core.settings().blockLength;
        const int wanted =
            nearestBlockLength(core.settings().sampleRateOffset, profile_.nominalBlockLength);
        if (wanted != before && !blockLengthSet_) {
            core.setCalibration(core.settings().sampleRateOffset);
            change.blockLength = true;
        }
        blockLengthSet_ = true;
    }
}

void AutoTuner::applyResidual(const TunerAccess& core, double a, double s, AutoTuneChange& change) {
    ReceiverSettings& settings = core.settings();
    if (!calibrationOn_) {
        // The rate stays as the user set it: centre the comb's middle instead of bin 0.
        a += s * combCentre_;
        s = 0.0;
    }
    const double scale = 1.0 - settings.sampleRateOffset;
    const double u = static_cast<double>(settings.fineTuneHz) * 256.0 / profile_.sampleRate;
    const double r = (1.0 + s) / scale;
    const double d = (a - u) / scale;
    if (calibrationOn_) {
        applyRate(core, r, change);
    }
    if (fineOn_) {
        const double newScale = 1.0 - settings.sampleRateOffset;
        const double hz =
            std::clamp(-d * newScale, -maxOffsetBins, maxOffsetBins) * profile_.sampleRate / 256.0;
        const float before = settings.fineTuneHz;
        writeFineTune(settings, profile_, hz);
        change.fineTune = change.fineTune || settings.fineTuneHz != before;
    }
}

void AutoTuner::addBoundaryEvidence() {
    const std::vector<double> scores = phase_.boundaryScores();
    if (scores.size() != boundaryEvidence_.size()) {
        return;
    }
    for (std::size_t c = 0; c < scores.size(); ++c) {
        boundaryEvidence_[c] = boundaryEvidence_[c] * boundaryEvidenceFading + scores[c];
    }
    boundaryEvidenceWeight_ = boundaryEvidenceWeight_ * boundaryEvidenceFading + 1.0;
}

double AutoTuner::boundaryLead(long current, int boundary) const {
    // The lead of the evidence's best column near this look's boundary over the best within the
    // deadband around the receiver's frame start: that start lies up to half a block from the
    // seam, where the seam's own score has fallen off its peak.
    const auto width = static_cast<long>(boundaryEvidence_.size());
    if (width == 0 || !(boundaryEvidenceWeight_ > 0.0)) {
        return 0.0;
    }
    auto best = [&](long centre, long reach) {
        double most = -std::numeric_limits<double>::infinity();
        for (long c = centre - reach; c <= centre + reach; ++c) {
            most = std::max(most, boundaryEvidence_[static_cast<std::size_t>(wrap(c, width))]);
        }
        return most;
    };
    return (best(boundary, replaceAgreement) - best(current, trackingDeadband)) /
           boundaryEvidenceWeight_;
}

void AutoTuner::addColourEvidence(int boundary, long start, long period) {
    const std::vector<double> scores = phase_.colourScores(boundary);
    if (scores.size() != colourEvidence_.size()) {
        return;
    }
    const long width = profile_.fieldWidth;
    for (long h = 0; h < 3; ++h) {
        const double ahead = static_cast<double>(wrap(boundary + h * width - start, period));
        const long j = wrap(roundHalfEven(ahead / static_cast<double>(width)), 3);
        colourEvidence_[static_cast<std::size_t>(j)] += scores[static_cast<std::size_t>(h)];
    }
}

void AutoTuner::applyRate(const TunerAccess& core, double r, AutoTuneChange& change) {
    if (!(r > 0.0)) {
        return;
    }
    ReceiverSettings& settings = core.settings();
    const double offset = std::clamp(1.0 - 1.0 / r, -maxRateOffset, maxRateOffset);
    if (offset != settings.sampleRateOffset) {
        settings.sampleRateOffset = offset;
        change.rateOffset = true;
    }
}

void AutoTuner::framePhaseStep(const TunerAccess& core, long block, std::size_t length,
                               bool restarted, AutoTuneChange& change) {
    const bool mono = monoMode(core);
    const long period = framePeriod(core);
    const ReceiverSettings& settings = core.settings();
    if (phase_.active() && mono != phaseMono_) {
        phasePending_ = true; // the frame changed its width: search afresh
    }
    if (phasePending_) {
        phasePending_ = false;
        phaseLocked_ = false;
        phaseMono_ = mono;
        phaseDecision_ = searchFrames;
        phase_.start(profile_, mono);
    }
    // The columns gathered must all be demodulated with one tuning: a step of the fine tune or
    // the rate moves every line at once, which would look like a field boundary. But a loop
    // following a drifting radio steps the tune once a cycle by the drift it has learnt: such a
    // step only takes back what the offset gathered over the cycle, and each block's values are
    // moved back by the drift gathered since the last step, as a tune that followed the radio
    // block by block would have demodulated them. So the columns stay usable however fast the
    // radio drifts, and the boundary can follow the picture's creep.
    const double binHz = (1.0 - settings.sampleRateOffset) * profile_.sampleRate / 256.0;
    const double driftBins = fineOn_ && stage_ == Stage::Loop ? driftBins_ : 0.0;
    const double tuneMove = static_cast<double>(settings.fineTuneHz) - phaseTuneHz_;
    double tuneStep = 0.0;
    if (tuneMove != 0.0) {
        tuneStep = std::abs(tuneMove + driftBins * binHz);
        blocksSinceTuneStep_ = 0;
    } else {
        blocksSinceTuneStep_ = std::min(blocksSinceTuneStep_ + 1, cycleBlocks);
    }
    const double driftShift = -driftBins * blocksSinceTuneStep_ / cycleBlocks;
    const double rateStep = std::abs(settings.sampleRateOffset - phaseRateOffset_);
    phaseTuneHz_ = settings.fineTuneHz;
    phaseRateOffset_ = settings.sampleRateOffset;
    if (!phase_.active()) {
        return;
    }
    if (restarted || tuneStep > steadyTuneHz || rateStep > steadyRateOffset) {
        phase_.clear();
        phaseDecision_ = searchFrames;
    }
    // The search's columns are the signal's: a block whose whole number of samples is not
    // exactly the signal's columns a block (the rate offset says how many samples those take)
    // brings a little more or less than nine, and the receiver's frame creeps against the
    // signal by the difference. Counted so, a boundary stays in one column however long the
    // fold, and is where it is now, not where it was on average over the fold.
    const double signalBlock =
        static_cast<double>(profile_.nominalBlockLength) * (1.0 - settings.sampleRateOffset);
    const double columnRatio =
        length > 0 && signalBlock > 0.0 ? static_cast<double>(length) / signalBlock : 1.0;
    const double first = signalColumn_;
    signalColumn_ += columnsPerBlock * columnRatio;
    if (restarted || block == 0) {
        return; // analysed partly over the silence before: not the signal's values
    }
    const long firstColumn = roundHalfEven(first);
    phase_.addBlock(core.demodulated(), firstColumn, driftShift);
    if (phase_.frames() < phaseDecision_) {
        return;
    }
    FramePhaseResult result = phase_.result();
    if (result.swingOffsetSeen &&
        std::abs(std::remainder(*result.swingOffsetSeen - phase_.swingOffset(), swingColumns)) >
            swingOffsetTolerance) {
        // The picture shows clearly that this transmitter starts its fields elsewhere against
        // the pilots' swing than the last one did: from now on the swing puts them there.
        phase_.setSwingOffset(*result.swingOffsetSeen);
        result = phase_.result();
    }
    const long offset = core.frameOffset();
    const long width = profile_.fieldWidth;
    // The column phase of the receiver's frame start now, in the search's columns, and a
    // column phase of the search's as the receiver's frame offset.
    const long current = wrap(
        firstColumn + roundHalfEven(static_cast<double>(offset + columnsPerBlock) * columnRatio),
        period);
    auto asOffset = [&](long column) {
        const auto ahead = static_cast<double>(wrap(column - firstColumn, period));
        return wrap(roundHalfEven(ahead / columnRatio) - columnsPerBlock, period);
    };
    long wanted = offset;
    // Where the frames begin, to the column (the receiver's frame offset takes whole blocks).
    long placed = offset;
    bool place = false;
    if (result.found && !phaseLocked_) {
        // The first look: the boundary and the colour order it gives.
        placed = asOffset(result.frameStart);
        place = true;
        wanted = roundToBlock(placed, period);
        lastPhase_ = result;
        phaseLocked_ = true;
        boundaryEvidence_.assign(static_cast<std::size_t>(width), 0.0);
        boundaryEvidenceWeight_ = 0.0;
        addBoundaryEvidence();
        colourGuess_ = !mono && result.colourGuess;
        colourEvidence_ = {};
        addColourEvidence(result.boundary, result.frameStart, period);
    } else if (result.found) {
        long move = wrap(result.boundary - current, width);
        if (move >= width / 2) {
            move -= width;
        }
        addBoundaryEvidence();
        if (std::abs(move) <= maxTrackingMove) {
            // The picture crept: follow it, keeping which field is which; a boundary within the
            // block in use leaves the receiver's frame where it is.
            long start = current + move;
            addColourEvidence(result.boundary, start, period);
            // An order that was only a guess yields to the one all the looks since favour: the
            // first look saw two frames, a still picture's later looks see more of it.
            const long better =
                static_cast<long>(std::max_element(colourEvidence_.begin(), colourEvidence_.end()) -
                                  colourEvidence_.begin());
            const bool reorder = colourGuess_ && phase_.kind() == rgbFrame && better != 0;
            if (reorder) {
                start += better * width;
                std::rotate(colourEvidence_.begin(), colourEvidence_.begin() + better,
                            colourEvidence_.end());
            }
            placed = asOffset(start);
            place = true;
            if (reorder || std::abs(move) >= trackingDeadband) {
                wanted = roundToBlock(placed, period);
            }
        } else if (boundaryLead(current, result.boundary) > replaceMargin) {
            // A clearly better boundary elsewhere over the looks so far: the one in use was
            // wrong. Move by the shortest way, so that each field keeps the colour it had in most
            // of the picture; only nbtv96rggb's red/blue field, which the signal itself marks, is
            // taken as found.
            lastPhase_ = result;
            if (phase_.kind() == rggbFrame && !result.colourGuess) {
                placed = asOffset(result.frameStart);
            } else {
                placed = asOffset(current + move);
            }
            colourEvidence_ = {};
            addColourEvidence(result.boundary, current + move, period);
            place = true;
            wanted = roundToBlock(placed, period);
        }
    }
    if (place) {
        change.framePlaced = true;
        change.placedFrameOffset = static_cast<int>(placed);
    }
    if (wanted != offset) {
        core.setFrameOffset(static_cast<int>(wanted));
        change.framePhase = true;
    }
    // The next look after two more frames of the same fold, which starts afresh once long
    // enough to have crept (an integer block length drifts against the frames).
    phaseDecision_ += searchFrames;
    if (phaseDecision_ > maxSearchFrames) {
        phase_.clear();
        phaseDecision_ = searchFrames;
    }
}

} // namespace nbtv
