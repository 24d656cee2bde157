#include "core/FineTuneScale.h"

#include <algorithm>

#include "core/Conversions.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

using namespace fineTuneScale;

namespace {

// A fine tune stored as a float lies a hair off the multiples of 0.2 Hz that a pilot-scope press
// gives: the small allowance maps those back to the row pressed.
int pilotMarkerFor(double fineTuneHz, const ReceiverProfile& profile) {
    return profile.pilotMarkerZero + floorToInt(rowsPerHz * fineTuneHz + 1e-4);
}

} // namespace

FineTuneControls fineTuneControls(double fineTuneHz, const ReceiverProfile& profile) {
    FineTuneControls c;
    c.sliderPosition =
        std::clamp(sliderCentre + roundHalfEven(positionsPerHz * fineTuneHz), 0, sliderMaximum);
    c.pilotMarker = pilotMarkerFor(static_cast<double>(static_cast<float>(fineTuneHz)), profile);
    return c;
}

void moveFineTuneSlider(ReceiverSettings& settings, const ReceiverProfile& profile, int position) {
    settings.fineTuneHz = static_cast<float>((position - sliderCentre) / double{positionsPerHz});
    settings.pilotMarker =
        profile.pilotMarkerZero + floorToInt(rowsPerHz * static_cast<double>(settings.fineTuneHz));
}

int pressPilotScope(ReceiverSettings& settings, const ReceiverProfile& profile, int row) {
    settings.pilotMarker = row;
    const int shift = row - profile.pilotMarkerZero;
    settings.fineTuneHz = static_cast<float>(shift) / static_cast<float>(rowsPerHz);
    return positionsPerRow * shift + sliderCentre;
}

void writeFineTune(ReceiverSettings& settings, const ReceiverProfile& profile, double fineTuneHz) {
    settings.fineTuneHz = static_cast<float>(fineTuneHz);
    settings.pilotMarker = pilotMarkerFor(static_cast<double>(settings.fineTuneHz), profile);
}

} // namespace nbtv
