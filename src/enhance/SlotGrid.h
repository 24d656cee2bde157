#pragma once
// The grid the enhanced path works on. A slot is one picture column on air: 256 transmitter
// samples. The fit takes the slots in segments that overlap by a margin at each end, where the
// fit is less sure; a segment's inner slots are the ones kept.

namespace nbtv::slotGrid {

inline constexpr double slotLength = 256.0; // transmitter samples a slot
inline constexpr int segmentSlots = 56;     // slots a segment fits
inline constexpr int marginSlots = 4;       // slots at each end that only steady the fit

} // namespace nbtv::slotGrid
