// nbtv convert: a frame file (.tv) to PNG pictures or an AVI file, and a folder of pictures or a
// video file back to a frame file. Every output appears whole or not at all.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "io/FfmpegLibrary.h"

#include "Commands.h"
#include "ConvertInfo.h"
#include "Outputs.h"
#include "io/AtomicFile.h"
#include "io/AviWriter.h"
#include "io/FfmpegSupport.h"
#include "io/FrameFile.h"
#include "io/FrameFileReader.h"
#include "io/ImageFile.h"

namespace nbtv::cli {

namespace {

namespace fs = std::filesystem;

const std::vector<OptionRule> convertOptions = {
    {"--codec", true},
    {"--fps", true},
};

constexpr int defaultFramesPerSecond = 10;
constexpr std::size_t rowBytes = 4 * frameRecordWidth;

bool endsWith(const std::string& text, const std::string& suffix) {
    if (text.size() < suffix.size()) {
        return false;
    }
    return std::equal(suffix.rbegin(), suffix.rend(), text.rbegin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
    });
}

void reportDamage(const FrameFileReader& reader) {
    std::fprintf(stderr, "nbtv: %s; the %d whole record%s before it converted\n",
                 reader.error().c_str(), reader.records(), reader.records() == 1 ? "" : "s");
}

// Reads every record of a frame file through `take`. A short last record or a damaged header
// ends the file there: the whole records before it are kept and the damage reported.
template <typename Take>
int forEachRecord(const std::string& input, Take take) {
    FrameFileReader reader;
    if (!reader.open(input)) {
        throw RunError(reader.error());
    }
    std::vector<std::uint8_t> pixels;
    for (;;) {
        const FrameFileReader::Status status = reader.next(pixels);
        if (status == FrameFileReader::Status::Record) {
            take(pixels);
            continue;
        }
        if (reader.records() == 0) {
            throw RunError(status == FrameFileReader::Status::End
                               ? quotedPath(input) + " holds no frame records"
                               : reader.error());
        }
        if (status != FrameFileReader::Status::End) {
            reportDamage(reader);
        }
        return reader.records();
    }
}

// Pictures written so far, removed again (with a folder made for them) unless the conversion
// completes.
class PictureOutput {
  public:
    PictureOutput(const std::string& folder, const OutputRule& rule) : folder_(folder, rule) {
        folder_.prepare();
    }
    PictureOutput(const PictureOutput&) = delete;
    PictureOutput& operator=(const PictureOutput&) = delete;
    ~PictureOutput() {
        if (complete_) {
            return;
        }
        std::error_code ec;
        for (const fs::path& p : written_) {
            fs::remove(p, ec);
        }
        if (folder_.created()) {
            fs::remove(folder_.path(), ec);
        }
    }

    void add(const RgbImage& image) {
        const fs::path path = pictureName(folder_.path(), static_cast<int>(written_.size()) + 1);
        std::string error;
        if (!writePng(path.string(), image, error, folder_.replace())) {
            throw RunError(error);
        }
        written_.push_back(path);
    }
    void complete() { complete_ = true; }

  private:
    PictureFolder folder_;
    std::vector<fs::path> written_;
    bool complete_ = false;
};

int frameFileToPictures(const std::string& input, const std::string& output,
                        const OutputRule& rule) {
    PictureOutput folder(output, rule);
    const PixelRect whole{0, 0, frameRecordWidth, frameRecordHeight};
    const int count = forEachRecord(input, [&](const std::vector<std::uint8_t>& pixels) {
        folder.add(toRgbImage(frameRecordSurface(pixels), whole));
    });
    folder.complete();
    std::fprintf(stderr, "nbtv: %d picture%s written to %s\n", count, count == 1 ? "" : "s",
                 output.c_str());
    return 0;
}

int frameFileToAvi(const std::string& input, const std::string& output,
                   const AviCompression& compression, int framesPerSecond, const OutputRule& rule) {
    checkOutputFiles({output}, rule);
    AviOutput avi(output, frameRecordWidth, frameRecordHeight, framesPerSecond, compression,
                  rule.replace);
    const int count = forEachRecord(input, [&](const std::vector<std::uint8_t>& pixels) {
        // The writer takes the bottom row first: walk the top-first rows backwards.
        const std::uint8_t* bottom = pixels.data() + (frameRecordHeight - 1) * rowBytes;
        avi.write(bottom, -static_cast<std::ptrdiff_t>(rowBytes));
    });
    avi.finish();
    std::fprintf(stderr, "nbtv: %d frame%s written to %s\n", count, count == 1 ? "" : "s",
                 output.c_str());
    return 0;
}

// The records of a new frame file; at least one is needed.
int finishFrameFile(FrameFileOutput& out, const std::string& output) {
    if (out.records() == 0) {
        throw RunError("no pictures to write to " + quotedPath(output));
    }
    out.finish();
    return out.records();
}

PixelSurface surfaceOf(const RgbImage& image) {
    PixelSurface surface(image.width, image.height);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const std::uint8_t* p = image.pixel(x, y);
            surface.at(x, y) = rgbPixel(p[0], p[1], p[2]);
        }
    }
    return surface;
}

int picturesToFrameFile(const std::string& input, const std::string& output,
                        const OutputRule& rule) {
    std::vector<fs::path> pictures;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(input, ec)) {
        if (entry.is_regular_file(ec) && endsWith(entry.path().filename().string(), ".png")) {
            pictures.push_back(entry.path());
        }
    }
    if (ec) {
        throw RunError("cannot read folder " + quotedPath(input) + ": " + ec.message());
    }
    if (pictures.empty()) {
        throw RunError("no .png pictures in " + quotedPath(input));
    }
    std::sort(pictures.begin(), pictures.end());
    checkOutputFiles({output}, rule);
    FrameFileOutput out(output, rule.replace);
    for (const fs::path& picture : pictures) {
        RgbImage image;
        std::string error;
        if (!loadImageScaled(picture.string(), frameRecordWidth, frameRecordHeight, image, error)) {
            throw RunError(error);
        }
        out.add(surfaceOf(image));
    }
    const int count = finishFrameFile(out, output);
    std::fprintf(stderr, "nbtv: %d record%s written to %s\n", count, count == 1 ? "" : "s",
                 output.c_str());
    return 0;
}

int videoToFrameFile(const std::string& input, const std::string& output, const OutputRule& rule) {
    checkOutputFiles({output}, rule);
    FrameFileOutput out(output, rule.replace);
    std::string error;
    std::size_t incomplete = 0;
    if (!decodePictures(
            input, frameRecordWidth, frameRecordHeight, PictureSource{},
            [&](const RgbImage& picture) {
                out.add(surfaceOf(picture));
                return true;
            },
            error, &incomplete)) {
        throw RunError(error);
    }
    if (incomplete > 0) {
        std::fprintf(stderr, "nbtv: %s is cut short: %zu incomplete frame%s left out\n",
                     quotedPath(input).c_str(), incomplete, incomplete == 1 ? "" : "s");
    }
    const int count = finishFrameFile(out, output);
    std::fprintf(stderr, "nbtv: %d record%s written to %s\n", count, count == 1 ? "" : "s",
                 output.c_str());
    return 0;
}

} // namespace

int runConvert(const std::vector<std::string>& args) {
    std::vector<OptionRule> options = convertOptions;
    options.insert(options.end(), overwriteOptions.begin(), overwriteOptions.end());
    const Arguments arguments(args, options);
    const std::vector<std::string>& files = arguments.positionals();
    if (files.size() != 2) {
        throw UsageError(files.size() < 2
                             ? "convert takes IN and OUT"
                             : "convert takes IN and OUT only, not '" + files[2] + "'");
    }
    const std::string& input = files[0];
    const std::string& output = files[1];
    std::error_code ec;
    const bool inputIsFolder = fs::is_directory(input, ec);
    if (!inputIsFolder && !fs::exists(input, ec)) {
        throw RunError(quotedPath(input) + " does not exist");
    }
    const OutputRule rule = outputRule(arguments, {input});

    if (endsWith(input, ".tv") && !inputIsFolder) {
        if (endsWith(output, ".avi")) {
            AviCompression compression;
            compression.codec = arguments.text("--codec").value_or("raw");
            if (findAviCodec(compression.codec) == nullptr) {
                std::string ids;
                for (const AviCodec& codec : aviCodecCandidates()) {
                    ids += (ids.empty() ? "" : ", ") + std::string(codec.id);
                }
                throw UsageError("--codec takes one of " + ids + ", not '" + compression.codec +
                                 "'");
            }
            const auto fps = static_cast<int>(
                arguments.integer("--fps", 1, maxAviFrameRate, defaultFramesPerSecond));
            return frameFileToAvi(input, output, compression, fps, rule);
        }
        if (arguments.has("--codec") || arguments.has("--fps")) {
            throw UsageError("--codec and --fps are for an AVI output");
        }
        if (endsWith(output, ".tv")) {
            throw UsageError("OUT is a folder for pictures or a .avi file, not a .tv file");
        }
        return frameFileToPictures(input, output, rule);
    }
    if (!endsWith(output, ".tv")) {
        throw UsageError("converting " + quotedPath(input) + " needs a .tv OUT (or IN a .tv file)");
    }
    if (arguments.has("--codec") || arguments.has("--fps")) {
        throw UsageError("--codec and --fps are for an AVI output");
    }
    return inputIsFolder ? picturesToFrameFile(input, output, rule)
                         : videoToFrameFile(input, output, rule);
}

} // namespace nbtv::cli
