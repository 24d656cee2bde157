#include "io/FfmpegSupport.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "io/AtomicFile.h"
#include "io/InputStream.h"

#include "io/FfmpegLibrary.h"

namespace nbtv {

namespace {

constexpr int ioBufferSize = 1 << 15;

int readInput(void* opaque, std::uint8_t* buffer, int size) {
    auto& input = *static_cast<InputStream*>(opaque);
    const std::ptrdiff_t got = input.read(buffer, static_cast<std::size_t>(size));
    if (got < 0) {
        return AVERROR(errno);
    }
    return got == 0 ? AVERROR_EOF : static_cast<int>(got);
}

std::int64_t seekInput(void* opaque, std::int64_t offset, int whence) {
    auto& input = *static_cast<InputStream*>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) {
        return input.size() ? static_cast<std::int64_t>(*input.size()) : AVERROR(ENOSYS);
    }
    std::int64_t target = offset;
    if (whence == SEEK_CUR) {
        target += static_cast<std::int64_t>(input.position());
    } else if (whence == SEEK_END) {
        if (!input.size()) {
            return AVERROR(ESPIPE);
        }
        target += static_cast<std::int64_t>(*input.size());
    } else if (whence != SEEK_SET) {
        return AVERROR(EINVAL);
    }
    if (target < 0 || !input.seek(static_cast<std::uint64_t>(target))) {
        return AVERROR(ESPIPE);
    }
    return target;
}

} // namespace

std::string ffmpegMessage(int code) {
    std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
    ff().av_strerror(code, text.data(), text.size());
    return text.data();
}

// FFmpeg words an empty file and an unknown format alike ("Invalid data found when processing
// input"); both deserve plainer words.
std::string openFailure(const std::string& path, int code, const char* kind) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec) && std::filesystem::file_size(path, ec) == 0 &&
        !ec) {
        return quotedPath(path) + " is empty";
    }
    if (code == AVERROR_INVALIDDATA) {
        return "cannot open " + quotedPath(path) + ": not a recognised " + kind + " file";
    }
    return "cannot open " + quotedPath(path) + ": " + ffmpegMessage(code);
}

std::string openFailure(const InputStream& input, int code, const char* kind) {
    if (input.furthest() == 0 && input.ended()) {
        return input.name() + " is empty";
    }
    if (code == AVERROR_INVALIDDATA) {
        return "cannot open " + input.name() + ": not a recognised " + kind + " file";
    }
    return "cannot open " + input.name() + ": " + ffmpegMessage(code);
}

MediaInput::~MediaInput() {
    if (format_ == nullptr && io_ == nullptr) {
        return; // FFmpeg may never have been loaded
    }
    ff().avformat_close_input(&format_);
    if (io_ != nullptr) {
        ff().av_freep(&io_->buffer);
        ff().avio_context_free(&io_);
    }
}

bool MediaInput::open(InputStream& input, const char* kind, std::string& error) {
    if (!loadFfmpeg(error)) {
        return false;
    }
    auto* buffer = static_cast<std::uint8_t*>(ff().av_malloc(ioBufferSize));
    if (buffer != nullptr) {
        io_ =
            ff().avio_alloc_context(buffer, ioBufferSize, 0, &input, readInput, nullptr, seekInput);
    }
    format_ = ff().avformat_alloc_context();
    if (io_ == nullptr || format_ == nullptr) {
        if (io_ == nullptr) {
            ff().av_free(buffer);
        }
        error = "out of memory opening " + input.name();
        return false;
    }
    // A stream can go back only within its first bytes: the demuxer must treat it as streamed.
    io_->seekable = input.seekable() ? AVIO_SEEKABLE_NORMAL : 0;
    format_->pb = io_;
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;
    // The name still helps the probe: some formats are known by their extension.
    const std::string url = input.path() == "-" ? "pipe:" : input.path();
    int rc = ff().avformat_open_input(&format_, url.c_str(), nullptr, nullptr);
    if (rc < 0) {
        error = openFailure(input, rc, kind);
        return false;
    }
    rc = ff().avformat_find_stream_info(format_, nullptr);
    if (rc < 0) {
        error = "cannot read " + input.name() + ": " + ffmpegMessage(rc);
        return false;
    }
    return true;
}

} // namespace nbtv
