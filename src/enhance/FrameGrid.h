#pragma once
// Where the enhanced frames end on the slot grid. The ordinary path's frame ends drift against
// the grid by under a sample a block (its block length is a whole number of samples); only its
// deliberate moves (a click, a found or rotated phase: whole blocks) move the enhanced frames.
// The ordinary framing is only as good as a block. Where the automatic frame phase has placed
// the frames to the column (anchor), the frames end there, a whole number of frames from the
// anchor, for as long as the ordinary framing stays near it; otherwise the column where fields
// meet shows a slot or so of error, and the frames move there when two frames in a row agree.

#include <cstdint>

namespace nbtv {

struct ReceiverProfile;
class SlotRing;

class FrameGrid {
  public:
    explicit FrameGrid(const ReceiverProfile& profile) : profile_(profile) {}

    void reset();

    // The end slot of the next frame of `fields` fields, which the ordinary path ends at slot
    // `ordinary`: the end a whole number of frames from the anchor nearest to it, while that
    // lies within anchorReach; otherwise a whole frame after the last, unless the ordinary
    // framing jumped since (by whole blocks, three slots or more), then moved by the vote of
    // the field boundaries in `ring`.
    std::int64_t nextEnd(std::int64_t ordinary, int fields, const SlotRing& ring);

    // A frame of `fields` fields ends at slot `end` (the automatic frame phase found it).
    void anchor(std::int64_t end, int fields);
    // How far (slots) the ordinary framing may lie from the anchor's: the block it is rounded
    // to, the tracking's dead band and a slot of creep. Beyond it someone else moved the frames
    // (a click, a rotation) and the anchor no longer holds.
    static constexpr int anchorReach = 4;

  private:
    double boundaryContrast(std::int64_t end, const SlotRing& ring) const;

    const ReceiverProfile& profile_;
    bool framed_ = false;
    int boundaryVote_ = 0;        // a shift of the frames' end seen once (waiting for a second)
    std::int64_t frameEnd_ = 0;   // the last enhanced frame's end slot
    std::int64_t orderedEnd_ = 0; // the ordinary path's frame end then, in slots
    bool anchored_ = false;
    std::int64_t anchorEnd_ = 0; // a frame's end the automatic frame phase placed
    int anchorFields_ = 0;
};

} // namespace nbtv
