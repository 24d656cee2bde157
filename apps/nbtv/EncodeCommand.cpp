// nbtv encode: a test card, an image, a video or an image sequence through the transmitter
// into a WAV file (or onto standard output).

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "Commands.h"
#include "Outputs.h"
#include "PictureSequence.h"
#include "io/AudioFile.h"
#include "io/ImageFile.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace nbtv::cli {

namespace {

const std::vector<OptionRule> encodeOptions = {
    {"--program", true},       {"--mono", false},       {"--card", true},       {"--frames", true},
    {"--snr", true},           {"--freq-offset", true}, {"--rate-error", true}, {"--seed", true},
    {"--passband", true},      {"--agc", false},        {"-o", true},           {"--fading", true},
    {"--delay", true},         {"--doppler", true},     {"--drift", true},      {"--wobble", true},
    {"--wobble-period", true}, {"--crashes", true},     {"--interferer", true}, {"--keyed", false},
};

// "HZ" or "HZ:DB".
Interferer interfererOption(const std::string& text, bool keyed) {
    const std::size_t colon = text.find(':');
    Interferer interferer;
    interferer.keyed = keyed;
    std::size_t used = 0;
    bool ok = !text.empty();
    try {
        const std::string hz = text.substr(0, colon);
        interferer.hz = std::stod(hz, &used);
        ok = ok && used == hz.size();
        if (colon != std::string::npos) {
            const std::string db = text.substr(colon + 1);
            interferer.db = std::stod(db, &used);
            ok = ok && used == db.size();
        }
    } catch (const std::exception&) {
        ok = false;
    }
    if (!ok || !(interferer.hz > 0.0) || !std::isfinite(interferer.db)) {
        throw UsageError("--interferer takes HZ or HZ:DB (1010:-6), not '" + text + "'");
    }
    return interferer;
}

// "LO-HI" in hertz, LO below HI.
Passband passbandOption(const std::string& text) {
    const std::size_t dash = text.find('-', 1);
    double low = 0.0;
    double high = 0.0;
    std::size_t used = 0;
    bool ok = dash != std::string::npos;
    try {
        if (ok) {
            low = std::stod(text.substr(0, dash), &used);
            ok = used == dash;
            high = std::stod(text.substr(dash + 1), &used);
            ok = ok && used == text.size() - dash - 1;
        }
    } catch (const std::exception&) {
        ok = false;
    }
    if (!ok || !(low > 0.0) || !(high > low) || high > 1e5) {
        throw UsageError("--passband takes LO-HI in hertz, 0 < LO < HI (300-2700), not '" + text +
                         "'");
    }
    return Passband{low, high};
}

// The pictures to send: a test card, a still image, or every picture of a video file or a
// numbered image sequence (at most `limit`).
std::vector<RgbImage> cardPictures(const std::string& card, const ReceiverProfile& profile,
                                   std::size_t limit) {
    if (const auto kind = testCardByName(card)) {
        return {makeTestCard(*kind, profile.pictureColumns, profile.pictureLines)};
    }
    if (!isNumberedPattern(card)) {
        RgbImage image;
        std::string error;
        if (loadImageScaled(card, profile.pictureColumns, profile.pictureLines, image, error)) {
            return {image};
        }
        // Not a still picture: perhaps a video; if not, its own error names the file.
    }
    return readPictureSequence(card, profile.pictureColumns, profile.pictureLines, limit);
}

// The WAV file writeWavFile makes, onto standard output.
void writeWavToStdout(int sampleRate, std::uint64_t count, const SamplePieces& pieces) {
    const ByteSink sink = [](const void* data, std::size_t size, std::string& error) {
        const auto* at = static_cast<const std::uint8_t*>(data);
        std::size_t left = size;
        while (left > 0) {
            const ssize_t done = ::write(STDOUT_FILENO, at, left);
            if (done < 0 && errno == EINTR) {
                continue;
            }
            if (done <= 0) {
                error = std::string("cannot write standard output: ") + std::strerror(errno);
                return false;
            }
            at += done;
            left -= static_cast<std::size_t>(done);
        }
        return true;
    };
    std::string error;
    if (!writeWav(sink, "standard output", sampleRate, count, pieces, error)) {
        throw RunError(error);
    }
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
    std::vector<OptionRule> options = encodeOptions;
    options.insert(options.end(), overwriteOptions.begin(), overwriteOptions.end());
    const Arguments arguments(args, options);
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
    TransmitOptions transmit;
    transmit.mono = arguments.has("--mono");
    constexpr long long maxFrames = 10000;
    // 0: no --frames given.
    const long long framesAsked =
        arguments.has("--frames") ? arguments.integer("--frames", 1, maxFrames, 4) : 0;
    transmit.channel.snrDb = arguments.optionalReal("--snr", -60.0, 200.0);
    transmit.channel.frequencyOffsetHz = arguments.real("--freq-offset", -1000.0, 1000.0, 0.0);
    transmit.channel.rateError = arguments.real("--rate-error", -0.1, 0.1, 0.0);
    transmit.channel.seed = arguments.unsignedInteger("--seed", 1);
    if (const auto band = arguments.text("--passband")) {
        transmit.channel.passband = passbandOption(*band);
    }
    transmit.channel.agc = arguments.has("--agc");
    if (const auto fading = arguments.text("--fading")) {
        Fading f;
        if (*fading == "flat") {
            f.kind = Fading::Kind::Flat;
        } else if (*fading != "two-path") {
            throw UsageError("--fading takes two-path or flat, not '" + *fading + "'");
        }
        f.delayMs = arguments.real("--delay", 0.0, 50.0, f.delayMs);
        f.dopplerHz = arguments.real("--doppler", 0.0, 50.0, f.dopplerHz);
        transmit.channel.fading = f;
    } else if (arguments.has("--delay") || arguments.has("--doppler")) {
        throw UsageError("--delay and --doppler belong to --fading");
    }
    transmit.channel.driftHzPerMinute = arguments.real("--drift", -1000.0, 1000.0, 0.0);
    transmit.channel.wobbleHz = arguments.real("--wobble", -1000.0, 1000.0, 0.0);
    transmit.channel.wobblePeriodS = arguments.real("--wobble-period", 0.01, 3600.0, 10.0);
    transmit.channel.crashesPerSecond = arguments.real("--crashes", 0.0, 1000.0, 0.0);
    if (const auto interferer = arguments.text("--interferer")) {
        transmit.channel.interferer = interfererOption(*interferer, arguments.has("--keyed"));
    } else if (arguments.has("--keyed")) {
        throw UsageError("--keyed belongs to --interferer");
    }

    const std::string card = arguments.text("--card").value_or("bars");
    const OutputRule rule = outputRule(arguments, {card});
    if (*output != "-") {
        checkOutputFiles({*output}, rule);
    } else if (::isatty(STDOUT_FILENO) == 1) {
        throw UsageError(
            "-o - writes a WAV file to standard output: redirect it to a file or pipe");
    }
    const std::vector<RgbImage> pictures = cardPictures(
        card, profile, static_cast<std::size_t>(framesAsked > 0 ? framesAsked : maxFrames));
    // A still is sent --frames times (4 by default); a sequence one picture a frame, all of it
    // unless --frames says otherwise (then it starts again from its first picture).
    transmit.frames = static_cast<int>(
        framesAsked > 0 ? framesAsked
                        : (pictures.size() == 1 ? 4 : static_cast<long long>(pictures.size())));
    // Made a piece at a time and written as it comes, so an hour takes no more memory than a
    // frame.
    TransmitStream stream(profile, pictures, transmit);
    const SamplePieces pieces = [&](std::vector<std::int16_t>& out) { return stream.next(out); };
    const auto count = static_cast<std::uint64_t>(stream.samples());
    if (*output == "-") {
        writeWavToStdout(profile.sampleRate, count, pieces);
        return 0;
    }
    std::string error;
    if (!writeWavFile(*output, profile.sampleRate, count, pieces, error, rule.replace)) {
        throw RunError(error);
    }
    return 0;
}

} // namespace nbtv::cli
