#pragma once
// Finds where the fields of a frame begin. A field boundary puts a jump into every line at once
// (the left edge of one field's picture meets the right edge of the next field's), so the
// squared step of the line values, folded over the field width, peaks at the boundary. Which
// field is which colour comes from the fields' mean pictures: green resembles both red and blue
// most; of the two-field scheme, the red/blue field differs most between the carriers of a pair.

#include <vector>

#include "demod/BlockTypes.h"

namespace nbtv {

struct ReceiverProfile;

struct FramePhaseResult {
    bool found = false;
    int boundary = 0;   // column phase (modulo the field width) of a field's first column
    int frameStart = 0; // column phase (modulo the frame width) of the frame's first field
    // The boundary peak over the fold's mean: near 1 when the picture shows no boundary.
    double boundaryContrast = 0.0;
    // How far the chosen colour order leads the next best, 0 when there is no choice (mono).
    double colourMargin = 0.0;
};

class FramePhaseSearch {
  public:
    // Columns are counted from the receiver's first block, 9 a block in time order.
    void start(const ReceiverProfile& profile, bool mono, long columnsNeeded);
    void stop() { active_ = false; }
    bool active() const { return active_; }
    bool ready() const { return active_ && columns_ >= needed_; }

    // The nine columns of a block whose first column is `firstColumn`.
    void addBlock(const DemodulatedBlock& values, long firstColumn);

    FramePhaseResult result() const;

  private:
    void addColumn(const float* bins, long t);
    int firstField(int boundary, double& margin) const;

    const ReceiverProfile* profile_ = nullptr;
    bool active_ = false;
    bool mono_ = false;
    long needed_ = 0;
    long columns_ = 0;
    int fieldWidth_ = 0;
    int period_ = 0; // frame width in columns
    std::vector<int> bins_;
    std::vector<std::vector<float>> recent_; // the last six columns, by t modulo 6
    std::vector<double> fold_;               // J folded over the field width
    std::vector<double> frameSum_;           // v folded over the frame, [phase * bins + k]
    std::vector<int> frameCount_;
};

} // namespace nbtv
