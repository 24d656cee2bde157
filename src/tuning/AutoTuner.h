#pragma once
// Automatic tuning on top of the receive core: fine tune (the comb's frequency offset), the
// sound card's rate (calibration) and the frame phase. It watches each block the receiver has
// just run and moves the same settings the manual controls move, so a window shows an automatic
// change exactly as it would show a user's.
//
// Tone k of the comb arrives at k r + d analysis bins of the raw recording. The tuner estimates
// r and d, and sets sampleRateOffset = 1 - 1 / r and fineTuneHz = -d (1 - sampleRateOffset)
// fs / 256. It acquires in three stages of 16 blocks: a long transform of the raw audio finds
// the comb within a fraction of a bin (and its stretch when calibrating); the pilots' pulse-pair
// phase then measures the rest to well within half a bin; from there a loop every 16 blocks (five
// pilot swings, which cancel in the mean) steers the pilots' mean discriminator value to zero
// with gains 1, 1/2, 1/3 and so on, and then as a second-order loop that also learns how fast
// the offset drifts (a radio's oscillator warming up), so it follows a drift with no lag. With two
// pilots their difference gives the rate; with one pilot the period of its swing does, read from
// the pilot's phase and its steps in the raw audio (see PilotSwing). The block length follows the
// rate once, when the estimate has settled.

#include <array>
#include <complex>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/FineTuneScale.h"
#include "tuning/CombSearch.h"
#include "tuning/CrashFrames.h"
#include "tuning/FramePhaseSearch.h"
#include "tuning/PilotSwing.h"

namespace nbtv {

struct BlockSpectra;
struct DemodulatedBlock;
class FrameAssembler;
struct ReceiverProfile;
struct ReceiverSettings;

// What the tuner reads of the receive core after a block, and what it may change there: the
// settings, the block's spectra and discriminator values, and the frame phase.
class TunerAccess {
  public:
    TunerAccess(const ReceiverProfile& profile, ReceiverSettings& settings,
                const BlockSpectra& spectra, const DemodulatedBlock& values, FrameAssembler& frames)
        : profile_(profile), settings_(settings), spectra_(spectra), values_(values),
          frames_(frames) {}

    const ReceiverProfile& profile() const { return profile_; }
    ReceiverSettings& settings() const { return settings_; }
    const BlockSpectra& spectra() const { return spectra_; }
    const DemodulatedBlock& demodulated() const { return values_; }
    int frameOffset() const;
    void setFrameOffset(int offset) const;
    // A new sample-rate offset and the block length nearest the one it calls for.
    void setCalibration(double sampleRateOffset) const;

  private:
    const ReceiverProfile& profile_;
    ReceiverSettings& settings_;
    const BlockSpectra& spectra_;
    const DemodulatedBlock& values_;
    FrameAssembler& frames_;
};

// What one call of afterBlock changed in the receiver.
struct AutoTuneChange {
    bool fineTune = false;    // settings.fineTuneHz (and pilotMarker) changed: move slider/readouts
    bool rateOffset = false;  // settings.sampleRateOffset changed
    bool blockLength = false; // settings.blockLength changed: the caller restarts capture once
    bool framePhase = false;  // the frame offset moved
    // A frame-phase look placed the frames: they begin where a frame at placedFrameOffset (to
    // the column, while the receiver's own frame offset moves in whole blocks) begins.
    bool framePlaced = false;
    int placedFrameOffset = 0;
};

class AutoTuner {
  public:
    explicit AutoTuner(const ReceiverProfile& profile);

    // "Automatic fine tune" and "Automatic calibration". Switching the fine tune on while
    // nothing was automatic, or the calibration on at any time, starts the acquisition afresh
    // from the raw audio (and lets the block length follow the calibration once more).
    void setFineTune(bool on);
    void setCalibration(bool on);
    bool fineTune() const { return fineOn_; }
    bool calibration() const { return calibrationOn_; }

    // "Find frame phase": gathers two frames of columns demodulated with one tuning (a step of
    // the fine tune beyond the drift the loop follows, of the rate, or a restarted capture,
    // starts them afresh), applies the boundary and the colour order they give, then looks
    // again every two frames (over up to six) until stopFramePhase or the next find. A look moves
    // the boundary by at most two blocks to follow the slow drift that an integer block length
    // leaves, or anywhere to a boundary that scores clearly better than the one in use; either way
    // by the shortest move, so which field is which colour is settled by the first look and never
    // flips, unless that order was a guess: then it follows the order that all looks since favour
    // (until the user rotates the colours).
    void findFramePhase();
    void stopFramePhase();
    bool searchingFramePhase() const { return phasePending_ || phase_.active(); }
    // The colour order the search settled is a guess (a grey picture, or colours that fit
    // several orders): the window says so until the user rotates or the search starts again.
    bool colourGuess() const { return colourGuess_; }
    // The user chose the colours (Rotate colours): they are no longer a guess.
    void coloursChosen() { colourGuess_ = false; }

    // "Rotate colours": moves the frame phase by one field (nothing in monochrome).
    static void rotateColours(const TunerAccess& core);

    // Called after every block the receive core completes, with the block's raw samples.
    AutoTuneChange afterBlock(const TunerAccess& core, std::span<const std::int16_t> samples);

    // The block, counted from the first block this tuner saw and modulo the blocks of a frame,
    // with which the receiver's frames begin now.
    int phaseBlock(const TunerAccess& core) const;

    // The last frame-phase search's outcome (found is false before the first).
    const FramePhaseResult& lastFramePhase() const { return lastPhase_; }
    // Block length set from the calibration (once per acquisition).
    bool calibrationSettled() const { return settled_; }

  private:
    enum class Stage { Coarse, PulsePair, Loop };

    void restartAcquisition();
    // Adds the look's boundary scores to the evidence; and how far the evidence near `boundary`
    // leads that near `current`, the frame start in use, per look (the search's columns).
    void addBoundaryEvidence();
    double boundaryLead(long current, int boundary) const;
    // Adds a look's colour-prior scores at `boundary` to the evidence, as orders counted from the
    // frame start `start` (the search's columns).
    void addColourEvidence(int boundary, long start, long period);
    void resetCycle();
    void finishCoarse(const TunerAccess& core, AutoTuneChange& change);
    void finishPulsePair(const TunerAccess& core, AutoTuneChange& change);
    void finishLoop(const TunerAccess& core, AutoTuneChange& change);
    void applyResidual(const TunerAccess& core, double a, double s, AutoTuneChange& change);
    void applyRate(const TunerAccess& core, double r, AutoTuneChange& change);
    void framePhaseStep(const TunerAccess& core, long block, std::size_t length, bool restarted,
                        AutoTuneChange& change);

    const ReceiverProfile& profile_;
    std::vector<int> combBins_;
    std::vector<int> pilots_;
    double combCentre_ = 0.0;
    double quietCycles_ = 0.0; // a frequency no tone uses, where the pilot's phase sees crashes
    bool fineOn_ = false;
    bool calibrationOn_ = false;

    Stage stage_ = Stage::Coarse;
    int cycleBlock_ = 0;
    int loops_ = 0;
    double driftBins_ = 0.0; // the offset's drift a loop (bins), as the loop has learnt it
    CombSpectrum comb_;
    // The pilots' measures of this cycle, pair of frames by pair, and which frames crashes hit.
    struct PilotPair {
        std::size_t first = 0; // the pair's frames among those of crashes_
        std::size_t second = 0;
        double time = 0.0;                 // recorded samples, between the two frames
        std::complex<double> product[2]{}; // x(first) conj(x(second)) of each pilot
        double value[2]{};                 // and its discriminator value
    };
    std::vector<PilotPair> pilotPairs_;
    CrashFrames crashes_;
    // The pilots' pair sums and mean discriminator values over the cycle's frames that no crash
    // hit; the mean is that of a fit beside the swing, whose recorded period is given, so that
    // the frames left out do not leave part of the swing in it.
    struct PilotMeans {
        std::complex<double> product[2]{};
        double value[2]{};
    };
    PilotMeans pilotMeans(double swingPeriod) const;
    double swingPeriod(const TunerAccess& core) const;
    PilotSwing swing_;      // the swing from the pilot's phase
    PilotSwing swingSteps_; // and from its steps
    PilotPhase pilotPhase_;
    double pilotCycles_ = 0.0; // the pilot's frequency in the recording, cycles a sample
    double mixTuneHz_ = 0.0;   // the fine tune for which pilotCycles_ holds
    bool settled_ = false;
    // The standard error of the swing estimate the rate was last set from.
    double rateError_ = std::numeric_limits<double>::infinity();
    bool blockLengthSet_ = false;

    long blocks_ = 0;
    double samplesSeen_ = 0.0; // recorded samples before the current block
    std::size_t previousLength_ = 0;

    FramePhaseSearch phase_;
    bool phasePending_ = false;
    bool phaseLocked_ = false; // a boundary was found and applied
    bool colourGuess_ = false;
    double phaseDecision_ = 0.0; // frames in the fold at the next look
    bool phaseMono_ = false;
    double phaseTuneHz_ = 0.0;    // the tuning of the last block seen
    int blocksSinceTuneStep_ = 0; // blocks since the fine tune last moved, up to a cycle
    double phaseRateOffset_ = 0.0;
    double signalColumn_ = 0.0; // the signal's column at which the next block begins
    FramePhaseResult lastPhase_;
    // The boundary scores of every look since the frame was placed, per search column (the
    // signal's columns, in which a seam stays put), older looks fading; and their total weight.
    std::vector<double> boundaryEvidence_;
    double boundaryEvidenceWeight_ = 0.0;
    // The colour prior's scores of every look since the order was chosen, summed per order:
    // [j] for the frame starting j fields after the one in use.
    std::array<double, 3> colourEvidence_{};
};

} // namespace nbtv
