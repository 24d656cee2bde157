// nbtv decode: recorded audio (a file or standard input) through the receive core; every
// completed picture into PNG files, an AVI file and/or a frame file.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "Commands.h"
#include "Outputs.h"
#include "PictureWriter.h"
#include "Progress.h"
#include "enhance/EnhancedReceiver.h"
#include "io/AudioFile.h"
#include "io/AviWriter.h"
#include "io/FrameFile.h"
#include "io/ImageFile.h"
#include "io/InputStream.h"
#include "session/ReceiveSession.h"
#include "session/Receiver.h"
#include "tuning/AutoTuner.h"

namespace nbtv::cli {

namespace {

const std::vector<OptionRule> decodeOptions = {
    {"--program", true},      {"--mono", false},
    {"--fine-tune", true},    {"--rate-offset", true},
    {"--noise-filter", true}, {"--brightness", true},
    {"--contrast", true},     {"--phase-click", true},
    {"--surface", false},     {"--frame-file", true},
    {"--tv", true},           {"--avi", true},
    {"--codec", true},        {"--fps", true},
    {"--raw", false},         {"--quiet", false},
    {"--enhanced", false},    {"--denoise", false},
    {"--auto", false},        {"-o", true},
};

const std::string standardInput = "standard input";

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

std::string codecNames() {
    std::string names;
    for (const AviCodec& codec : aviCodecCandidates()) {
        names += (names.empty() ? "" : ", ") + std::string(codec.id);
    }
    return names;
}

// Samples at the program's rate from the input, opened once: through FFmpeg (any format,
// resampled), or raw 16-bit mono little-endian read as it is.
class SampleInput {
  public:
    SampleInput(const std::string& name, bool raw, int sampleRate) : raw_(raw) {
        std::string error;
        if (!input_.open(name, error)) {
            throw RunError(error);
        }
        if (!raw_) {
            if (!reader_.open(input_, sampleRate)) {
                throw RunError(reader_.error());
            }
            length_ = reader_.length();
        } else if (input_.size()) {
            length_ = *input_.size() / 2;
        }
    }

    // As AudioFileReader::read; throws RunError on a read failure.
    std::size_t read(std::int16_t* out, std::size_t count) {
        if (!raw_) {
            const std::size_t got = reader_.read(out, count);
            if (got < count && !reader_.error().empty()) {
                throw RunError(reader_.error());
            }
            return got;
        }
        bytes_.resize(count * 2);
        std::size_t have = carry_ ? 1 : 0;
        if (carry_) {
            bytes_[0] = *carry_;
            carry_.reset();
        }
        while (have < bytes_.size()) {
            const std::ptrdiff_t done = input_.read(bytes_.data() + have, bytes_.size() - have);
            if (done < 0) {
                throw RunError("cannot read " + input_.name() + ": " + std::strerror(errno));
            }
            if (done == 0) {
                break;
            }
            have += static_cast<std::size_t>(done);
        }
        const std::size_t samples = have / 2;
        for (std::size_t i = 0; i < samples; ++i) {
            out[i] = static_cast<std::int16_t>(
                static_cast<std::uint16_t>(bytes_[2 * i] | (bytes_[2 * i + 1] << 8)));
        }
        if (have % 2 != 0) {
            carry_ = bytes_[have - 1]; // half a sample at the end is dropped
        }
        return samples;
    }

    const std::string& name() const { return input_.name(); }
    std::optional<std::uint64_t> length() const { return length_; }
    // A WAV input shorter than its header says, said once on standard error: at the start for a
    // file, at the end for a stream.
    void reportShortfall() {
        const std::optional<WavShortfall> shortfall = raw_ ? std::nullopt : reader_.shortfall();
        if (!shortfall || shortfallReported_) {
            return;
        }
        shortfallReported_ = true;
        std::fprintf(stderr,
                     "nbtv: %s is shorter than its header says (%llu bytes of samples, not "
                     "%llu): decoding what it holds\n",
                     name().c_str(), static_cast<unsigned long long>(shortfall->presentBytes),
                     static_cast<unsigned long long>(shortfall->declaredBytes));
    }

  private:
    InputStream input_;
    bool raw_ = false;
    AudioFileReader reader_;
    std::vector<std::uint8_t> bytes_;
    std::optional<std::uint8_t> carry_;
    std::optional<std::uint64_t> length_;
    bool shortfallReported_ = false;
};

// The AVI recording as the programs make it: the picture view (the surface at its top left in
// a view one row higher) from its bottom row up to row 1, bottom row first.
class ViewRecording {
  public:
    ViewRecording(const std::string& path, const ReceiverProfile& profile, int framesPerSecond,
                  const std::string& codec, Replace replace)
        : width_(profile.surfaceWidth), height_(profile.pictureSurfaceHeight),
          rows_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_)),
          file_(path, width_, height_, framesPerSecond, compressionOf(codec), replace) {}

    void write(const PixelSurface& surface) {
        for (int k = 0; k < height_; ++k) {
            const int source = height_ - k; // view row; the view's last row is never drawn
            std::uint32_t* out = rows_.data() + static_cast<std::size_t>(k) * width_;
            if (source >= surface.height) {
                std::fill(out, out + width_, 0u);
                continue;
            }
            for (int x = 0; x < width_; ++x) {
                out[x] = x < surface.width ? surface.at(x, source) & 0xffffffu : 0u;
            }
        }
        file_.write(reinterpret_cast<const std::uint8_t*>(rows_.data()),
                    static_cast<std::ptrdiff_t>(width_) * 4);
    }
    void finish() { file_.finish(); }

  private:
    static AviCompression compressionOf(const std::string& codec) {
        AviCompression compression;
        compression.codec = codec;
        return compression;
    }

    int width_;
    int height_;
    std::vector<std::uint32_t> rows_;
    AviOutput file_;
};

} // namespace

int runDecode(const std::vector<std::string>& args) {
    std::vector<OptionRule> options = decodeOptions;
    options.insert(options.end(), overwriteOptions.begin(), overwriteOptions.end());
    const Arguments arguments(args, options);
    const ReceiverProfile& profile = programOption(arguments);
    if (arguments.positionals().size() != 1) {
        throw UsageError(arguments.positionals().empty()
                             ? "an input audio file is required (or - for standard input)"
                             : "one input file only, not '" + arguments.positionals()[1] + "'");
    }
    const std::string input = arguments.positionals().front();
    if (arguments.has("--tv") && arguments.has("--frame-file")) {
        throw UsageError("--frame-file is another name for --tv: give one of them");
    }
    const auto tvPath =
        arguments.has("--tv") ? arguments.text("--tv") : arguments.text("--frame-file");
    const auto aviPath = arguments.text("--avi");
    const auto folderText = arguments.text("-o");
    if (!folderText && !tvPath && !aviPath) {
        throw UsageError("an output is required: -o DIR, --avi FILE or --tv FILE");
    }
    if (!aviPath && (arguments.has("--codec") || arguments.has("--fps"))) {
        throw UsageError("--codec and --fps describe the --avi output: give --avi FILE");
    }
    const std::string codec = arguments.text("--codec").value_or("raw");
    if (findAviCodec(codec) == nullptr) {
        throw UsageError("unknown codec '" + codec + "' (" + codecNames() + ")");
    }
    const int framesPerSecond =
        static_cast<int>(arguments.integer("--fps", 1, maxAviFrameRate, 10));
    const bool enhancedPath = arguments.has("--enhanced");
    if (arguments.has("--denoise") && !enhancedPath) {
        throw UsageError("--denoise works on the enhanced picture: give --enhanced too");
    }

    if (arguments.has("--mono") && !profile.hasMonochrome) {
        throw UsageError("--mono: " + profile.name + " receives colour only");
    }

    Receiver receiver(profile);
    receiver.keepScopeHistories(false); // no scope to show here
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

    // Every output is checked before any work starts.
    const OutputRule rule = outputRule(arguments, {input});
    std::vector<std::string> files;
    for (const auto& path : {aviPath, tvPath}) {
        if (path) {
            files.push_back(*path);
        }
    }
    checkOutputFiles(files, rule);
    std::optional<PictureFolder> folder;
    if (folderText) {
        folder.emplace(*folderText, rule);
        folder->check();
    }

    const bool showProgress = progressShown(arguments.has("--quiet"));
    SampleInput source(input, arguments.has("--raw"), profile.sampleRate);
    source.reportShortfall();
    // Made once the input is known good, so a mistake leaves no output behind.
    std::unique_ptr<ViewRecording> avi;
    if (aviPath) {
        avi = std::make_unique<ViewRecording>(*aviPath, profile, framesPerSecond, codec,
                                              rule.replace);
    }
    std::unique_ptr<FrameFileOutput> frameFile;
    if (tvPath) {
        frameFile = std::make_unique<FrameFileOutput>(*tvPath, rule.replace);
    }
    std::unique_ptr<PictureWriter> pngs;
    if (folder) {
        folder->prepare();
        pngs = std::make_unique<PictureWriter>(folder->replace());
    }
    ProgressLine progress(showProgress, profile.sampleRate, source.length());

    std::vector<std::int16_t> block;
    const PixelRect pngArea =
        wholeSurface ? PixelRect{0, 0, profile.surfaceWidth, profile.pictureSurfaceHeight}
                     : profile.geometry.pictureCrop;
    std::uint64_t samples = 0;
    int pictures = 0;
    auto emit = [&](const PixelSurface& surface) {
        ++pictures;
        if (pngs) {
            pngs->write(pictureName(folder->path(), pictures), toRgbImage(surface, pngArea));
        }
        if (avi) {
            avi->write(surface);
        }
        if (frameFile) {
            frameFile->add(surface); // the whole surface as composed, whatever PNGs crop
        }
    };
    // The enhanced path follows the ordinary one block by block and hands its pictures back a
    // little later; they take the ordinary pictures' place in every output.
    std::unique_ptr<EnhancedReceiver> enhanced;
    PixelSurface enhancedSurface;
    auto emitEnhanced = [&]() {
        for (const EnhancedPicture& picture : enhanced->takePictures()) {
            drawEnhancedSurface(profile, picture.picture, enhancedSurface);
            emit(enhancedSurface);
        }
    };
    if (enhancedPath) {
        enhanced = std::make_unique<EnhancedReceiver>(profile);
        enhanced->setDenoise(arguments.has("--denoise"));
    }
    // --auto: the fine tune and the sound card's rate follow the signal from the first block,
    // and the frame phase is searched over the first frames.
    std::unique_ptr<AutoTuner> tuner;
    if (arguments.has("--auto")) {
        tuner = std::make_unique<AutoTuner>(profile);
        tuner->setFineTune(true);
        tuner->setCalibration(true);
        tuner->findFramePhase();
    }
    for (;;) {
        // The block length follows the calibration: an automatic one may change it.
        const auto blockLength = static_cast<std::size_t>(settings.blockLength);
        block.resize(blockLength);
        const std::size_t got = source.read(block.data(), blockLength);
        samples += got;
        if (got < blockLength) {
            if (enhanced) {
                // A part block completes no picture but still steadies the last fit.
                enhanced->addSamples(std::span<const std::int16_t>(block.data(), got),
                                     settings.sampleRateOffset, settings.fineTuneHz);
            }
            break;
        }
        const bool completed = receiver.processBlock(block);
        if (enhanced) {
            followBlock(*enhanced, receiver, block, completed);
            emitEnhanced();
        } else if (completed) {
            emit(receiver.pictureSurface());
        }
        if (tuner) {
            tuner->afterBlock(receiver.tunerAccess(), block);
        }
        progress.update(samples, pictures);
    }
    if (enhanced) {
        enhanced->finish();
        emitEnhanced();
    }
    if (samples == 0) {
        throw RunError(source.name() + " holds no audio");
    }
    source.reportShortfall();
    if (pngs) {
        pngs->finish();
    }
    if (avi) {
        avi->finish();
    }
    if (frameFile) {
        frameFile->finish();
    }
    progress.finish(samples, pictures);
    if (!arguments.has("--quiet")) {
        std::fprintf(stderr, "nbtv: %d picture%s from %s\n", pictures, pictures == 1 ? "" : "s",
                     source.name().c_str());
    }
    if (tuner) {
        // What the tuning found, for the next decode of the same station or sound card (also
        // with --quiet: it is what --auto was asked for).
        std::fprintf(stderr, "auto: fine-tune=%.3f rate-offset=%.6f phase-block=%d\n",
                     static_cast<double>(settings.fineTuneHz), settings.sampleRateOffset,
                     tuner->phaseBlock(receiver.tunerAccess()));
    }
    return 0;
}

} // namespace nbtv::cli
