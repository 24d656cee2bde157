#pragma once
// Files the discriminator values of each block into the frame buffer at the moving frame offset
// (one row or three rows per bin, as the profile says), through the noise filter when it is on
// and the profile filters there; and turns presses in the window into a fine tune
// (pilot scope) or a frame phase (monitor strip).

#include <string>

#include "core/Matrix.h"
#include "demod/BlockTypes.h"

namespace nbtv {

struct ReceiverProfile;
struct ReceiverSettings;

// What a press in the main window did.
struct WindowClick {
    enum class Kind { Ignored, PilotScope, Monitor };
    Kind kind = Kind::Ignored;
    bool phaseMoved = false;  // monitor press that moved the phase: show the cross-hair
    int sliderPosition = 0;   // pilot-scope press: the fine-tune slider's new position
    std::string fineTuneText; // pilot-scope press: the number text of the new fine tune
};

class FrameAssembler {
  public:
    FrameAssembler(const ReceiverProfile& profile, Matrix<float>& receiveBuffer);

    // Moves the frame offset back by nine columns, wraps it, and writes the block. Returns the
    // new offset; a frame is complete when it is below 9.
    int placeBlock(const DemodulatedBlock& values, const ReceiverSettings& settings);

    // A left-button press at client pixel (x, y).
    WindowClick onWindowClick(int x, int y, ReceiverSettings& settings);

    int frameOffset() const { return frameOffset_; }
    void setFrameOffset(int offset) { frameOffset_ = offset; }

  private:
    const ReceiverProfile& profile_;
    Matrix<float>& buffer_;
    int frameOffset_ = 0;
};

} // namespace nbtv
