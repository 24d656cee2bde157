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

#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "Commands.h"
#include "ConvertInfo.h"
#include "picture/ImageFile.h"
#include "recording/AviWriter.h"
#include "recording/FrameFile.h"
#include "recording/FrameFileReader.h"
#include "shell/AtomicFile.h"
#include "shell/FfmpegSupport.h"

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

std::string pictureName(int number) {
    char name[32];
    std::snprintf(name, sizeof name, "picture-%04d.png", number);
    return name;
}

void refuseExisting(const std::string& path) {
    std::error_code ec;
    if (fs::exists(path, ec)) {
        throw RunError(quotedPath(path) + " already exists");
    }
}

void reportTruncated(const FrameFileReader& reader) {
    std::fprintf(stderr, "nbtv: %s; the %d whole record%s before it converted\n",
                 reader.error().c_str(), reader.records(), reader.records() == 1 ? "" : "s");
}

// Reads every record of a frame file through `take`; a bad header is an error, a short last
// record a warning.
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
        if (status == FrameFileReader::Status::Bad) {
            throw RunError(reader.error());
        }
        if (reader.records() == 0) {
            throw RunError(status == FrameFileReader::Status::End
                               ? quotedPath(input) + " holds no frame records"
                               : reader.error());
        }
        if (status == FrameFileReader::Status::Truncated) {
            reportTruncated(reader);
        }
        return reader.records();
    }
}

// Pictures written so far, removed again unless the conversion completes.
class PictureFolder {
  public:
    explicit PictureFolder(fs::path folder) : folder_(std::move(folder)) {
        std::error_code ec;
        if (fs::exists(folder_, ec) && !fs::is_directory(folder_, ec)) {
            throw RunError(quotedPath(folder_.string()) + " is not a folder");
        }
        if (fs::exists(folder_ / pictureName(1), ec)) {
            throw RunError(quotedPath(folder_.string()) + " already holds pictures");
        }
        if (!fs::exists(folder_, ec)) {
            if (!fs::create_directories(folder_, ec)) {
                throw RunError("cannot create folder " + quotedPath(folder_.string()) + ": " +
                               ec.message());
            }
            created_ = true;
        }
    }
    PictureFolder(const PictureFolder&) = delete;
    PictureFolder& operator=(const PictureFolder&) = delete;
    ~PictureFolder() {
        if (complete_) {
            return;
        }
        std::error_code ec;
        for (const fs::path& p : written_) {
            fs::remove(p, ec);
        }
        if (created_) {
            fs::remove(folder_, ec);
        }
    }

    void add(const RgbImage& image) {
        const fs::path path = folder_ / pictureName(static_cast<int>(written_.size()) + 1);
        std::string error;
        if (!writePng(path.string(), image, error)) {
            throw RunError(error);
        }
        written_.push_back(path);
    }
    void complete() { complete_ = true; }

  private:
    fs::path folder_;
    std::vector<fs::path> written_;
    bool created_ = false;
    bool complete_ = false;
};

int frameFileToPictures(const std::string& input, const std::string& output) {
    PictureFolder folder(output);
    const PixelRect whole{0, 0, frameRecordWidth, frameRecordHeight};
    const int count = forEachRecord(input, [&](const std::vector<std::uint8_t>& pixels) {
        folder.add(toRgbImage(frameRecordSurface(pixels), whole));
    });
    folder.complete();
    std::fprintf(stderr, "nbtv: %d picture%s written to %s\n", count, count == 1 ? "" : "s",
                 output.c_str());
    return 0;
}

// A hidden name beside `path` for the AVI file until it is finished.
std::string temporaryBeside(const std::string& path) {
    const fs::path target(path);
    std::string name(".");
    name.append(target.filename().string()).append(".part-").append(std::to_string(::getpid()));
    return (target.parent_path() / name).string();
}

int frameFileToAvi(const std::string& input, const std::string& output,
                   const AviCompression& compression, int framesPerSecond) {
    refuseExisting(output);
    const std::string temp = temporaryBeside(output);
    AviWriter writer;
    if (writer.open(temp, frameRecordWidth, frameRecordHeight, framesPerSecond, compression) !=
        AviWriter::Result::Ok) {
        throw RunError("cannot create " + quotedPath(output) + ": " + writer.error());
    }
    int count = 0;
    try {
        count = forEachRecord(input, [&](const std::vector<std::uint8_t>& pixels) {
            // The writer takes the bottom row first: walk the top-first rows backwards.
            const std::uint8_t* bottom = pixels.data() + (frameRecordHeight - 1) * rowBytes;
            if (!writer.writeFrame(bottom, -static_cast<std::ptrdiff_t>(rowBytes))) {
                throw RunError("cannot write " + quotedPath(output) + ": " + writer.error());
            }
        });
    } catch (...) {
        writer.discard();
        throw;
    }
    if (!writer.finish()) {
        std::error_code ec;
        fs::remove(temp, ec);
        throw RunError("cannot write " + quotedPath(output) + ": " + writer.error());
    }
    std::error_code ec;
    fs::rename(temp, output, ec);
    if (ec) {
        fs::remove(temp, ec);
        throw RunError("cannot create " + quotedPath(output) + ": " + ec.message());
    }
    std::fprintf(stderr, "nbtv: %d frame%s written to %s\n", count, count == 1 ? "" : "s",
                 output.c_str());
    return 0;
}

// A frame file written whole or not at all, one 288 x 219 surface at a time.
class FrameFileOutput {
  public:
    explicit FrameFileOutput(const std::string& path) : path_(path), file_(path) {
        refuseExisting(path);
        std::string error;
        if (!file_.create(error)) {
            throw RunError(error);
        }
    }
    void add(const PixelSurface& surface) {
        const std::vector<std::uint8_t> record = frameRecord(surface);
        std::string error;
        if (!file_.write(record.data(), record.size(), error)) {
            throw RunError(error);
        }
        ++records_;
    }
    int commit() {
        if (records_ == 0) {
            throw RunError("no pictures to write to " + quotedPath(path_));
        }
        std::string error;
        if (!file_.commit(error)) {
            throw RunError(error);
        }
        return records_;
    }

  private:
    std::string path_;
    AtomicFile file_;
    int records_ = 0;
};

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

int picturesToFrameFile(const std::string& input, const std::string& output) {
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
    FrameFileOutput out(output);
    for (const fs::path& picture : pictures) {
        RgbImage image;
        std::string error;
        if (!loadImageScaled(picture.string(), frameRecordWidth, frameRecordHeight, image, error)) {
            throw RunError(error);
        }
        out.add(surfaceOf(image));
    }
    const int count = out.commit();
    std::fprintf(stderr, "nbtv: %d record%s written to %s\n", count, count == 1 ? "" : "s",
                 output.c_str());
    return 0;
}

int videoToFrameFile(const std::string& input, const std::string& output) {
    FrameFileOutput out(output);
    std::string error;
    if (!decodePictures(
            input, frameRecordWidth, frameRecordHeight, PictureSource{},
            [&](const RgbImage& picture) {
                out.add(surfaceOf(picture));
                return true;
            },
            error)) {
        throw RunError(error);
    }
    const int count = out.commit();
    std::fprintf(stderr, "nbtv: %d record%s written to %s\n", count, count == 1 ? "" : "s",
                 output.c_str());
    return 0;
}

} // namespace

int runConvert(const std::vector<std::string>& args) {
    const Arguments arguments(args, convertOptions);
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
            return frameFileToAvi(input, output, compression, fps);
        }
        if (arguments.has("--codec") || arguments.has("--fps")) {
            throw UsageError("--codec and --fps are for an AVI output");
        }
        if (endsWith(output, ".tv")) {
            throw UsageError("OUT is a folder for pictures or a .avi file, not a .tv file");
        }
        return frameFileToPictures(input, output);
    }
    if (!endsWith(output, ".tv")) {
        throw UsageError("converting " + quotedPath(input) + " needs a .tv OUT (or IN a .tv file)");
    }
    if (arguments.has("--codec") || arguments.has("--fps")) {
        throw UsageError("--codec and --fps are for an AVI output");
    }
    return inputIsFolder ? picturesToFrameFile(input, output) : videoToFrameFile(input, output);
}

} // namespace nbtv::cli
