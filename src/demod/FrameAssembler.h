#pragma once
// Files the discriminator values of each block into the frame buffer at the moving frame offset
// (one row or three rows per bin, as the profile says), through the noise filter when it is on
// and the profile filters there; and moves the frame phase where the user presses the monitor
// strip.

#include "core/Matrix.h"
#include "demod/BlockTypes.h"

namespace nbtv {

struct ReceiverProfile;
struct ReceiverSettings;

class FrameAssembler {
  public:
    FrameAssembler(const ReceiverProfile& profile, Matrix<float>& receiveBuffer);

    // Moves the frame offset back by nine columns, wraps it, and writes the block. Returns the
    // new offset; a frame is complete when it is below columnsPerBlock.
    int placeBlock(const DemodulatedBlock& values, const ReceiverSettings& settings);

    // A press in the monitor strip at its column x: the frame begins there from now on (the
    // colour frame's width also in mono). True when the frame phase moved.
    bool pressMonitor(int x);

    int frameOffset() const { return frameOffset_; }
    void setFrameOffset(int offset) { frameOffset_ = offset; }

  private:
    const ReceiverProfile& profile_;
    Matrix<float>& buffer_;
    int frameOffset_ = 0;
};

} // namespace nbtv
