#pragma once
// The one fine-tune scale. The slider runs from 0 to 1024 with 512 for no shift, 15 positions a
// hertz; the pilot scope has five rows a hertz, counted from the profile's zero row (the row of
// the marker at no shift). Every writer of a fine tune goes through here: a slider move, a press
// in the scope, the automatic tuner and the tool.

#include "core/ReceiverSettings.h"

namespace nbtv {

struct ReceiverProfile;

namespace fineTuneScale {
inline constexpr int sliderCentre = 512;
inline constexpr int sliderMaximum = 1024;
inline constexpr int positionsPerHz = 15;
inline constexpr int rowsPerHz = 5;
inline constexpr int positionsPerRow = positionsPerHz / rowsPerHz;
} // namespace fineTuneScale

// Where the manual controls show a fine tune: the slider's nearest position and the pilot-scope
// marker that moving the slider to that fine tune sets.
struct FineTuneControls {
    int sliderPosition = fineTuneScale::sliderCentre;
    int pilotMarker = 100;
};
FineTuneControls fineTuneControls(double fineTuneHz, const ReceiverProfile& profile);

// The slider moved to `position`: fineTuneHz = (position - 512) / 15 in single precision, and
// the marker at zero row + floor(5 x fineTuneHz).
void moveFineTuneSlider(ReceiverSettings& settings, const ReceiverProfile& profile, int position);

// A press in the pilot scope at `row`: the marker on that row and fineTuneHz = (row - zero row)
// / 5 in single precision. Returns the slider position that shows it, 512 + 3 (row - zero row).
int pressPilotScope(ReceiverSettings& settings, const ReceiverProfile& profile, int row);

// Any other fine tune (the automatic tuner's, the tool's): the marker goes where a press gives
// it for a fine tune on a row, and the row below for one between rows.
void writeFineTune(ReceiverSettings& settings, const ReceiverProfile& profile, double fineTuneHz);

} // namespace nbtv
