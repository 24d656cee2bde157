#include "DecodeRequest.h"

#include "Commands.h"
#include "io/AviWriter.h"

namespace nbtv::cli {

namespace {

std::optional<NoiseFilterWeights> noiseFilterOf(const std::string& level) {
    if (level == "off") {
        return std::nullopt;
    }
    if (level == "light") {
        return lightFilter;
    }
    if (level == "medium") {
        return mediumFilter;
    }
    if (level == "heavy") {
        return heavyFilter;
    }
    throw UsageError("--noise-filter takes off, light, medium or heavy, not '" + level + "'");
}

std::string codecNames() {
    std::string names;
    for (const AviCodec& codec : aviCodecCandidates()) {
        names += (names.empty() ? "" : ", ") + std::string(codec.id);
    }
    return names;
}

} // namespace

std::vector<OptionRule> decodeOptions() {
    std::vector<OptionRule> options = {
        {"--program", true},     {"--mono", false},        {"--fine-tune", true},
        {"--rate-offset", true}, {"--noise-filter", true}, {"--brightness", true},
        {"--contrast", true},    {"--phase-click", true},  {"--scope-click", true},
        {"--surface", false},    {"--frame-file", true},   {"--tv", true},
        {"--avi", true},         {"--codec", true},        {"--fps", true},
        {"--raw", false},        {"--quiet", false},       {"--enhanced", false},
        {"--denoise", false},    {"--auto", false},        {"-o", true},
    };
    options.insert(options.end(), overwriteOptions.begin(), overwriteOptions.end());
    return options;
}

DecodeRequest readDecodeRequest(const Arguments& arguments, const ReceiverProfile& profile) {
    DecodeRequest r;
    if (arguments.positionals().size() != 1) {
        throw UsageError(arguments.positionals().empty()
                             ? "an input audio file is required (or - for standard input)"
                             : "one input file only, not '" + arguments.positionals()[1] + "'");
    }
    r.input = arguments.positionals().front();
    r.raw = arguments.has("--raw");
    r.quiet = arguments.has("--quiet");

    if (arguments.has("--tv") && arguments.has("--frame-file")) {
        throw UsageError("--frame-file is another name for --tv: give one of them");
    }
    r.frameFile = arguments.has("--tv") ? arguments.text("--tv") : arguments.text("--frame-file");
    r.avi = arguments.text("--avi");
    r.folder = arguments.text("-o");
    if (!r.folder && !r.frameFile && !r.avi) {
        throw UsageError("an output is required: -o DIR, --avi FILE or --tv FILE");
    }
    if (!r.avi && (arguments.has("--codec") || arguments.has("--fps"))) {
        throw UsageError("--codec and --fps describe the --avi output: give --avi FILE");
    }
    r.codec = arguments.text("--codec").value_or("raw");
    if (findAviCodec(r.codec) == nullptr) {
        throw UsageError("unknown codec '" + r.codec + "' (" + codecNames() + ")");
    }
    r.framesPerSecond = static_cast<int>(arguments.integer("--fps", 1, maxAviFrameRate, 10));
    r.wholeSurface = arguments.has("--surface");

    r.enhanced = arguments.has("--enhanced");
    r.denoise = arguments.has("--denoise");
    if (r.denoise && !r.enhanced) {
        throw UsageError("--denoise works on the enhanced picture: give --enhanced too");
    }
    r.automatic = arguments.has("--auto");
    r.mono = arguments.has("--mono");
    if (r.mono && !profile.hasMonochrome) {
        throw UsageError("--mono: " + profile.name + " receives colour only");
    }
    r.fineTuneHz = arguments.optionalReal("--fine-tune", -1000.0, 1000.0);
    r.rateOffset = arguments.real("--rate-offset", -maxSampleRateOffset, maxSampleRateOffset, 0.0);
    if (const auto level = arguments.text("--noise-filter")) {
        r.noiseFilter = noiseFilterOf(*level);
    }
    r.brightness = static_cast<int>(arguments.integer("--brightness", 0, 256, 128));
    r.contrast = static_cast<int>(arguments.integer("--contrast", 0, 256, 128));
    if (arguments.has("--phase-click")) {
        r.monitorPress =
            static_cast<int>(arguments.integer("--phase-click", 0, profile.clientWidth - 1, 0));
    }
    if (arguments.has("--scope-click")) {
        if (r.fineTuneHz) {
            throw UsageError("--scope-click and --fine-tune both set the fine tune: give one");
        }
        r.scopePress = static_cast<int>(
            arguments.integer("--scope-click", 0, profile.pilotScopeClickBelowY - 1, 0));
    }
    r.rule = outputRule(arguments, {r.input});
    return r;
}

} // namespace nbtv::cli
