#include "io/FrameFileReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "io/AtomicFile.h"

namespace nbtv {

namespace {

std::int32_t int32At(const std::uint8_t* bytes) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | bytes[i];
    }
    return static_cast<std::int32_t>(v);
}

// Reads up to `size` bytes; how many arrived (fewer only at the end of the stream).
std::uint64_t readUpTo(std::istream& in, std::uint8_t* out, std::uint64_t size) {
    in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(size));
    return static_cast<std::uint64_t>(in.gcount());
}

} // namespace

bool FrameFileReader::open(const std::string& path) {
    file_ = std::make_unique<std::ifstream>(path, std::ios::binary);
    if (!*file_) {
        error_ = "cannot open frame file " + quotedPath(path) + ": " + std::strerror(errno);
        file_.reset();
        in_ = nullptr;
        return false;
    }
    attach(*file_, path);
    return true;
}

void FrameFileReader::attach(std::istream& in, const std::string& name) {
    in_ = &in;
    name_ = name;
    error_.clear();
    offset_ = 0;
    partial_ = 0;
    records_ = 0;
    done_ = false;
}

FrameFileReader::Status FrameFileReader::fail(Status status, std::string message) {
    error_ = quotedPath(name_) + ": " + message;
    done_ = true;
    return status;
}

FrameFileReader::Status FrameFileReader::next(std::vector<std::uint8_t>& pixels) {
    if (in_ == nullptr || done_) {
        return Status::End;
    }
    std::uint8_t header[8];
    const std::uint64_t got = readUpTo(*in_, header, sizeof header);
    if (got == 0) {
        done_ = true;
        return in_->bad()
                   ? fail(Status::Truncated, "read error at byte offset " + std::to_string(offset_))
                   : Status::End;
    }
    if (got < sizeof header) {
        partial_ = got;
        return fail(Status::Truncated, "truncated record " + std::to_string(records_ + 1) +
                                           " at byte offset " + std::to_string(offset_) + " (" +
                                           std::to_string(got) + " of " +
                                           std::to_string(frameRecordBytes) + " bytes)");
    }
    const std::int32_t width = int32At(header);
    const std::int32_t height = int32At(header + 4);
    // Checked before any pixel is read, so an absurd size never becomes an allocation.
    if (width != frameRecordWidth || height != frameRecordHeight) {
        return fail(Status::Bad, "bad record header at byte offset " + std::to_string(offset_) +
                                     ": " + std::to_string(width) + " x " + std::to_string(height) +
                                     " (288 x 219 expected)");
    }
    pixels.resize(frameRecordPixelBytes);
    const std::uint64_t body = readUpTo(*in_, pixels.data(), frameRecordPixelBytes);
    if (body < frameRecordPixelBytes) {
        partial_ = sizeof header + body;
        pixels.clear();
        return fail(Status::Truncated, "truncated record " + std::to_string(records_ + 1) +
                                           " at byte offset " + std::to_string(offset_) + " (" +
                                           std::to_string(partial_) + " of " +
                                           std::to_string(frameRecordBytes) + " bytes)");
    }
    offset_ += frameRecordBytes;
    ++records_;
    return Status::Record;
}

PixelSurface frameRecordSurface(const std::vector<std::uint8_t>& pixels) {
    PixelSurface surface(frameRecordWidth, frameRecordHeight);
    const std::size_t count = std::min(surface.pixels.size(), pixels.size() / 4);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* p = &pixels[4 * i];
        surface.pixels[i] = rgbPixel(p[2], p[1], p[0]);
    }
    return surface;
}

} // namespace nbtv
