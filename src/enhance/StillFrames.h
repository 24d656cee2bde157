#pragma once
// A still picture sends the same columns every frame, while the noise and a fading channel's
// errors differ from one frame to the next: where the picture stands still, each column of a
// line is the mean of the same place in the last few frames, each weighted by its precision (a
// slot in a fade counts for little). A moving picture keeps its own columns.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace nbtv {

class SlotRing;

// One field's columns of every line, [line * columns + column]: the `columns` slots from slot
// `first` of `ring`, with `values` the deviations to show (bins; where a static crash spoiled a
// slot, already blended with the frame before), `noises` their noise and `held` whether the ring
// holds the slot. Combines them with the same places `frameSlots` and more slots earlier, and
// leaves in `noises` the noise of the combination.
void combineStillFrames(const SlotRing& ring, std::int64_t first, std::int64_t frameSlots,
                        std::size_t columns, std::span<const std::uint8_t> held,
                        std::span<double> values, std::span<double> noises);

} // namespace nbtv
