#pragma once
// The whole road of one block, in one fixed order: the ordinary receiver; then, while it is on,
// the enhanced path (fitted here, or on another thread through an EnhancedPath); then the
// automatic tuner, with the settings that block used; where the tuner's frame phase placed the
// frames (to the column, finer than the ordinary receiver's whole blocks), the enhanced path
// is told. The picture that counts, ordinary or enhanced, goes to whoever listens. The windows, the
// tool, the tests and the benchmarks all drive a session; none of them wires these parts again.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "enhance/EnhancedReceiver.h"
#include "picture/PixelSurface.h"
#include "session/Receiver.h"
#include "tuning/AutoTuner.h"

namespace nbtv {

// Where the enhanced fit runs when it does not run in the session itself (the windows give it a
// worker thread of its own).
class EnhancedPath {
  public:
    virtual ~EnhancedPath() = default;
    // The block the ordinary receiver has just run with `settings`; `completed` when it
    // completed a frame (at `frameOffset`; `ordinary` is then that frame's ordinary picture,
    // which fills in where the fit fails). The path hands its finished pictures back through
    // ReceiveSession::enhancedPictureReady.
    virtual void follow(std::span<const std::int16_t> block, const ReceiverSettings& settings,
                        int frameOffset, bool completed, const RgbImage* ordinary) = 0;
    // The automatic frame phase placed the frames after the block last followed (see
    // EnhancedReceiver::placeFrames).
    virtual void placeFrames(const ReceiverSettings& settings, int frameOffset) = 0;
    // Starts afresh: the column phase is searched again.
    virtual void restart() = 0;
};

// Whoever takes the input as it comes, before any correction: every block the session is given
// (not the blocks of a replay), in order.
class InputTap {
  public:
    virtual ~InputTap() = default;
    virtual void input(std::span<const std::int16_t> block) = 0;
};

// The newest samples of the input, up to a fixed length, oldest first.
class InputHistory {
  public:
    explicit InputHistory(std::size_t capacity) : ring_(capacity) {}
    void append(std::span<const std::int16_t> samples);
    std::vector<std::int16_t> samples() const;
    std::size_t size() const { return filled_; }
    std::size_t capacity() const { return ring_.size(); }
    void clear() {
        filled_ = 0;
        next_ = 0;
    }

  private:
    std::vector<std::int16_t> ring_;
    std::size_t next_ = 0;   // where the next sample goes
    std::size_t filled_ = 0; // samples held
};

// A picture that counts: the ordinary picture of a completed frame while the enhanced picture
// is off, the enhanced picture once it is ready while it is on.
struct SessionPicture {
    const PixelSurface& surface; // the whole picture surface
    bool enhanced = false;
    bool complete = true; // every column was fitted (only an enhanced picture can lack some)
    // The enhanced picture itself (pictureColumns x pictureLines), for an enhanced one.
    const RgbImage* picture = nullptr;
};

// What one block did.
struct BlockOutcome {
    bool frameCompleted = false; // the ordinary receiver completed a frame
    AutoTuneChange tuning;       // what the automatic tuner changed
};

class ReceiveSession {
  public:
    explicit ReceiveSession(const ReceiverProfile& profile);
    ReceiveSession(const ReceiveSession&) = delete;
    ReceiveSession& operator=(const ReceiveSession&) = delete;

    const ReceiverProfile& profile() const { return receiver_.profile(); }
    Receiver& receiver() { return receiver_; }
    const Receiver& receiver() const { return receiver_; }
    ReceiverSettings& settings() { return receiver_.settings(); }
    AutoTuner& tuner() { return tuner_; }
    const AutoTuner& tuner() const { return tuner_; }

    // The enhanced picture in place of the ordinary one (off at start), its noise shrunk when
    // `denoise`. Switching it on starts the enhanced path afresh.
    void setEnhanced(bool on, bool denoise = true);
    bool enhanced() const { return enhancedOn_; }
    // The enhanced path fitted here, once it was switched on (nullptr before, or when it runs
    // elsewhere).
    const EnhancedReceiver* enhancedReceiver() const { return path_ ? nullptr : fit_.get(); }
    // The enhanced fit here uses a second thread for fits that do not depend on each other (off
    // at start; the same pictures either way).
    void setEnhancedSecondThread(bool on);
    // The enhanced fit runs on `path` instead of here (nullptr: here again).
    void setEnhancedPath(EnhancedPath* path) { path_ = path; }
    // A finished picture of an enhanced path that runs elsewhere.
    void enhancedPictureReady(const EnhancedPicture& picture);
    // The enhanced path starts afresh (a restarted capture is a new signal).
    void restartEnhanced();

    // Who receives the pictures that count.
    void setPictureListener(std::function<void(const SessionPicture&)> listener) {
        listener_ = std::move(listener);
    }

    // Who also takes the input (nullptr: no one); the tap must outlive its place here.
    void addInputTap(InputTap* tap);
    void removeInputTap(InputTap* tap);
    // The last minute of input, always kept.
    static constexpr int historySeconds = 60;
    const InputHistory& history() const { return history_; }
    // Runs `samples` through the whole road again, in blocks of the block length in use, with
    // the settings in use now (the taps and the history do not take them again); a part block
    // at the end waits for nothing and is dropped. Returns the frames it completed.
    int replay(std::span<const std::int16_t> samples);
    // Replays the newest whole frames of the history (as many as it holds), so that the frame
    // phase in use holds for them as it holds for the live input. Returns the frames completed.
    int replayHistory();

    // The first half of a block: after it the capture buffer may go back to the sound card.
    void analyseBlock(std::span<const std::int16_t> samples);
    // The rest of the block's road.
    BlockOutcome completeBlock();
    BlockOutcome processBlock(std::span<const std::int16_t> samples) {
        analyseBlock(samples);
        return completeBlock();
    }
    // The end of the input: a last part block (too short to be a block) still steadies the
    // enhanced fit, and every pending enhanced picture is completed.
    void finish(std::span<const std::int16_t> partBlock = {});

  private:
    void deliverEnhanced(const EnhancedPicture& picture);
    void deliverFitted();
    void analyse(std::span<const std::int16_t> samples);

    Receiver receiver_;
    AutoTuner tuner_;
    std::unique_ptr<EnhancedReceiver> fit_; // the enhanced path here, once it was switched on
    EnhancedPath* path_ = nullptr;
    bool enhancedOn_ = false;
    bool secondThread_ = false;
    bool denoise_ = true;
    std::vector<std::int16_t> block_; // the block on its road
    PixelSurface enhancedSurface_;
    RgbImage ordinary_; // the ordinary picture of the frame just completed
    std::function<void(const SessionPicture&)> listener_;
    std::vector<InputTap*> taps_;
    InputHistory history_;
};

} // namespace nbtv
