#pragma once
// What a `nbtv decode` command line asks for, read and checked in one place: every mistake in it
// is a usage error before any work starts.

#include <optional>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Outputs.h"
#include "core/ReceiverSettings.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv::cli {

struct DecodeRequest {
    std::string input; // a file, or - for standard input
    bool raw = false;  // raw 16-bit mono at the program's rate
    bool quiet = false;

    // The receiver.
    bool mono = false;
    std::optional<double> fineTuneHz;
    double rateOffset = 0.0;
    std::optional<NoiseFilterWeights> noiseFilter; // none: off
    int brightness = 128;
    int contrast = 128;
    std::optional<int> monitorPress; // --phase-click: the monitor strip's column
    std::optional<int> scopePress;   // --scope-click: the pilot scope's row
    bool enhanced = false;
    bool denoise = false;
    bool automatic = false;

    // The outputs.
    std::optional<std::string> folder; // PNG pictures
    bool wholeSurface = false;         // PNGs of the whole picture surface
    std::optional<std::string> avi;
    std::string codec = "raw";
    int framesPerSecond = 10;
    std::optional<std::string> frameFile;
    OutputRule rule;
};

// The options `nbtv decode` takes.
std::vector<OptionRule> decodeOptions();

// Throws UsageError for a command line that asks for something wrong.
DecodeRequest readDecodeRequest(const Arguments& arguments, const ReceiverProfile& profile);

} // namespace nbtv::cli
