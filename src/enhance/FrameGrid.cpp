#include "enhance/FrameGrid.h"

#include <cstdlib>

#include "core/Conversions.h"
#include "enhance/SlotRing.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

void FrameGrid::reset() {
    framed_ = false;
    boundaryVote_ = 0;
    frameEnd_ = 0;
    orderedEnd_ = 0;
    anchored_ = false;
}

void FrameGrid::anchor(std::int64_t end, int fields) {
    anchored_ = true;
    anchorEnd_ = end;
    anchorFields_ = fields;
}

std::int64_t FrameGrid::nextEnd(std::int64_t ordinary, int fields, const SlotRing& ring) {
    const std::int64_t advance = static_cast<std::int64_t>(fields) * profile_.pictureColumns;
    if (anchored_ && anchorFields_ == fields) {
        const std::int64_t frames = roundHalfEven(static_cast<double>(ordinary - anchorEnd_) /
                                                  static_cast<double>(advance));
        std::int64_t end = anchorEnd_ + frames * advance;
        if (std::abs(end - ordinary) <= anchorReach) {
            // The anchor comes to the column, rounded to a slot: a boundary near half a slot
            // may round to the wrong one, which the seam in the fitted slots shows.
            const double here = boundaryContrast(end, ring);
            for (int shift : {-1, 1}) {
                if (boundaryContrast(end + shift, ring) > 1.5 * here) {
                    anchorEnd_ += shift;
                    end += shift;
                    break;
                }
            }
            framed_ = true;
            frameEnd_ = end;
            orderedEnd_ = ordinary;
            boundaryVote_ = 0;
            return frameEnd_;
        }
    }
    anchored_ = false;
    if (!framed_) {
        framed_ = true;
        frameEnd_ = ordinary;
        boundaryVote_ = 0;
    } else {
        const std::int64_t jump = ordinary - (orderedEnd_ + advance);
        frameEnd_ += advance + (std::abs(jump) >= 2 ? jump : 0);
    }
    orderedEnd_ = ordinary;

    const double here = boundaryContrast(frameEnd_, ring);
    int best = 0;
    double bestContrast = here;
    for (int shift : {-1, 1}) {
        const double contrast = boundaryContrast(frameEnd_ + shift, ring);
        if (contrast > bestContrast) {
            bestContrast = contrast;
            best = shift;
        }
    }
    if (best != 0 && bestContrast > 1.5 * here) {
        if (best == boundaryVote_) {
            frameEnd_ += best;
            boundaryVote_ = 0;
        } else {
            boundaryVote_ = best;
        }
    } else {
        boundaryVote_ = 0;
    }
    return frameEnd_;
}

// How much the line carriers change from one column to the next where a frame ending at `end`
// puts its field boundaries: the fields carry different colours (or, in mono, the picture's
// two edges meet there), so the true boundaries change most.
double FrameGrid::boundaryContrast(std::int64_t end, const SlotRing& ring) const {
    double sum = 0.0;
    for (int f = 0; f <= profile_.fieldsPerFrame; ++f) {
        const std::int64_t after = end - static_cast<std::int64_t>(f) * profile_.pictureColumns;
        if (!ring.holds(after) || !ring.holds(after - 1)) {
            continue;
        }
        for (std::size_t k = 0; k < ring.lines(); ++k) {
            const double d = ring.deviation(after, k) - ring.deviation(after - 1, k);
            sum += d * d;
        }
    }
    return sum;
}

} // namespace nbtv
