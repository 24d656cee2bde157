#include "io/ImageFile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <dlfcn.h>
#include <zlib.h>

#include <libavdevice/version_major.h>

#include "io/FfmpegLibrary.h"

#include "io/AtomicFile.h"
#include "io/FfmpegSupport.h"

namespace nbtv {

namespace {

void putBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>((v >> shift) & 0xff));
    }
}

// One PNG chunk: length, type, data, and the CRC of type and data.
void appendChunk(std::vector<std::uint8_t>& out, const char* type, const std::uint8_t* data,
                 std::size_t size) {
    putBe32(out, static_cast<std::uint32_t>(size));
    const std::size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data, data + size);
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), out.data() + typeAt, static_cast<uInt>(size + 4));
    putBe32(out, static_cast<std::uint32_t>(crc));
}

struct FormatInput {
    AVFormatContext* format = nullptr;
    AVCodecContext* decoder = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwsContext* scaler = nullptr;
    std::size_t cutPackets = 0; // pictures the file holds only part of (a file cut short)
    FormatInput() = default;
    FormatInput(const FormatInput&) = delete;
    FormatInput& operator=(const FormatInput&) = delete;
    ~FormatInput() {
        if (!ffmpegLoaded()) {
            return; // nothing was made
        }
        ff().sws_freeContext(scaler);
        ff().av_frame_free(&frame);
        ff().av_packet_free(&packet);
        ff().avcodec_free_context(&decoder);
        ff().avformat_close_input(&format);
    }
};

// libavformat's still-image demuxers: "image2" (chosen by file name), the content-probed
// "<codec>_pipe" ones, and the GIF and APNG readers. Anything else (a video, or a text file the
// ANSI-art reader would render) is not a picture file.
bool isImageDemuxer(std::string_view name) {
    constexpr std::string_view pipe = "_pipe";
    return name == "image2" || name == "gif" || name == "apng" ||
           (name.size() > pipe.size() && name.substr(name.size() - pipe.size()) == pipe);
}

// Decodes the stream's pictures in order and hands each to `take` until it returns false.
// False with `error` set on a decoding failure, or when no picture came at all.
bool decodeEach(FormatInput& in, int stream, const std::string& path,
                const std::function<bool(const AVFrame&)>& take, std::string& error) {
    bool flushing = false;
    bool any = false;
    for (;;) {
        int rc = ff().avcodec_receive_frame(in.decoder, in.frame);
        if (rc == 0) {
            any = true;
            const bool more = take(*in.frame);
            ff().av_frame_unref(in.frame);
            if (!more) {
                return true;
            }
            continue;
        }
        if (rc == AVERROR_EOF || (rc == AVERROR(EAGAIN) && flushing)) {
            if (!any) {
                error = quotedPath(path) + " holds no picture";
            }
            return any;
        }
        if (rc != AVERROR(EAGAIN)) {
            error = "cannot decode " + quotedPath(path) + ": " + ffmpegMessage(rc);
            return false;
        }
        rc = ff().av_read_frame(in.format, in.packet);
        if (rc == AVERROR_EOF) {
            flushing = true;
            rc = ff().avcodec_send_packet(in.decoder, nullptr);
        } else if (rc < 0) {
            error = "cannot read " + quotedPath(path) + ": " + ffmpegMessage(rc);
            return false;
        } else if (in.packet->stream_index != stream) {
            ff().av_packet_unref(in.packet);
            continue;
        } else if ((in.packet->flags & AV_PKT_FLAG_CORRUPT) != 0) {
            // Part of a picture (the end of a recording that was cut off): the decoder would
            // refuse it or make garbage of it, and the whole pictures before it still count.
            ++in.cutPackets;
            ff().av_packet_unref(in.packet);
            continue;
        } else {
            rc = ff().avcodec_send_packet(in.decoder, in.packet);
            ff().av_packet_unref(in.packet);
        }
        if (rc < 0 && rc != AVERROR_EOF) {
            error = "cannot decode " + quotedPath(path) + ": " + ffmpegMessage(rc);
            return false;
        }
    }
}

// Deflates with run-length matches only: received pictures are written many a second while
// decoding, and their flat areas are what compresses; a search for longer matches costs far
// more time than it saves bytes. One compressor serves every picture of a thread, reset for
// each: setting one up afresh takes a quarter of a megabyte that the system hands out (and
// faults in) again every time, which cost more than compressing a small picture. A reset
// stream writes the same bytes as a new one.
class RleDeflater {
  public:
    RleDeflater() {
        ready_ = deflateInit2(&stream_, Z_BEST_SPEED, Z_DEFLATED, 15, 8, Z_RLE) == Z_OK;
    }
    ~RleDeflater() {
        if (ready_) {
            deflateEnd(&stream_);
        }
    }
    RleDeflater(const RleDeflater&) = delete;
    RleDeflater& operator=(const RleDeflater&) = delete;

    bool pack(const std::vector<std::uint8_t>& raw, std::vector<std::uint8_t>& packed) {
        if (!ready_ || raw.size() > std::numeric_limits<uInt>::max() / 2) {
            return false; // one call of deflate takes no more
        }
        if (deflateReset(&stream_) != Z_OK) {
            return false;
        }
        packed.resize(deflateBound(&stream_, static_cast<uLong>(raw.size())));
        stream_.next_in = const_cast<Bytef*>(raw.data());
        stream_.avail_in = static_cast<uInt>(raw.size());
        stream_.next_out = packed.data();
        stream_.avail_out = static_cast<uInt>(packed.size());
        const int rc = deflate(&stream_, Z_FINISH);
        packed.resize(stream_.total_out);
        return rc == Z_STREAM_END;
    }

  private:
    z_stream stream_{};
    bool ready_ = false;
};

// What writing a picture needs, kept from one picture to the next on each thread: a large
// picture's buffers would otherwise come fresh from the system (and be faulted in) every time.
struct PngScratch {
    // Buffers larger than this are given back after the picture (a one-off large picture).
    static constexpr std::size_t keptBytes = std::size_t{8} << 20;
    RleDeflater deflater;
    std::vector<std::uint8_t> raw;
    std::vector<std::uint8_t> packed;
    std::vector<std::uint8_t> png;
    void trim() {
        for (std::vector<std::uint8_t>* v : {&raw, &packed, &png}) {
            if (v->capacity() > keptBytes) {
                *v = {};
            }
        }
    }
};

} // namespace

bool writePng(const std::string& path, const RgbImage& image, std::string& error, Replace replace) {
    constexpr auto maxSide = static_cast<int>(std::numeric_limits<std::int32_t>::max());
    if (image.width <= 0 || image.height <= 0 || image.width > maxSide / 3 ||
        image.rgb.size() != static_cast<std::size_t>(image.width) * image.height * 3) {
        error = "cannot write " + quotedPath(path) + ": the picture is empty or malformed";
        return false;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(image.width) * 3;
    // Each row is preceded by its filter type; 2 ("up") stores each byte less the one above it
    // (the first row less zeros). A picture's flat areas become runs of zeros: the file is
    // about half the size, and compressing it faster.
    thread_local PngScratch scratch;
    std::vector<std::uint8_t>& raw = scratch.raw;
    raw.resize((rowBytes + 1) * static_cast<std::size_t>(image.height));
    for (int y = 0; y < image.height; ++y) {
        std::uint8_t* out = raw.data() + (rowBytes + 1) * static_cast<std::size_t>(y);
        out[0] = 2;
        const std::uint8_t* row = image.pixel(0, y);
        if (y == 0) {
            std::copy(row, row + rowBytes, out + 1);
            continue;
        }
        const std::uint8_t* above = image.pixel(0, y - 1);
        for (std::size_t i = 0; i < rowBytes; ++i) {
            out[1 + i] = static_cast<std::uint8_t>(row[i] - above[i]);
        }
    }
    std::vector<std::uint8_t>& packed = scratch.packed;
    if (!scratch.deflater.pack(raw, packed)) {
        error = "cannot write " + quotedPath(path) + ": compression failed";
        return false;
    }
    const std::size_t packedSize = packed.size();

    std::vector<std::uint8_t>& png = scratch.png;
    png.assign({0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'});
    std::vector<std::uint8_t> header;
    putBe32(header, static_cast<std::uint32_t>(image.width));
    putBe32(header, static_cast<std::uint32_t>(image.height));
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8 bits, RGB, deflate, row filters, no interlace
    appendChunk(png, "IHDR", header.data(), header.size());
    // Chunk lengths are limited to 2^31 - 1; large pictures take several IDAT chunks.
    constexpr std::size_t maxChunk = std::size_t{1} << 30;
    for (std::size_t at = 0; at < packedSize; at += maxChunk) {
        appendChunk(png, "IDAT", packed.data() + at, std::min(maxChunk, packedSize - at));
    }
    appendChunk(png, "IEND", nullptr, 0);

    AtomicFile file(path, replace);
    const bool written =
        file.create(error) && file.write(png.data(), png.size(), error) && file.commit(error);
    scratch.trim();
    return written;
}

namespace {

// Loads libavdevice (the same major version as the headers) and registers its inputs with
// libavformat; an empty text when that worked. Loaded here rather than linked, since it brings
// libavfilter and more codec libraries into every process that only reads files.
std::string registerDevices() {
    static constexpr const char* library =
        "libavdevice.so." AV_STRINGIFY(LIBAVDEVICE_VERSION_MAJOR);
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL); // kept loaded: libavformat refers to it
    if (handle == nullptr) {
        const char* why = dlerror(); // names the library and why it failed
        return why != nullptr ? why : std::string(library) + " cannot be loaded";
    }
    void* entry = dlsym(handle, "avdevice_register_all");
    if (entry == nullptr) {
        return std::string(library) + " has no avdevice_register_all";
    }
    using RegisterAll = void (*)();
    reinterpret_cast<RegisterAll>(entry)();
    return {};
}

} // namespace

bool decodePictures(const std::string& path, int width, int height, const PictureSource& source,
                    const std::function<bool(const RgbImage&)>& take, std::string& error,
                    std::size_t* incomplete) {
    if (!loadFfmpeg(error)) {
        return false;
    }
    if (width <= 0 || height <= 0) {
        error = "cannot scale " + quotedPath(path) + " to " + std::to_string(width) + " x " +
                std::to_string(height);
        return false;
    }
    FormatInput in;
    // The image2 demuxer reads the numbered files of a pattern; a device names its own input
    // (libavdevice); anything else is probed.
    const AVInputFormat* forced =
        source.numberedPattern ? ff().av_find_input_format("image2") : nullptr;
    if (!source.device.empty()) {
        static const std::string loadError = registerDevices();
        if (!loadError.empty()) {
            error =
                "cannot open " + source.device + " input " + quotedPath(path) + ": " + loadError;
            return false;
        }
        forced = ff().av_find_input_format(source.device.c_str());
        if (forced == nullptr) {
            error = "FFmpeg has no " + source.device + " input (libavdevice without it)";
            return false;
        }
    }
    int rc = ff().avformat_open_input(&in.format, path.c_str(), forced, nullptr);
    if (rc < 0 && !source.device.empty()) {
        error = "cannot open " + source.device + " input " + quotedPath(path) + ": " +
                ffmpegMessage(rc);
        return false;
    }
    if (rc < 0) {
        error = openFailure(path, rc, source.stillsOnly ? "picture" : "video or picture");
        return false;
    }
    if (source.stillsOnly && !isImageDemuxer(in.format->iformat->name)) {
        error = quotedPath(path) + " is not a picture file";
        return false;
    }
    rc = ff().avformat_find_stream_info(in.format, nullptr);
    if (rc < 0) {
        error = "cannot read " + quotedPath(path) + ": " + ffmpegMessage(rc);
        return false;
    }
    const AVCodec* codec = nullptr;
    const int stream = ff().av_find_best_stream(in.format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream == AVERROR_DECODER_NOT_FOUND) {
        error = "no decoder for the picture in " + quotedPath(path);
        return false;
    }
    if (stream < 0 || codec == nullptr) {
        error = quotedPath(path) + " holds no picture";
        return false;
    }
    in.decoder = ff().avcodec_alloc_context3(codec);
    in.packet = ff().av_packet_alloc();
    in.frame = ff().av_frame_alloc();
    if (in.decoder == nullptr || in.packet == nullptr || in.frame == nullptr) {
        error = "out of memory reading " + quotedPath(path);
        return false;
    }
    rc = ff().avcodec_parameters_to_context(in.decoder, in.format->streams[stream]->codecpar);
    if (rc >= 0) {
        rc = ff().avcodec_open2(in.decoder, codec, nullptr);
    }
    if (rc < 0) {
        error = "cannot decode " + quotedPath(path) + ": " + ffmpegMessage(rc);
        return false;
    }

    // Scale into a padded buffer: swscale's vector code may store a little past a row's end.
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    const std::size_t stride = (rowBytes + 63) / 64 * 64;
    std::vector<std::uint8_t> scaled(stride * (static_cast<std::size_t>(height) + 1));
    std::size_t taken = 0;
    bool failed = false;
    const bool decoded = decodeEach(
        in, stream, path,
        [&](const AVFrame& f) {
            if (f.width <= 0 || f.height <= 0 || f.format < 0) {
                error = "cannot decode " + quotedPath(path) + ": the picture has no size";
                failed = true;
                return false;
            }
            // Area averaging, accurately rounded: the same for stills and sequences.
            in.scaler = ff().sws_getCachedContext(
                in.scaler, f.width, f.height, static_cast<AVPixelFormat>(f.format), width, height,
                AV_PIX_FMT_RGB24, SWS_AREA | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
            std::uint8_t* dst[4] = {scaled.data(), nullptr, nullptr, nullptr};
            const int dstStride[4] = {static_cast<int>(stride), 0, 0, 0};
            if (in.scaler == nullptr ||
                ff().sws_scale(in.scaler, f.data, f.linesize, 0, f.height, dst, dstStride) <= 0) {
                error = "cannot scale " + quotedPath(path) + ": unsupported picture format";
                failed = true;
                return false;
            }
            RgbImage picture(width, height);
            for (int y = 0; y < height; ++y) {
                std::memcpy(picture.pixel(0, y), scaled.data() + stride * y, rowBytes);
            }
            ++taken;
            return take(picture) && taken < source.limit;
        },
        error);
    if (incomplete != nullptr) {
        *incomplete = in.cutPackets;
    }
    return decoded && !failed;
}

bool isNumberedPattern(const std::string& path) {
    // A '%' followed (after flags and width) by 'd' is what image2 numbers files with.
    for (std::size_t at = path.find('%'); at != std::string::npos; at = path.find('%', at + 1)) {
        std::size_t k = at + 1;
        while (k < path.size() && (std::isdigit(static_cast<unsigned char>(path[k])) != 0)) {
            ++k;
        }
        if (k < path.size() && path[k] == 'd') {
            return true;
        }
    }
    return false;
}

bool loadImageScaled(const std::string& path, int width, int height, RgbImage& image,
                     std::string& error) {
    PictureSource still;
    still.stillsOnly = true;
    still.limit = 1;
    return decodePictures(
        path, width, height, still,
        [&](const RgbImage& picture) {
            image = picture;
            return false;
        },
        error);
}

} // namespace nbtv
