#pragma once
// The receive core: owns the settings and the working storage of one program and runs the road
// of one captured block (analyse, demodulate, place, assemble, and compose when a frame
// completes). The windows, the command-line tool, the tests and the benchmarks all drive it.

#include <cstdint>
#include <memory>
#include <span>

#include "core/FineTuneScale.h"
#include "core/Matrix.h"
#include "core/ReceiverSettings.h"
#include "demod/BlockTypes.h"
#include "demod/FrameAssembler.h"
#include "demod/SpectrumAnalyser.h"
#include "picture/PictureAssembler.h"
#include "profiles/ReceiverProfile.h"
#include "tuning/AutoTuner.h"

namespace nbtv {

class Receiver {
  public:
    explicit Receiver(const ReceiverProfile& profile);
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    const ReceiverProfile& profile() const { return profile_; }
    ReceiverSettings& settings() { return settings_; }
    const ReceiverSettings& settings() const { return settings_; }

    // First half of a block: copies the samples out and computes the spectra, after which the
    // capture buffer may go back to the sound card.
    void analyseBlock(std::span<const std::int16_t> samples);
    // Second half: demodulate, place, assemble; composes the picture when the block completed a
    // frame, and then returns true.
    bool completeBlock();
    // Both halves.
    bool processBlock(std::span<const std::int16_t> samples) {
        analyseBlock(samples);
        return completeBlock();
    }

    // A press in the monitor strip at its column x moves the frame phase (true when it moved);
    // a press in the pilot scope at its row y sets the fine tune of that row and returns the
    // slider position that shows it.
    bool pressMonitor(int x) { return frames_.pressMonitor(x); }
    int pressPilotScope(int y) { return nbtv::pressPilotScope(settings_, profile_, y); }

    // Sets a new sample-rate offset and the block length it calls for, as a calibration does.
    void setCalibration(double sampleRateOffset);

    // Leaves the pilot-scope histories alone when no scope shows them (the pictures are the same).
    void keepScopeHistories(bool keep) { pictures_->keepScopeHistories(keep); }
    // Leaves the monitor image alone when no monitor strip shows it (the pictures are the same).
    void keepMonitor(bool keep) { pictures_->keepMonitor(keep); }
    // Leaves the filtered planes alone when the noise filter stays off (the pictures the same).
    void keepFilteredPlanes(bool keep) { pictures_->keepFilteredPlanes(keep); }

    // What the automatic tuner reads and moves after a block.
    TunerAccess tunerAccess();

    // Runs every step literally (reference for tests of the fast paths).
    void setLiteral(bool literal) { analyser_.setLiteral(literal); }

    int frameOffset() const { return frames_.frameOffset(); }
    // Moves the frame phase directly, as a press in the monitor strip does.
    void setFrameOffset(int offset) { frames_.setFrameOffset(offset); }
    const Matrix<float>& receiveBuffer() const { return receiveBuffer_; }
    const PictureStore& pictures() const { return store_; }
    const PixelSurface& pictureSurface() const { return store_.pictureSurface; }
    const PixelSurface& monitorSurface() const { return store_.monitorSurface; }
    const BlockSpectra& spectra() const { return spectra_; }
    const DemodulatedBlock& demodulated() const { return values_; }
    const SpectrumAnalyser& analyser() const { return analyser_; }

  private:
    const ReceiverProfile& profile_;
    ReceiverSettings settings_;
    Matrix<float> receiveBuffer_;
    PictureStore store_;
    SpectrumAnalyser analyser_;
    FrameAssembler frames_;
    std::unique_ptr<PicturePipeline> pictures_; // the profile's picture scheme
    BlockSpectra spectra_{};
    DemodulatedBlock values_{};
};

} // namespace nbtv
