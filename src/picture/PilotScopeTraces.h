#pragma once
// The values the pilot scope plots: for each history row, point x = 1..100 is the rounded sum of
// history samples `spacing` columns apart, divided as the profile says.

#include <array>
#include <vector>

#include "picture/PictureAssembler.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

using ScopeTrace = std::array<int, 101>; // [x] for x = 1..100; [0] unused

std::vector<ScopeTrace> pilotScopeTraces(const ReceiverProfile& profile, const PictureStore& store,
                                         int colourMode);

} // namespace nbtv
