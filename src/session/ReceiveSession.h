#pragma once
// The road of one block beyond the ordinary receiver.

#include <cstdint>
#include <span>

#include "enhance/EnhancedReceiver.h"
#include "session/Receiver.h"

namespace nbtv {

// Feeds a block that `receiver` has just processed (with `completed` its frame-complete result)
// to `enhanced`, with the receiver's rate offset, fine tune and framing.
void followBlock(EnhancedReceiver& enhanced, const Receiver& receiver,
                 std::span<const std::int16_t> block, bool completed);

} // namespace nbtv
