// nbtv decode: recorded audio through the receive core, every completed picture into a PNG and,
// on request, into a frame file.

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Commands.h"
#include "audio/AudioFile.h"
#include "picture/ImageFile.h"
#include "recording/FrameFile.h"
#include "shell/Receiver.h"

namespace nbtv::cli {

namespace {

const std::vector<OptionRule> decodeOptions = {
    {"--program", true},
    {"--mono", false},
    {"--fine-tune", true},
    {"--rate-offset", true},
    {"--noise-filter", true},
    {"--brightness", true},
    {"--contrast", true},
    {"--phase-click", true},
    {"--surface", false},
    {"--frame-file", true},
    {"-o", true},
};

void applyNoiseFilter(const std::string& level, ReceiverSettings& settings) {
    if (level == "off") {
        settings.noiseFilterOn = -1;
        return;
    }
    settings.noiseFilterOn = 1;
    if (level == "light") {
        settings.noiseFilterWeights = lightFilter;
    } else if (level == "medium") {
        settings.noiseFilterWeights = mediumFilter;
    } else if (level == "heavy") {
        settings.noiseFilterWeights = heavyFilter;
    } else {
        throw UsageError("--noise-filter takes off, light, medium or heavy, not '" + level + "'");
    }
}

std::string pictureName(const std::filesystem::path& folder, int number) {
    char name[32];
    std::snprintf(name, sizeof name, "picture-%04d.png", number);
    return (folder / name).string();
}

} // namespace

int runDecode(const std::vector<std::string>& args) {
    const Arguments arguments(args, decodeOptions);
    const ReceiverProfile& profile = programOption(arguments);
    if (arguments.positionals().size() != 1) {
        throw UsageError(arguments.positionals().empty()
                             ? "an input audio file is required"
                             : "one input file only, not '" + arguments.positionals()[1] + "'");
    }
    const std::string input = arguments.positionals().front();
    const auto folderText = arguments.text("-o");
    if (!folderText) {
        throw UsageError("-o DIR is required");
    }
    const std::filesystem::path folder(*folderText);
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        throw RunError("output folder '" + *folderText + "' does not exist");
    }

    if (arguments.has("--mono") && !profile.hasMonochrome) {
        throw UsageError("--mono: " + profile.name + " receives colour only");
    }

    Receiver receiver(profile);
    ReceiverSettings& settings = receiver.settings();
    settings.colourMode = arguments.has("--mono") ? 0 : 1;
    settings.fineTuneHz = static_cast<float>(arguments.real("--fine-tune", -1000.0, 1000.0, 0.0));
    receiver.setCalibration(
        arguments.real("--rate-offset", -maxSampleRateOffset, maxSampleRateOffset, 0.0));
    if (const auto level = arguments.text("--noise-filter")) {
        applyNoiseFilter(*level, settings);
    }
    settings.brightness = static_cast<int>(arguments.integer("--brightness", 0, 256, 128));
    settings.contrast = static_cast<int>(arguments.integer("--contrast", 0, 256, 128));
    const bool wholeSurface = arguments.has("--surface");
    if (arguments.has("--phase-click")) {
        const auto x = arguments.integer("--phase-click", 0, profile.clientWidth - 1, 0);
        receiver.onWindowClick(static_cast<int>(x), 250); // in the monitor band
    }

    AudioFileReader reader;
    if (!reader.open(input, profile.sampleRate)) {
        throw RunError(reader.error());
    }
    // Opened once the input is known good, so a mistake leaves no empty frame file behind.
    FrameFileWriter frameFile;
    const auto frameFilePath = arguments.text("--frame-file");
    std::string error;
    if (frameFilePath && !frameFile.startFile(*frameFilePath, error)) {
        throw RunError(error);
    }
    const std::size_t blockLength = static_cast<std::size_t>(settings.blockLength);
    std::vector<std::int16_t> block(blockLength);
    int pictures = 0;
    while (reader.read(block.data(), blockLength) == blockLength) {
        if (!receiver.processBlock(block)) {
            continue;
        }
        const RgbImage image = toRgbImage(
            receiver.pictureSurface(),
            wholeSurface ? PixelRect{0, 0, profile.surfaceWidth, profile.pictureSurfaceHeight}
                         : profile.geometry.pictureCrop);
        if (!writePng(pictureName(folder, ++pictures), image, error)) {
            throw RunError(error);
        }
        // The whole surface as composed, whatever the PNG crops.
        if (frameFile.recording() && !frameFile.append(receiver.pictureSurface(), error)) {
            throw RunError(error);
        }
    }
    frameFile.stop();
    if (!reader.error().empty()) {
        throw RunError(reader.error());
    }
    std::fprintf(stderr, "nbtv: %d picture%s written to %s\n", pictures, pictures == 1 ? "" : "s",
                 folder.string().c_str());
    return 0;
}

} // namespace nbtv::cli
