#pragma once
// How brightness and contrast turn a carrier's discriminator value D = sin(2 pi e), e the
// deviation in bins, into a display level (0 black .. 255 white), and back. Every path that draws
// a picture and the transmitter, which sends the level a receiver at the starting settings shows,
// share this one mapping.

#include <algorithm>

namespace nbtv {

// Unclamped; the callers clamp to 0..255 in their own arithmetic.
inline double displayLevel(double discriminator, int brightness, int contrast) {
    return (100.0 + contrast) * discriminator + brightness + 20.0;
}

// The discriminator value that shows `level`, clamped to -1..1 so that a level out of reach
// gives the nearest extreme.
inline double discriminatorForLevel(double level, int brightness, int contrast) {
    return std::clamp((level - brightness - 20.0) / (100.0 + contrast), -1.0, 1.0);
}

} // namespace nbtv
