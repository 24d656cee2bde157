#pragma once
// The column-synchronous receive path: instead of discriminating overlapping 256-point spectra,
// it fits every carrier's phase on the known grid of picture columns on air (see SegmentFit) and
// reads each column's deviation straight off the fit. It needs where the columns begin (the
// column phase, found by the fit's residual and then tracked) and takes the framing (which
// field is which) from the ordinary receive path, so both show the same picture.
//
// Fed the same samples as a Receiver, with the same rate offset and fine tune; told when that
// receiver completes a frame; hands back the enhanced picture of that frame once the fit has
// reached past its end (about a segment later).

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "enhance/SegmentFit.h"
#include "picture/PixelSurface.h"
#include "picture/RgbImage.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

struct ReceiverSettings;

// One enhanced picture: the picture itself (pictureColumns x pictureLines).
struct EnhancedPicture {
    RgbImage picture;
    // Every column of it was fitted; otherwise the missing ones (before the signal, or before
    // the column phase was found) show white.
    bool complete = true;
};

// The carriers the fit models: the line bins (lowest first), then the pilot(s) and the copy of
// the top line where the program has them.
std::vector<int> fittedCarrierBins(const ReceiverProfile& profile);

class EnhancedReceiver {
  public:
    // Slots a segment fits, and how many at each end only steady the fit.
    static constexpr int segmentSlots = 56;
    static constexpr int marginSlots = 4;
    static constexpr int outputSlots = segmentSlots - 2 * marginSlots;
    // Slots over which the column phase is first searched.
    static constexpr int acquisitionSlots = 144;

    explicit EnhancedReceiver(const ReceiverProfile& profile);

    const ReceiverProfile& profile() const { return profile_; }

    // Noise shrinkage along each field (off at start).
    void setDenoise(bool on) { denoise_ = on; }
    bool denoise() const { return denoise_; }

    // Appends captured samples that were received with this rate offset and fine tune.
    void addSamples(std::span<const std::int16_t> samples, double sampleRateOffset,
                    float fineTuneHz);

    // The ordinary path completed a frame at the end of the samples added so far, with the
    // frame offset it has now; the picture is drawn with these settings' colour mode,
    // brightness and contrast.
    void frameCompleted(const ReceiverSettings& settings, int frameOffset);

    // End of input: fits what is left and completes every pending picture.
    void finish();

    // Pictures completed since the last call, oldest first.
    std::vector<EnhancedPicture> takePictures();

    // Forgets everything (a restarted capture): the column phase is searched again.
    void reset();

    bool locked() const { return locked_; }
    // Transmitter time (samples) of stream sample 0, modulo a column.
    double columnPhase() const { return columnPhase_; }

  private:
    struct PendingFrame {
        double tauEnd = 0.0; // our time axis at the frame's end
        int fields = 1;
        int brightness = 128;
        int contrast = 128;
    };

    std::int64_t slotOf(double tau) const;
    std::int64_t newestSlot() const;
    std::vector<SlotSpan> spansFor(double phase, std::int64_t firstSlot, int slotCount,
                                   std::size_t& firstSample, std::size_t& sampleCount) const;
    double fitSegment(double phase, std::int64_t firstSlot, int slotCount, int iterations = 2);
    double searchResidual(double phase, std::int64_t firstSlot, int slotCount, int iterations);
    void acquire(std::int64_t firstSlot, int slotCount);
    double track(std::int64_t firstSlot, double residualHere);
    double rateNow() const;
    double tuningNow() const;
    void storeSegment(std::int64_t firstSlot, int from, int to);
    void processReady(bool atEnd);
    void trimHistory();
    void completeFrames(bool atEnd);
    std::int64_t frameEndSlot(const PendingFrame& frame);
    double boundaryContrast(std::int64_t end) const;
    std::size_t ringIndex(std::int64_t slot) const;
    EnhancedPicture compose(const PendingFrame& frame, std::int64_t end);

    const ReceiverProfile& profile_;
    std::vector<int> bins_; // line carriers first, then pilots and the top copy
    int lineCarriers_ = 0;
    SegmentFit fit_;
    bool denoise_ = false;

    // The samples not yet fitted, with our time axis (transmitter samples, without the column
    // phase) and common tuning phase (cycles) at each.
    std::vector<float> samples_;
    std::vector<double> tau_;
    std::vector<double> theta_;
    double nextTau_ = 0.0;
    double nextTheta_ = 0.0;
    double lastRate_ = 1.0; // transmitter samples per captured sample, as last added

    bool locked_ = false;
    double columnPhase_ = 0.0;
    std::int64_t nextSlot_ = 0; // first slot of the next segment
    bool firstSegment_ = true;
    int segmentsSinceTrack_ = 0;
    double typicalResidual_ = 0.0;
    int residualCount_ = 0;
    int fruitlessSearches_ = 0; // searches in a row that did not bring the usual fit back

    // Fitted deviations of the line carriers per slot, in a ring.
    int ringSlots_ = 0;
    std::vector<std::int64_t> ringSlot_;
    std::vector<double> ringDeviation_; // [slot * lines + k]
    std::vector<double> ringNoise_;     // per slot and carrier: the deviation's noise
    std::int64_t fittedEnd_ = 0;        // slots below this are fitted

    // The slot grid of frames: the ordinary path's frame ends drift against it by under a
    // sample a block (its block length is a whole number); only its deliberate moves (a click,
    // a found or rotated phase: whole blocks) move the enhanced frames.
    bool framed_ = false;
    int boundaryVote_ = 0;        // a shift of the frames' end seen once (waiting for a second)
    std::int64_t frameEnd_ = 0;   // the last enhanced frame's end slot
    std::int64_t orderedEnd_ = 0; // the ordinary path's frame end then, in slots
    std::optional<std::int64_t> frontEnd_; // end slot of pending_.front(), once known

    // The tuning the column phase was found with: a very different one calls for a new search.
    double searchedRate_ = 0.0;
    double searchedTuning_ = 0.0;
    int trackInterval_ = 0;
    double lastMove_ = 0.0; // the column phase's last tracking move

    std::deque<PendingFrame> pending_;
    std::vector<EnhancedPicture> ready_;
};

// Draws an enhanced picture into a picture surface of the profile, three by three pixels a
// pixel in the surface's picture rectangle, the rest black.
void drawEnhancedSurface(const ReceiverProfile& profile, const RgbImage& picture,
                         PixelSurface& surface);

} // namespace nbtv
