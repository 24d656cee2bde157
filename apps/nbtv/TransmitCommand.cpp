// nbtv transmit: a test card, an image, a video, an image sequence, a camera or the desktop sent
// live to a sound-card output in real time, with the transmitter keyed through Hamlib.

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "Outputs.h"
#include "Progress.h"
#include "core/Conversions.h"
#include "io/AudioFile.h"
#include "io/PictureFeeds.h"
#include "station/RigKey.h"
#include "station/SoundServer.h"
#include "tx/LiveTransmitter.h"

namespace nbtv::cli {

namespace {

const std::vector<OptionRule> transmitOptions = {
    {"--program", true},  {"--mono", false},  {"--card", true},          {"--frames", true},
    {"--seconds", true},  {"--device", true}, {"--list-devices", false}, {"--loopback", false},
    {"--level", true},    {"--snr", true},    {"--freq-offset", true},   {"--rate-error", true},
    {"--seed", true},     {"-o", true},       {"--rig", true},           {"--rig-port", true},
    {"--ptt-port", true}, {"--ptt", true},    {"--ptt-lead", true},      {"--quiet", false},
};

const char* const clientName = "nbtv transmit";

int listDevices() {
    std::vector<SoundDevice> outputs;
    std::string error;
    if (!listOutputs(clientName, outputs, error)) {
        throw RunError(error);
    }
    for (const SoundDevice& output : outputs) {
        std::printf("%s\t%s\n", output.name.c_str(), output.description.c_str());
    }
    return 0;
}

// The rig of the command line; false when it names none.
bool rigSettings(const Arguments& arguments, RigSettings& rig) {
    const bool cat = arguments.has("--rig");
    const bool line = arguments.has("--ptt-port") || arguments.has("--ptt");
    if (!cat && !line) {
        if (arguments.has("--rig-port") || arguments.has("--ptt-lead")) {
            throw UsageError("--rig-port and --ptt-lead need --rig or --ptt-port");
        }
        return false;
    }
    if (cat) {
        rig.model = static_cast<int>(arguments.integer("--rig", 1, 1'000'000, 1));
        rig.port = arguments.text("--rig-port").value_or("");
    } else if (arguments.has("--rig-port")) {
        throw UsageError("--rig-port needs --rig MODEL");
    }
    if (line) {
        const auto port = arguments.text("--ptt-port");
        const auto name = arguments.text("--ptt");
        if (!port || !name) {
            throw UsageError("--ptt-port DEVICE and --ptt RTS|DTR go together");
        }
        if (!pttLineByName(*name, rig.line)) {
            throw UsageError("--ptt takes RTS or DTR, not '" + *name + "'");
        }
        rig.pttPort = *port;
    }
    return true;
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

} // namespace

int runTransmit(const std::vector<std::string>& args) {
    std::vector<OptionRule> options = transmitOptions;
    options.insert(options.end(), overwriteOptions.begin(), overwriteOptions.end());
    const Arguments arguments(args, options);
    if (!arguments.positionals().empty()) {
        throw UsageError("unexpected argument '" + arguments.positionals().front() + "'");
    }
    if (arguments.has("--list-devices")) {
        return listDevices();
    }
    const ReceiverProfile& profile = programOption(arguments);
    if (arguments.has("--mono") && !profile.hasMonochrome) {
        throw UsageError("--mono: " + profile.name + " sends colour only");
    }
    if (arguments.has("--frames") && arguments.has("--seconds")) {
        throw UsageError("--frames and --seconds: give one of them");
    }
    if (arguments.has("--device") && arguments.has("--loopback")) {
        throw UsageError("--device and --loopback: give one of them");
    }
    LiveOptions live;
    live.mono = arguments.has("--mono");
    live.levelDb = arguments.real("--level", -60.0, 0.0, -3.0);
    live.channel.snrDb = arguments.optionalReal("--snr", -60.0, 200.0);
    live.channel.frequencyOffsetHz = arguments.real("--freq-offset", -1000.0, 1000.0, 0.0);
    live.channel.rateError = arguments.real("--rate-error", -0.1, 0.1, 0.0);
    live.channel.seed = arguments.unsignedInteger("--seed", 1);
    live.keyLeadMs = static_cast<int>(arguments.integer("--ptt-lead", 0, 10'000, 0));
    if (arguments.has("--frames")) {
        live.samples =
            signalSamples(profile, live.mono, live.channel.rateError,
                          static_cast<int>(arguments.integer("--frames", 1, 1'000'000, 1)));
    } else if (arguments.has("--seconds")) {
        const double seconds = arguments.real("--seconds", 0.001, 1.0e6, 1.0);
        live.samples =
            static_cast<std::int64_t>(std::max(1, roundHalfEven(seconds * profile.sampleRate, 1)));
    }
    RigSettings rig;
    const bool keyed = rigSettings(arguments, rig);
    const auto output = arguments.text("-o");
    const std::string card = arguments.text("--card").value_or("bars");
    const OutputRule rule = outputRule(arguments, {card});
    if (output) {
        checkOutputFiles({*output}, rule);
    }

    // From here a signal stops the sending, which then releases the key and ends as the
    // signal would have.
    deferTerminationSignals();
    std::string error;
    FeedRequest request;
    request.card = card;
    request.width = profile.pictureColumns;
    request.height = profile.pictureLines;
    request.repeat = live.samples.has_value();
    const std::unique_ptr<PictureFeed> feed = openPictureFeed(request, error);
    if (!feed) {
        throw RunError(error);
    }
    RigKey key;
    if (keyed && !key.open(rig)) {
        throw RunError(key.error());
    }
    std::string device = arguments.text("--device").value_or("");
    if (arguments.has("--loopback")) {
        if (!prepareLoopback(clientName, profile.sampleRate, error)) {
            throw RunError(error);
        }
        device = loopbackSink;
    }
    PlaybackSink sink(clientName);
    if (!sink.open(device, profile.sampleRate)) {
        throw RunError(sink.error());
    }

    std::vector<std::int16_t> recording;
    const bool shown = progressShown(arguments.has("--quiet"));
    std::int64_t sent = 0;
    std::int64_t frames = 0;
    bool drawn = false;
    LiveObserver observer;
    observer.frameStarted = [&](const RgbImage&, std::int64_t frame) {
        frames = frame + 1;
        if (shown) {
            std::fprintf(stderr, "\r  frame %lld  %s  ", static_cast<long long>(frames),
                         secondsText(static_cast<double>(sent) / profile.sampleRate).c_str());
            drawn = true;
        }
    };
    observer.sent = [&](std::span<const std::int16_t> samples) {
        sent += static_cast<std::int64_t>(samples.size());
        if (output) {
            recording.insert(recording.end(), samples.begin(), samples.end());
        }
    };
    if (!arguments.has("--quiet")) {
        std::fprintf(stderr, "sending to %s%s\n", sink.deviceName().c_str(),
                     keyed ? ", transmitter keyed through Hamlib" : "");
    }
    const LiveResult result = transmitLive(
        profile, live, *feed, sink, keyed ? &key : nullptr, [] { return terminationSignal() != 0; },
        observer);
    if (drawn) {
        std::fputs("\n", stderr);
    }
    // What was sent is a whole recording, also when a signal ended the sending.
    if (output && !recording.empty()) {
        std::string writeError;
        if (!writeWavFile(*output, profile.sampleRate, recording, writeError, rule.replace) &&
            result.error.empty()) {
            throw RunError(writeError);
        }
    }
    std::fprintf(stderr, "sent %lld frame%s (%s) to %s, %llu underruns\n",
                 static_cast<long long>(result.frames), result.frames == 1 ? "" : "s",
                 secondsText(static_cast<double>(result.samples) / profile.sampleRate).c_str(),
                 sink.deviceName().c_str(), static_cast<unsigned long long>(result.underruns));
    if (!result.error.empty()) {
        throw RunError(result.error);
    }
    if (const int signal = terminationSignal(); signal != 0) {
        key.key(false);
        sink.close();
        endAsSignalled(signal);
    }
    return 0;
}

} // namespace nbtv::cli
