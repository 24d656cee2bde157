#include "core/ReceiverSettings.h"

#include "core/Conversions.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

ReceiverSettings entrySettings(const ReceiverProfile& profile) {
    ReceiverSettings s;
    s.sampleRate = profile.sampleRate;
    s.currentBuffer = +1;
    s.blockLength = profile.nominalBlockLength;
    s.resampleFraction = 1.0;
    s.sampleRateOffset = 0.0;
    s.deviceIndex = 0;
    resetReceiverSettings(s, profile);
    return s;
}

void resetReceiverSettings(ReceiverSettings& s, const ReceiverProfile& profile) {
    s.fineTuneHz = 0.0f;
    s.recording = 0;
    s.streamReady = 0;
    s.framesSaved = 0;
    s.brightness = 128;
    s.contrast = 128;
    s.noiseFilterOn = -1;
    s.noiseFilterWeights = lightFilter;
    s.pilotMarker = profile.pilotMarkerZero;
    s.aviFrameRate = 10;
    s.aviFrameRateText = "10";
    s.bigPicture = 0;
    s.colourMode = 1;
}

int calibratedBlockLength(double sampleRateOffset, int nominalBlockLength) {
    return floorToInt((1.0 - sampleRateOffset) * nominalBlockLength);
}

int nearestBlockLength(double sampleRateOffset, int nominalBlockLength) {
    return roundHalfEven((1.0 - sampleRateOffset) * nominalBlockLength);
}

void applyCalibration(ReceiverSettings& settings, double sampleRateOffset, int nominalBlockLength) {
    settings.sampleRateOffset = sampleRateOffset;
    settings.blockLength = calibratedBlockLength(sampleRateOffset, nominalBlockLength);
}

} // namespace nbtv
