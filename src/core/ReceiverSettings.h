#pragma once
// The one record of user settings and shared run-time state. Read and written on the window's
// thread only (or by whichever single thread drives a Receiver).

#include <string>

namespace nbtv {

struct ReceiverProfile;

struct NoiseFilterWeights {
    int keep = 1;
    int divisor = 2;
};

inline constexpr NoiseFilterWeights lightFilter{1, 2};
inline constexpr NoiseFilterWeights mediumFilter{3, 4};
inline constexpr NoiseFilterWeights heavyFilter{15, 16};

struct ReceiverSettings {
    int sampleRate = 11025;
    int blockLength = 768;
    int currentBuffer = +1;
    double resampleFraction = 1.0;
    double sampleRateOffset = 0.0;
    int deviceIndex = 0;

    float fineTuneHz = 0.0f;
    int pilotMarker = 100;
    int colourMode = 1;     // 1 colour, 0 mono
    int noiseFilterOn = -1; // +1 on, -1 off
    NoiseFilterWeights noiseFilterWeights = lightFilter;
    int bigPicture = 0;
    int brightness = 128;
    int contrast = 128;
    int aviFrameRate = 10;
    std::string aviFrameRateText = "10";
    int recording = 0;
    int streamReady = 0;
    int framesSaved = 0;
};

// The values the program entry fixes before the first event.
ReceiverSettings entrySettings(const ReceiverProfile& profile);

// What the start of reception resets (the settings part of initialiseReceiver): the fine tune,
// the recorder's state, picture levels, noise filter, pilot marker, frame rate, big picture and
// colour mode. Device, block length, rate offset, resample fraction and buffer stay.
void resetReceiverSettings(ReceiverSettings& settings, const ReceiverProfile& profile);

// Block length for a sample-rate offset, as "Set calibration" computes it from the constant 768.
int calibratedBlockLength(double sampleRateOffset, int nominalBlockLength = 768);

// The whole block length nearest the one a sample-rate offset calls for, as the automatic
// calibration sets it: its estimate lands a hair either side of the true rate, and where that is
// a whole number of samples a block (the nominal rate above all), the floor of "Set calibration"
// would make a hair above it a whole sample short, and the picture creep a column every
// 85 blocks.
int nearestBlockLength(double sampleRateOffset, int nominalBlockLength = 768);

// Sets a new sample-rate offset and the block length it calls for, as a calibration does.
void applyCalibration(ReceiverSettings& settings, double sampleRateOffset,
                      int nominalBlockLength = 768);

// The calibration slider's limits on the sample-rate offset.
inline constexpr double maxSampleRateOffset = 0.02;

} // namespace nbtv
