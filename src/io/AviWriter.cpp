#include "io/AviWriter.h"

#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/FfmpegLibrary.h"

#include "io/FfmpegSupport.h"

namespace nbtv {

namespace {

constexpr int bytesPerPixel = 4;
constexpr int ioBufferSize = 32 * 1024;

// Room kept free behind each frame for what the trailer appends: the idx1 entry (16 bytes) and
// an OpenDML entry (8 bytes) of every frame, plus the chunk headers around them.
constexpr std::int64_t indexBytesPerFrame = 24;
constexpr std::int64_t trailerSlack = 4096;

std::string errnoText(int code) {
    return std::strerror(code);
}

// The AVIO callbacks over our own descriptor: every byte handed over reaches the operating
// system at once, and a failure keeps its errno text.
struct FileSink {
    int fd = -1;
    int lastErrno = 0;
};

int writeToFile(void* opaque, std::uint8_t* data, int size) {
    auto* sink = static_cast<FileSink*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n = ::write(sink->fd, data + done, static_cast<std::size_t>(size - done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            sink->lastErrno = errno;
            return AVERROR(errno);
        }
        done += static_cast<int>(n);
    }
    return size;
}

std::int64_t seekInFile(void* opaque, std::int64_t offset, int whence) {
    auto* sink = static_cast<FileSink*>(opaque);
    if ((whence & AVSEEK_SIZE) != 0) {
        struct stat info {};
        return ::fstat(sink->fd, &info) == 0 ? static_cast<std::int64_t>(info.st_size)
                                             : AVERROR(errno);
    }
    const off_t at = ::lseek(sink->fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : static_cast<std::int64_t>(at);
}

} // namespace

const std::vector<AviCodec>& aviCodecCandidates() {
    // 4:2:0 needs an even height in libx264, so H.264 comes as 4:2:2 and 4:4:4; the MPEG-4
    // encoder takes the odd height as it is.
    static const std::vector<AviCodec> codecs{
        {"raw", "Full Frames (Uncompressed, 32 bits)", "rawvideo", "bgra", true, false},
        {"ffv1", "FFV1 (lossless)", "ffv1", "bgr0", true, false},
        {"huffyuv", "HuffYUV (lossless)", "huffyuv", "rgb24", true, false},
        {"utvideo", "Ut Video RGB (lossless)", "utvideo", "gbrp", true, false},
        {"png", "PNG (lossless)", "png", "rgb24", true, false},
        {"zmbv", "Zip Motion Blocks Video (lossless)", "zmbv", "bgr0", true, false},
        {"mjpeg", "Motion JPEG 4:2:2 (lossy)", "mjpeg", "yuvj422p", false, true},
        {"mpeg4", "MPEG-4 Visual (lossy)", "mpeg4", "yuv420p", false, true},
        {"h264-422", "H.264 4:2:2 (x264, lossy)", "libx264", "yuv422p", false, true},
        {"h264-444", "H.264 4:4:4 (x264, lossy)", "libx264", "yuv444p", false, true},
    };
    return codecs;
}

const AviCodec* findAviCodec(std::string_view id) {
    for (const AviCodec& codec : aviCodecCandidates()) {
        if (codec.id == id) {
            return &codec;
        }
    }
    return nullptr;
}

struct AviWriter::Impl {
    std::string path;
    std::string error;
    FileSink sink;
    bool created = false; // the file is ours to remove on a failed set-up
    bool reserveSpace = true;
    std::uint8_t* probeBuffer = nullptr; // probes write into memory

    AVFormatContext* format = nullptr;
    AVIOContext* io = nullptr;
    bool memoryIo = false;
    AVStream* stream = nullptr;
    const AviCodec* codec = nullptr;
    AVCodecContext* encoder = nullptr;
    AVFrame* picture = nullptr;   // bottom-up input as given (raw) or top-down BGR0
    AVFrame* converted = nullptr; // in the encoder's pixel format
    SwsContext* scaler = nullptr;
    AVPacket* packet = nullptr;

    int width = 0;
    int height = 0;
    int framesPerSecond = 0;
    bool ready = false;
    bool writeFailed = false;
    int frames = 0;

    ~Impl() { release(); }

    void release() {
        if (!ffmpegLoaded()) {
            return; // nothing was made
        }
        ff().sws_freeContext(scaler);
        scaler = nullptr;
        ff().av_frame_free(&converted);
        ff().av_frame_free(&picture);
        ff().av_packet_free(&packet);
        ff().avcodec_free_context(&encoder);
        if (format != nullptr) {
            format->pb = nullptr;
            ff().avformat_free_context(format);
            format = nullptr;
        }
        stream = nullptr;
        if (io != nullptr) {
            if (memoryIo) {
                ff().avio_close_dyn_buf(io, &probeBuffer);
                ff().av_freep(&probeBuffer);
            } else {
                ff().av_freep(&io->buffer);
                ff().avio_context_free(&io);
            }
            io = nullptr;
        }
        if (sink.fd >= 0) {
            ::close(sink.fd);
            sink.fd = -1;
        }
        ready = false;
        codec = nullptr;
    }

    // The format context with a file or memory sink.
    bool makeFormat(std::string& why) {
        if (!loadFfmpeg(why)) {
            return false;
        }
        if (ff().avformat_alloc_output_context2(&format, nullptr, "avi", nullptr) < 0 ||
            format == nullptr) {
            why = "the AVI muxer is missing";
            return false;
        }
        if (memoryIo) {
            if (ff().avio_open_dyn_buf(&io) < 0) {
                why = "out of memory";
                return false;
            }
        } else {
            auto* buffer = static_cast<unsigned char*>(ff().av_malloc(ioBufferSize));
            io = buffer == nullptr ? nullptr
                                   : ff().avio_alloc_context(buffer, ioBufferSize, 1, &sink,
                                                             nullptr, writeToFile, seekInFile);
            if (io == nullptr) {
                ff().av_free(buffer);
                why = "out of memory";
                return false;
            }
        }
        format->pb = io;
        return true;
    }

    std::string ioFailure() const {
        if (sink.lastErrno != 0) {
            return errnoText(sink.lastErrno);
        }
        return io != nullptr && io->error < 0 ? ffmpegMessage(io->error) : "write failed";
    }

    // Allocates disk space for `bytes` behind the end of the file before anything is
    // written there, so that a full disk shows before a frame is half written and the
    // trailer still finds its room. Filesystems without preallocation just write.
    bool reserve(std::int64_t bytes) {
        if (memoryIo || !reserveSpace) {
            return true;
        }
        struct stat info {};
        if (::fstat(sink.fd, &info) != 0) {
            error = errnoText(errno);
            return false;
        }
        const int rc =
            ::fallocate(sink.fd, FALLOC_FL_KEEP_SIZE, info.st_size, static_cast<off_t>(bytes));
        if (rc == 0) {
            return true;
        }
        if (errno == EOPNOTSUPP || errno == ENOSYS) {
            reserveSpace = false;
            return true;
        }
        error = errnoText(errno);
        return false;
    }

    // Writes the packet now in `packet` as one key frame and hands it to the system.
    bool writePacket() {
        packet->stream_index = stream->index;
        packet->flags |= AV_PKT_FLAG_KEY;
        ff().av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
        const std::int64_t chunk = 8 + packet->size + (packet->size & 1);
        if (!reserve(chunk + indexBytesPerFrame * (frames + 1) + trailerSlack)) {
            ff().av_packet_unref(packet);
            return false;
        }
        const int rc = ff().av_write_frame(format, packet);
        ff().av_packet_unref(packet);
        if (rc < 0) {
            error = sink.lastErrno != 0 ? errnoText(sink.lastErrno) : ffmpegMessage(rc);
            return false;
        }
        ff().avio_flush(io);
        if (io->error < 0) {
            error = ioFailure();
            return false;
        }
        ++frames;
        return true;
    }

    // Hands `frame` (nullptr: the end) to the encoder and writes what comes out.
    bool encode(AVFrame* frame) {
        int rc = ff().avcodec_send_frame(encoder, frame);
        if (rc < 0 && rc != AVERROR_EOF) {
            error = "cannot compress a frame: " + ffmpegMessage(rc);
            return false;
        }
        for (;;) {
            rc = ff().avcodec_receive_packet(encoder, packet);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
                return true;
            }
            if (rc < 0) {
                error = "cannot compress a frame: " + ffmpegMessage(rc);
                return false;
            }
            if (!writePacket()) {
                return false;
            }
        }
    }

    bool setUpEncoder(const AviCompression& compression) {
        const AVCodec* found =
            ff().avcodec_find_encoder_by_name(std::string(codec->encoder).c_str());
        if (found == nullptr) {
            error = "this FFmpeg has no " + std::string(codec->encoder) + " encoder";
            return false;
        }
        const AVPixelFormat pixelFormat =
            ff().av_get_pix_fmt(std::string(codec->pixelFormat).c_str());
        encoder = ff().avcodec_alloc_context3(found);
        picture = ff().av_frame_alloc();
        packet = ff().av_packet_alloc();
        if (encoder == nullptr || picture == nullptr || packet == nullptr) {
            error = "out of memory";
            return false;
        }
        encoder->width = width;
        encoder->height = height;
        encoder->pix_fmt = pixelFormat;
        encoder->time_base = AVRational{1, framesPerSecond};
        encoder->framerate = AVRational{framesPerSecond, 1};
        encoder->sample_aspect_ratio = AVRational{1, 1};
        // Every frame stands alone, and nothing is held back inside the encoder: a frame is
        // in the file as soon as it has been written.
        encoder->gop_size = 1;
        encoder->keyint_min = 1;
        encoder->max_b_frames = 0;
        encoder->thread_count = 1;
        const AVPixFmtDescriptor* description = ff().av_pix_fmt_desc_get(pixelFormat);
        if (description != nullptr && (description->flags & AV_PIX_FMT_FLAG_RGB) == 0) {
            const bool full = codec->pixelFormat.starts_with("yuvj");
            encoder->color_range = full ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
            encoder->colorspace = AVCOL_SPC_SMPTE170M; // what swscale converts with
        }
        AVDictionary* options = nullptr;
        if (codec->encoder == "libx264") {
            ff().av_dict_set(&options, "tune", "zerolatency", 0);
            if (compression.dataRateKBps <= 0) {
                ff().av_dict_set(&options, "crf", "18", 0);
            }
        }
        if (codec->takesDataRate && compression.dataRateKBps > 0) {
            encoder->bit_rate = static_cast<std::int64_t>(compression.dataRateKBps) * 8 * 1024;
        } else if (codec->takesDataRate && codec->encoder != "libx264") {
            // The codec's own good quality instead of FFmpeg's default 200 kbit/s.
            encoder->flags |= AV_CODEC_FLAG_QSCALE;
            encoder->global_quality = 2 * FF_QP2LAMBDA;
        }
        const int rc = ff().avcodec_open2(encoder, found, &options);
        ff().av_dict_free(&options);
        if (rc < 0) {
            error =
                "cannot open the " + std::string(codec->encoder) + " encoder: " + ffmpegMessage(rc);
            return false;
        }

        // The raw stream takes the rows bottom-up as they come; the others get the picture the
        // right way up and in their own pixel format.
        picture->format = codec->id == "raw" ? pixelFormat : AV_PIX_FMT_BGR0;
        picture->width = width;
        picture->height = height;
        if (ff().av_frame_get_buffer(picture, 0) < 0) {
            error = "out of memory";
            return false;
        }
        if (picture->format != pixelFormat) {
            converted = ff().av_frame_alloc();
            if (converted == nullptr) {
                error = "out of memory";
                return false;
            }
            converted->format = pixelFormat;
            converted->width = width;
            converted->height = height;
            if (ff().av_frame_get_buffer(converted, 0) < 0) {
                error = "out of memory";
                return false;
            }
            scaler = ff().sws_getContext(width, height, AV_PIX_FMT_BGR0, width, height, pixelFormat,
                                         SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP,
                                         nullptr, nullptr, nullptr);
            if (scaler == nullptr) {
                error = "cannot convert pictures to " + std::string(codec->pixelFormat);
                return false;
            }
        }
        return true;
    }
};

AviWriter::AviWriter() : impl_(std::make_unique<Impl>()) {}

AviWriter::~AviWriter() {
    if (impl_->ready) {
        finish();
    } else {
        discard();
    }
}

AviWriter::Result AviWriter::createFile(const std::string& path) {
    Impl& d = *impl_;
    if (d.ready) {
        finish();
    } else {
        discard();
    }
    d.error.clear();
    d.path = path;
    d.frames = 0;
    d.writeFailed = false;
    d.reserveSpace = true;
    d.sink.lastErrno = 0;
    if (!d.memoryIo) {
        // Exclusive creation: an existing file is never opened, let alone emptied.
        d.sink.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (d.sink.fd < 0) {
            const int code = errno;
            d.error = "cannot create " + path + ": " + errnoText(code);
            return code == EEXIST ? Result::NameTaken : Result::FileFailed;
        }
        d.created = true;
    }
    std::string why;
    if (!d.makeFormat(why)) {
        d.error = "cannot create " + path + ": " + why;
        discard();
        return Result::FileFailed;
    }
    return Result::Ok;
}

AviWriter::Result AviWriter::createStream(int width, int height, int framesPerSecond) {
    Impl& d = *impl_;
    if (d.format == nullptr || d.stream != nullptr) {
        d.error = "no file to add a stream to";
        return Result::StreamFailed;
    }
    if (width <= 0 || height <= 0 || framesPerSecond < 1 || framesPerSecond > maxAviFrameRate) {
        d.error = "cannot store " + std::to_string(width) + " x " + std::to_string(height) +
                  " pictures at " + std::to_string(framesPerSecond) + " frames a second";
        discard();
        return Result::StreamFailed;
    }
    d.stream = ff().avformat_new_stream(d.format, nullptr);
    if (d.stream == nullptr) {
        d.error = "out of memory";
        discard();
        return Result::StreamFailed;
    }
    d.width = width;
    d.height = height;
    d.framesPerSecond = framesPerSecond;
    // dwScale 1, dwRate = the frame rate.
    d.stream->time_base = AVRational{1, framesPerSecond};
    d.stream->avg_frame_rate = AVRational{framesPerSecond, 1};
    return Result::Ok;
}

AviWriter::Result AviWriter::createCompressor(const AviCompression& compression) {
    Impl& d = *impl_;
    if (d.stream == nullptr || d.encoder != nullptr) {
        d.error = "no stream to compress";
        return Result::CompressorFailed;
    }
    d.codec = findAviCodec(compression.codec);
    if (d.codec == nullptr) {
        d.error = "unknown compressor \"" + compression.codec + "\"";
        discard();
        return Result::CompressorFailed;
    }
    if (!d.setUpEncoder(compression)) {
        discard();
        return Result::CompressorFailed;
    }
    return Result::Ok;
}

AviWriter::Result AviWriter::setFormat() {
    Impl& d = *impl_;
    if (d.encoder == nullptr || d.ready) {
        d.error = "no compressed stream to describe";
        return Result::FormatFailed;
    }
    d.error.clear();
    int rc = ff().avcodec_parameters_from_context(d.stream->codecpar, d.encoder);
    if (rc >= 0 && d.codec->id == "raw") {
        // Bottom-up rows: biHeight positive, as the stream format declares.
        rc = ff().av_opt_set_int(d.format->priv_data, "flipped_raw_rgb", 1, 0);
    }
    if (rc >= 0 && !d.reserve(trailerSlack)) {
        rc = AVERROR(ENOSPC); // d.error says why
    } else if (rc >= 0) {
        rc = ff().avformat_write_header(d.format, nullptr);
        if (rc >= 0) {
            ff().avio_flush(d.io);
            rc = d.io->error;
        }
        if (rc < 0) {
            d.error = d.sink.lastErrno != 0 ? errnoText(d.sink.lastErrno) : ffmpegMessage(rc);
        }
    }
    // Above its limit the muxer would quietly store another frame rate.
    if (rc >= 0 && (d.stream->time_base.num != 1 || d.stream->time_base.den != d.framesPerSecond)) {
        rc = AVERROR(EINVAL);
        d.error = "the muxer changed the frame rate";
    }
    if (rc < 0) {
        d.error = "cannot write the header of " + d.path + ": " +
                  (d.error.empty() ? ffmpegMessage(rc) : d.error);
        discard();
        return Result::FormatFailed;
    }
    d.ready = true;
    return Result::Ok;
}

AviWriter::Result AviWriter::open(const std::string& path, int width, int height,
                                  int framesPerSecond, const AviCompression& compression) {
    Result result = createFile(path);
    if (result == Result::Ok) {
        result = createStream(width, height, framesPerSecond);
    }
    if (result == Result::Ok) {
        result = createCompressor(compression);
    }
    if (result == Result::Ok) {
        result = setFormat();
    }
    return result;
}

bool AviWriter::writeFrame(const std::uint8_t* bottomUpRows, std::ptrdiff_t stride) {
    Impl& d = *impl_;
    if (!d.ready || d.writeFailed) {
        if (d.error.empty()) {
            d.error = "no file open for writing";
        }
        return false;
    }
    if (ff().av_frame_make_writable(d.picture) < 0) {
        d.error = "out of memory";
        d.writeFailed = true;
        return false;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(d.width) * bytesPerPixel;
    const bool raw = d.codec->id == "raw";
    for (int y = 0; y < d.height; ++y) {
        // Raw keeps the given order; the encoders want the top row first.
        const int from = raw ? y : d.height - 1 - y;
        std::memcpy(d.picture->data[0] + static_cast<std::ptrdiff_t>(y) * d.picture->linesize[0],
                    bottomUpRows + static_cast<std::ptrdiff_t>(from) * stride, rowBytes);
    }
    AVFrame* input = d.picture;
    if (d.scaler != nullptr) {
        if (ff().av_frame_make_writable(d.converted) < 0) {
            d.error = "out of memory";
            d.writeFailed = true;
            return false;
        }
        ff().sws_scale(d.scaler, d.picture->data, d.picture->linesize, 0, d.height,
                       d.converted->data, d.converted->linesize);
        input = d.converted;
    }
    input->pts = d.frames;
    input->pict_type = AV_PICTURE_TYPE_I;
    input->quality = d.encoder->global_quality;
    if (!d.encode(input)) {
        d.writeFailed = true;
        return false;
    }
    return true;
}

bool AviWriter::finish() {
    Impl& d = *impl_;
    if (!d.ready) {
        discard();
        return true;
    }
    bool ok = !d.writeFailed;
    // Frames an encoder still holds (none with our settings), unless writing already failed.
    if (ok && !d.encode(nullptr)) {
        ok = false;
    }
    const std::string firstError = d.error;
    const int rc = ff().av_write_trailer(d.format);
    ff().avio_flush(d.io);
    if (rc < 0 || d.io->error < 0) {
        if (ok) {
            d.error = "cannot write the index: " + d.ioFailure();
        }
        ok = false;
    } else if (!ok) {
        d.error = firstError;
    }
    if (d.sink.fd >= 0) {
        const int fd = d.sink.fd;
        d.sink.fd = -1;
        if (::close(fd) != 0 && ok) {
            d.error = "cannot close " + d.path + ": " + errnoText(errno);
            ok = false;
        }
    }
    d.created = false; // a finished file stays
    d.release();
    return ok;
}

void AviWriter::discard() {
    Impl& d = *impl_;
    d.release();
    if (d.created) {
        ::unlink(d.path.c_str());
        d.created = false;
    }
}

bool AviWriter::isOpen() const {
    return impl_->format != nullptr;
}

bool AviWriter::isReady() const {
    return impl_->ready;
}

const std::string& AviWriter::error() const {
    return impl_->error;
}

bool AviWriter::works(const AviCodec& codec, int width, int height) {
    AviWriter probe;
    probe.impl_->memoryIo = true;
    AviCompression compression;
    compression.codec = std::string(codec.id);
    if (probe.open("probe", width, height, 10, compression) != Result::Ok) {
        return false;
    }
    const std::vector<std::uint8_t> black(
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * bytesPerPixel, 0);
    const bool written = probe.writeFrame(black.data(), width * bytesPerPixel);
    const bool finished = probe.finish();
    return written && finished && probe.impl_->frames == 1;
}

} // namespace nbtv
