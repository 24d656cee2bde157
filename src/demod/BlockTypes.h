#pragma once
// What one captured block becomes on its way to the frame buffer.

#include <array>
#include <cstddef>

#include "profiles/ReceiverProfile.h"

namespace nbtv {

inline constexpr int analysisPasses = 3;
inline constexpr int framesPerPass = 4;
inline constexpr int keptBins = 127; // bins 1..127
inline constexpr std::array<int, analysisPasses> passOffsets{0, 85, 170};
inline constexpr int transformHop = 256;
// Steps 1..3 of every pass each give one column.
static_assert(analysisPasses * (framesPerPass - 1) == columnsPerBlock);

// X(pass 0..2, frame 0..3, bin 1..127), complex single precision; bin 0 is unused.
struct BlockSpectra {
    float re[analysisPasses][framesPerPass][keptBins + 1];
    float im[analysisPasses][framesPerPass][keptBins + 1];
};

// D(pass 0..2, step 1..3, bin 1..127): discriminator values; step 0 and bin 0 are unused.
struct DemodulatedBlock {
    float d[analysisPasses][framesPerPass][keptBins + 1];
};

} // namespace nbtv
