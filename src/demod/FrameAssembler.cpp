#include "demod/FrameAssembler.h"

#include <algorithm>
#include <cmath>

#include "core/ReceiverSettings.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

namespace {

// The filter's blend of one cell. A cell that holds not-a-number (a silent moment) takes the
// new value, or it would stay white for the rest of the run.
float blend(float old, float value, bool filterOn, NoiseFilterWeights w) {
    if (!filterOn) {
        return value;
    }
    if (std::isnan(old)) {
        return value;
    }
    return static_cast<float>((static_cast<double>(old) * w.keep + value) / w.divisor);
}

} // namespace

FrameAssembler::FrameAssembler(const ReceiverProfile& profile, Matrix<float>& receiveBuffer)
    : profile_(profile), buffer_(receiveBuffer) {}

int FrameAssembler::placeBlock(const DemodulatedBlock& values, const ReceiverSettings& settings) {
    const bool mono = settings.colourMode != 1 && profile_.hasMonochrome;
    const int width = mono ? profile_.fieldWidth : profile_.frameColumns();
    frameOffset_ -= columnsPerBlock;
    if (frameOffset_ < 0) {
        frameOffset_ = width - columnsPerBlock;
    }
    if (frameOffset_ > width) {
        frameOffset_ = 0;
    }
    // A profile whose picture pipeline filters leaves the frame buffer unblended.
    const bool filterOn = settings.noiseFilterOn == 1 && profile_.noiseFilterInFrameBuffer;
    const NoiseFilterWeights weights = settings.noiseFilterWeights;
    const int rows = profile_.bufferRows;
    const int perBin = profile_.rowsPerBin;
    const int topRow = profile_.rowOfBin(keptBins + 1); // the row above bin 127 receives 0
    // Row by row, so that each row's nine cells are written together: the cells are
    // independent. Column frameOffset + 12 - 3 step - pass takes step 1..3 of pass 0..2.
    for (int bin = 1; bin <= keptBins; ++bin) {
        float* row = buffer_.row(rows - perBin * (bin - 1));
        for (int step = 1; step <= 3; ++step) {
            for (int pass = 0; pass < analysisPasses; ++pass) {
                float& cell = row[frameOffset_ + 11 - 3 * step - pass]; // column c at [c - 1]
                cell = blend(cell, values.d[pass][step][bin], filterOn, weights);
            }
        }
    }
    float* top = buffer_.row(topRow);
    for (int c = frameOffset_ + 1; c <= frameOffset_ + columnsPerBlock; ++c) {
        top[c - 1] = blend(top[c - 1], 0.0f, filterOn, weights);
    }
    return frameOffset_;
}

bool FrameAssembler::pressMonitor(int x) {
    const int frame = profile_.frameColumns(); // the colour frame width, also in mono
    const int c = 3 * x;
    const int before = frameOffset_;
    if (c < frameOffset_) {
        frameOffset_ -= c;
    } else if (c > frameOffset_) {
        frameOffset_ = frameOffset_ + frame - columnsPerBlock - c;
    }
    frameOffset_ = std::clamp(frameOffset_, 1, frame - columnsPerBlock);
    return c != before;
}

} // namespace nbtv
