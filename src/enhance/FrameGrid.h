#pragma once
// Where the enhanced frames end on the slot grid. The ordinary path's frame ends drift against
// the grid by under a sample a block (its block length is a whole number of samples); only its
// deliberate moves (a click, a found or rotated phase: whole blocks) move the enhanced frames.
// The ordinary framing is only as good as a block, and a rate corrected late leaves it a slot or
// so off: the column where fields meet shows it, and the frames move there when two frames in
// a row agree.

#include <cstdint>

namespace nbtv {

struct ReceiverProfile;
class SlotRing;

class FrameGrid {
  public:
    explicit FrameGrid(const ReceiverProfile& profile) : profile_(profile) {}

    void reset();

    // The end slot of the next frame, which the ordinary path ends at slot `ordinary`: a whole
    // frame after the last, unless the ordinary framing jumped since (by whole blocks, three
    // slots or more), then moved by the vote of the field boundaries in `ring`.
    std::int64_t nextEnd(std::int64_t ordinary, const SlotRing& ring);

  private:
    double boundaryContrast(std::int64_t end, const SlotRing& ring) const;

    const ReceiverProfile& profile_;
    bool framed_ = false;
    int boundaryVote_ = 0;        // a shift of the frames' end seen once (waiting for a second)
    std::int64_t frameEnd_ = 0;   // the last enhanced frame's end slot
    std::int64_t orderedEnd_ = 0; // the ordinary path's frame end then, in slots
};

} // namespace nbtv
