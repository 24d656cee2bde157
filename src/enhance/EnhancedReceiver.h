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
//
// The pieces, in the order a sample meets them: TimeAxis (each sample's time on air and tuning
// phase), ColumnPhase (where the columns begin; owns the fit), SlotRing (the fitted slots),
// FrameGrid (where the frames end) and EnhancedPicture (the picture of a frame).

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "enhance/ColumnPhase.h"
#include "enhance/EnhancedPicture.h"
#include "enhance/FrameGrid.h"
#include "enhance/SlotGrid.h"
#include "enhance/SlotRing.h"
#include "enhance/TimeAxis.h"
#include "enhance/TuneReference.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

struct ReceiverSettings;

// The carriers the fit models: the line bins (lowest first), then the pilot(s) and the copy of
// the top line where the program has them.
std::vector<int> fittedCarrierBins(const ReceiverProfile& profile);

class EnhancedReceiver {
  public:
    // Slots a segment fits, and how many at each end only steady the fit.
    static constexpr int segmentSlots = slotGrid::segmentSlots;
    static constexpr int marginSlots = slotGrid::marginSlots;
    static constexpr int outputSlots = segmentSlots - 2 * marginSlots;
    // Slots over which the column phase is first searched.
    static constexpr int acquisitionSlots = ColumnPhase::acquisitionSlots;

    explicit EnhancedReceiver(const ReceiverProfile& profile);

    const ReceiverProfile& profile() const { return profile_; }

    // Independent fits two at a time on a second thread (off at start): the same pictures,
    // sooner. With it the fit runs up to a segment behind the samples added, so that the next
    // segment's samples are there to be fitted beside each one; it sees what it would have seen
    // keeping up (the axis as it was, the frames completed by then), and pictures come out
    // that much later.
    void setSecondThread(bool on);

    // Noise shrinkage along each field (off at start).
    void setDenoise(bool on) { denoise_ = on; }
    bool denoise() const { return denoise_; }

    // Appends captured samples that were received with this rate offset and fine tune.
    void addSamples(std::span<const std::int16_t> samples, double sampleRateOffset,
                    float fineTuneHz);

    // The ordinary path completed a frame at the end of the samples added so far, with the
    // frame offset it has now; the picture is drawn with these settings' colour mode,
    // brightness and contrast. `ordinary`, the ordinary path's picture of the frame (see
    // composeEnhancedPicture), fills in where the fit fails.
    void frameCompleted(const ReceiverSettings& settings, int frameOffset,
                        const RgbImage* ordinary = nullptr);

    // The automatic frame phase found where the frames begin: where a frame the ordinary path
    // would complete with this frame offset (in columns, not only whole blocks) at the end of
    // the samples added so far begins, with these settings' colour mode. The frames follow it
    // from the next one on.
    void placeFrames(const ReceiverSettings& settings, int frameOffset);

    // End of input: fits what is left and completes every pending picture.
    void finish();

    // Pictures completed since the last call, oldest first.
    std::vector<EnhancedPicture> takePictures();

    // Forgets everything (a restarted capture): the column phase is searched again.
    void reset();

    bool locked() const { return phase_.locked(); }
    // Transmitter time (samples) of stream sample 0, modulo a column.
    double columnPhase() const { return phase_.phase(); }

  private:
    // A frame the ordinary path completed, waiting for the fit to pass its end.
    // Where the automatic frame phase placed a frame's end (our time axis), and the fields of
    // its frames.
    struct Placement {
        double tauEnd = 0.0;
        int fields = 0;
    };
    struct PendingFrame {
        double tauEnd = 0.0; // our time axis at the frame's end
        FrameLook look;
        std::optional<RgbImage> ordinary;
        std::optional<Placement> placement; // placed since the frame before
    };

    // Our time axis at the end of a frame the ordinary path would complete with this frame
    // offset at the end of the samples added so far.
    double frameEndTau(int frameOffset) const;
    // Whether it fitted everything the samples allow, rather than stopping (`mayWait`) at a
    // segment whose successor's samples have not all come in.
    bool fitReady(bool atEnd, bool mayWait = false);
    // Catches up with the samples added (all of them when `finishing`).
    void catchUp(bool finishing);
    void completeFrames(bool atEnd);
    std::int64_t newestSlot() const;

    const ReceiverProfile& profile_;
    bool denoise_ = false;

    TimeAxis axis_;
    ColumnPhase phase_;
    TuneReference tune_;        // what the fine tune leaves, from the pilots
    std::int64_t nextSlot_ = 0; // first slot of the next segment
    bool firstSegment_ = true;
    SlotRing ring_;
    FrameGrid frames_;

    std::deque<PendingFrame> pending_;
    std::optional<std::int64_t> frontEnd_; // end slot of pending_.front(), once known
    std::optional<Placement> placement_; // placed since the last frame the ordinary path completed
    std::vector<EnhancedPicture> ready_;

    // Running behind: each addition of samples not yet caught up with (the samples added by its
    // end) and the frames the ordinary path completed right after it.
    struct Moment {
        std::size_t samples = 0;
        std::vector<PendingFrame> frames;
    };
    bool behind_ = false;
    std::deque<Moment> moments_;
};

} // namespace nbtv
