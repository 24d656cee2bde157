// nbtv encode: a test card or an image through the transmitter into a WAV file.

#include <cstdio>
#include <string>

#include "Commands.h"
#include "audio/AudioFile.h"
#include "picture/ImageFile.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace nbtv::cli {

namespace {

const std::vector<OptionRule> encodeOptions = {
    {"--program", true},    {"--mono", false}, {"--card", true},
    {"--frames", true},     {"--snr", true},   {"--freq-offset", true},
    {"--rate-error", true}, {"--seed", true},  {"-o", true},
};

RgbImage cardPicture(const std::string& card, const ReceiverProfile& profile) {
    if (const auto kind = testCardByName(card)) {
        return makeTestCard(*kind, profile.pictureColumns, profile.pictureLines);
    }
    RgbImage image;
    std::string error;
    if (!loadImageScaled(card, profile.pictureColumns, profile.pictureLines, image, error)) {
        throw RunError(error);
    }
    return image;
}

} // namespace

const ReceiverProfile& programOption(const Arguments& arguments) {
    std::string known;
    for (const std::string& n : profileNames()) {
        known += (known.empty() ? "" : ", ") + n;
    }
    const auto name = arguments.text("--program");
    if (!name) {
        throw UsageError("--program is required (" + known + ")");
    }
    const ReceiverProfile* profile = findProfile(*name);
    if (profile == nullptr) {
        throw UsageError("unknown program '" + *name + "' (" + known + ")");
    }
    return *profile;
}

int runEncode(const std::vector<std::string>& args) {
    const Arguments arguments(args, encodeOptions);
    if (!arguments.positionals().empty()) {
        throw UsageError("unexpected argument '" + arguments.positionals().front() + "'");
    }
    const ReceiverProfile& profile = programOption(arguments);
    const auto output = arguments.text("-o");
    if (!output) {
        throw UsageError("-o OUT.wav is required");
    }
    if (arguments.has("--mono") && !profile.hasMonochrome) {
        throw UsageError("--mono: " + profile.name + " sends colour only");
    }
    TransmitOptions options;
    options.mono = arguments.has("--mono");
    options.frames = static_cast<int>(arguments.integer("--frames", 1, 10000, 4));
    options.channel.snrDb = arguments.optionalReal("--snr", -60.0, 200.0);
    options.channel.frequencyOffsetHz = arguments.real("--freq-offset", -1000.0, 1000.0, 0.0);
    options.channel.rateError = arguments.real("--rate-error", -0.1, 0.1, 0.0);
    options.channel.seed = arguments.unsignedInteger("--seed", 1);

    const RgbImage picture = cardPicture(arguments.text("--card").value_or("bars"), profile);
    const std::vector<std::int16_t> samples = transmit(profile, picture, options);
    std::string error;
    if (!writeWavFile(*output, profile.sampleRate, samples, error)) {
        throw RunError(error);
    }
    return 0;
}

} // namespace nbtv::cli
