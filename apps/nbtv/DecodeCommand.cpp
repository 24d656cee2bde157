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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Commands.h"
#include "PictureWriter.h"
#include "Progress.h"
#include "audio/AudioFile.h"
#include "enhance/EnhancedReceiver.h"
#include "picture/ImageFile.h"
#include "recording/AviWriter.h"
#include "recording/FrameFile.h"
#include "shell/Receiver.h"
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

std::string pictureName(const std::filesystem::path& folder, int number) {
    char name[32];
    std::snprintf(name, sizeof name, "picture-%04d.png", number);
    return (folder / name).string();
}

std::string codecNames() {
    std::string names;
    for (const AviCodec& codec : aviCodecCandidates()) {
        names += (names.empty() ? "" : ", ") + std::string(codec.id);
    }
    return names;
}

// FFmpeg names standard input "pipe:0"; users know it by its own name.
std::string readable(std::string message) {
    const std::string pipe = "'pipe:0'";
    for (auto at = message.find(pipe); at != std::string::npos; at = message.find(pipe)) {
        message.replace(at, pipe.size(), standardInput);
    }
    return message;
}

// Samples at the program's rate: through FFmpeg (any format, resampled), or raw 16-bit mono
// little-endian read as it is.
class SampleInput {
  public:
    SampleInput(const std::string& name, bool raw, int sampleRate, bool wantLength) : raw_(raw) {
        const bool fromStdin = name == "-";
        shownName_ = fromStdin ? standardInput : "'" + name + "'";
        if (!raw_) {
            if (!reader_.open(fromStdin ? "pipe:0" : name, sampleRate)) {
                throw RunError(readable(reader_.error()));
            }
            if (!fromStdin && wantLength) {
                // A second open of the file: only worth its time when progress is shown.
                length_ = audioFileLength(name, sampleRate);
            }
            return;
        }
        fd_ = fromStdin ? STDIN_FILENO : ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            throw RunError("cannot read " + shownName_ + ": " + std::strerror(errno));
        }
        ownsFd_ = !fromStdin;
        struct stat info {};
        if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode)) {
            length_ = static_cast<std::uint64_t>(info.st_size) / 2;
        }
    }
    ~SampleInput() {
        if (ownsFd_) {
            ::close(fd_);
        }
    }
    SampleInput(const SampleInput&) = delete;
    SampleInput& operator=(const SampleInput&) = delete;

    // As AudioFileReader::read; throws RunError on a read failure.
    std::size_t read(std::int16_t* out, std::size_t count) {
        if (!raw_) {
            const std::size_t got = reader_.read(out, count);
            if (got < count && !reader_.error().empty()) {
                throw RunError(readable(reader_.error()));
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
            const ssize_t done = ::read(fd_, bytes_.data() + have, bytes_.size() - have);
            if (done < 0 && errno == EINTR) {
                continue;
            }
            if (done < 0) {
                throw RunError("cannot read " + shownName_ + ": " + std::strerror(errno));
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

    const std::string& name() const { return shownName_; }
    std::optional<std::uint64_t> length() const { return length_; }

  private:
    bool raw_ = false;
    AudioFileReader reader_;
    int fd_ = -1;
    bool ownsFd_ = false;
    std::vector<std::uint8_t> bytes_;
    std::optional<std::uint8_t> carry_;
    std::string shownName_;
    std::optional<std::uint64_t> length_;
};

// An output written under a hidden name beside its place and renamed there only when whole:
// a failed or interrupted decode never leaves a file that looks complete.
class PendingOutput {
  public:
    explicit PendingOutput(const std::string& path) : path_(path) {
        const std::filesystem::path target(path);
        std::string name = ".";
        name.append(target.filename().string()).append(".").append(std::to_string(::getpid()));
        name.append(".part");
        temp_ = (target.parent_path() / name).string();
        const std::filesystem::path folder =
            target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path();
        std::error_code ec;
        if (!std::filesystem::is_directory(folder, ec)) {
            throw RunError("cannot write '" + path + "': folder '" + folder.string() +
                           "' does not exist");
        }
    }
    ~PendingOutput() {
        if (!committed_) {
            std::error_code ec;
            std::filesystem::remove(temp_, ec);
        }
    }
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    const std::string& temp() const { return temp_; }
    const std::string& path() const { return path_; }

    void commit() {
        if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
            throw RunError("cannot write '" + path_ + "': " + std::strerror(errno));
        }
        committed_ = true;
    }

  private:
    std::string path_;
    std::string temp_;
    bool committed_ = false;
};

// The AVI recording as the programs make it: the picture view (the surface at its top left in
// a view one row higher) from its bottom row up to row 1, bottom row first.
class AviOutput {
  public:
    AviOutput(const std::string& path, const ReceiverProfile& profile, int framesPerSecond,
              const std::string& codec)
        : file_(path), width_(profile.surfaceWidth), height_(profile.pictureSurfaceHeight),
          rows_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_)) {
        AviCompression compression;
        compression.codec = codec;
        if (writer_.open(file_.temp(), width_, height_, framesPerSecond, compression) !=
            AviWriter::Result::Ok) {
            throw RunError("cannot write '" + path + "': " + writer_.error());
        }
    }

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
        if (!writer_.writeFrame(reinterpret_cast<const std::uint8_t*>(rows_.data()),
                                static_cast<std::ptrdiff_t>(width_) * 4)) {
            throw RunError("cannot write '" + file_.path() + "': " + writer_.error());
        }
    }

    void finish() {
        if (!writer_.finish()) {
            throw RunError("cannot write '" + file_.path() + "': " + writer_.error());
        }
        file_.commit();
    }

  private:
    PendingOutput file_; // declared first, so gone last: the writer closes the file first
    AviWriter writer_;
    int width_;
    int height_;
    std::vector<std::uint32_t> rows_;
};

class FrameFileOutput {
  public:
    explicit FrameFileOutput(const std::string& path) : file_(path) {
        std::string error;
        if (!writer_.startFile(file_.temp(), error)) {
            throw RunError("cannot write '" + path + "': " + error);
        }
    }
    void write(const PixelSurface& surface) {
        std::string error;
        if (!writer_.append(surface, error)) {
            throw RunError("cannot write '" + file_.path() + "': " + error);
        }
    }
    void finish() {
        writer_.stop();
        file_.commit();
    }

  private:
    PendingOutput file_;
    FrameFileWriter writer_;
};

// A WAV file cut off in the middle decodes without an error, as far as it goes; its header
// still says how many bytes of samples it should hold. Throws RunError when the file holds
// fewer; anything else (not a WAV file, a streamed header without a size) is left to FFmpeg.
void checkWavComplete(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, std::fclose);
    auto le32 = [](const unsigned char* p) {
        return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
               std::uint32_t{p[3]} << 24;
    };
    unsigned char header[12];
    if (std::fread(header, 1, 12, file) != 12 || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "WAVE", 4) != 0) {
        return;
    }
    std::error_code ec;
    const std::uintmax_t fileSize = std::filesystem::file_size(path, ec);
    if (ec) {
        return;
    }
    std::uintmax_t at = 12;
    unsigned char chunk[8];
    while (std::fread(chunk, 1, 8, file) == 8) {
        const std::uint32_t size = le32(chunk + 4);
        at += 8;
        if (std::memcmp(chunk, "data", 4) == 0) {
            if (size != 0 && size != 0xffffffffu && at + size > fileSize) {
                throw RunError("'" + path + "' is cut short: its header gives " +
                               std::to_string(size) + " bytes of samples, the file holds " +
                               std::to_string(fileSize - at));
            }
            return;
        }
        at += size + (size & 1u); // chunks are padded to an even length
        if (std::fseek(file, static_cast<long>(at), SEEK_SET) != 0) {
            return;
        }
    }
}

} // namespace

int runDecode(const std::vector<std::string>& args) {
    const Arguments arguments(args, decodeOptions);
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
    std::optional<std::filesystem::path> folder;
    if (folderText) {
        folder = *folderText;
        std::error_code ec;
        if (!std::filesystem::is_directory(*folder, ec)) {
            throw RunError("output folder '" + *folderText + "' does not exist");
        }
    }

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

    if (input != "-" && !arguments.has("--raw")) {
        checkWavComplete(input);
    }
    const bool showProgress = progressShown(arguments.has("--quiet"));
    SampleInput source(input, arguments.has("--raw"), profile.sampleRate, showProgress);
    // Opened once the input is known good, so a mistake leaves no output behind.
    std::unique_ptr<AviOutput> avi;
    if (aviPath) {
        avi = std::make_unique<AviOutput>(*aviPath, profile, framesPerSecond, codec);
    }
    std::unique_ptr<FrameFileOutput> frameFile;
    if (tvPath) {
        frameFile = std::make_unique<FrameFileOutput>(*tvPath);
    }
    std::unique_ptr<PictureWriter> pngs;
    if (folder) {
        pngs = std::make_unique<PictureWriter>();
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
            pngs->write(pictureName(*folder, pictures), toRgbImage(surface, pngArea));
        }
        if (avi) {
            avi->write(surface);
        }
        if (frameFile) {
            frameFile->write(surface); // the whole surface as composed, whatever PNGs crop
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
            tuner->afterBlock(receiver, block);
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
                     tuner->phaseBlock(receiver));
    }
    return 0;
}

} // namespace nbtv::cli
