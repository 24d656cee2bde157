#include "io/FrameFile.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "core/NumberText.h"
#include "io/AtomicFile.h"

namespace nbtv {

namespace {

// Far more than a person can start in one second; bounds the search for a free name.
constexpr int maxNameAttempts = 10000;

std::string systemMessage(int code) {
    return std::error_code(code, std::generic_category()).message();
}

void putInt32(std::uint8_t* out, std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t done = ::write(fd, bytes, size);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

} // namespace

std::vector<std::uint8_t> frameRecord(const PixelSurface& surface) {
    std::vector<std::uint8_t> record(frameRecordHeaderBytes + 4 * surface.pixels.size());
    putInt32(record.data(), surface.width);
    putInt32(record.data() + 4, surface.height);
    std::uint8_t* out = record.data() + frameRecordHeaderBytes;
    // Byte by byte, so the file is the same on any host: blue, green, red, 0.
    for (const std::uint32_t p : surface.pixels) {
        out[0] = static_cast<std::uint8_t>(p);
        out[1] = static_cast<std::uint8_t>(p >> 8);
        out[2] = static_cast<std::uint8_t>(p >> 16);
        out[3] = 0;
        out += 4;
    }
    return record;
}

std::string recordingFileName(const std::string& prefix, const std::tm& local, int attempt,
                              const std::string& extension) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%02d-%02d-%04d_%02d%02d%02d", local.tm_mon + 1,
                  local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    std::string name = prefix;
    name.append(stamp);
    if (attempt > 1) {
        name.append("-").append(std::to_string(attempt));
    }
    return name.append(extension);
}

std::string frameFileName(const std::string& prefix, const std::tm& local, int attempt) {
    return recordingFileName(prefix, local, attempt, ".tv");
}

int createRecordingFile(const std::string& prefix, const std::tm& local,
                        const std::string& extension, const std::filesystem::path& folder,
                        const std::string& what, std::string& name, std::string& error) {
    for (int attempt = 1; attempt <= maxNameAttempts; ++attempt) {
        const std::string candidate = recordingFileName(prefix, local, attempt, extension);
        const std::filesystem::path file = folder / candidate;
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            name = candidate;
            return fd;
        }
        const int code = errno;
        if (code != EEXIST) {
            error = "cannot create " + what + " " + quotedPath(file.string()) + ": " +
                    systemMessage(code);
            return -1;
        }
    }
    error = "cannot create " + what + ": every name up to " +
            quotedPath(recordingFileName(prefix, local, maxNameAttempts, extension)) + " is taken";
    return -1;
}

std::string frameFileStatus(int frames, const std::string& name) {
    return (frames == 0 ? std::string("0") : numberText(frames)) + " frames saved to " + name;
}

FrameFileWriter::~FrameFileWriter() {
    stop();
}

int FrameFileWriter::open(const std::filesystem::path& file, int flags, std::string& error) {
    fd_ = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666);
    if (fd_ < 0) {
        const int code = errno;
        error =
            "cannot create frame file " + quotedPath(file.string()) + ": " + systemMessage(code);
        return code;
    }
    path_ = file;
    frames_ = 0;
    bytesKept_ = 0;
    return 0;
}

bool FrameFileWriter::start(const std::string& prefix, const std::tm& local, std::string& error,
                            const std::filesystem::path& folder) {
    stop();
    std::string name;
    fd_ = createRecordingFile(prefix, local, ".tv", folder, "frame file", name, error);
    if (fd_ < 0) {
        return false;
    }
    path_ = folder / name;
    frames_ = 0;
    bytesKept_ = 0;
    name_ = name;
    return true;
}

bool FrameFileWriter::start(const std::string& prefix, std::string& error) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return start(prefix, local, error);
}

bool FrameFileWriter::startFile(const std::filesystem::path& file, std::string& error) {
    stop();
    if (open(file, O_TRUNC, error) != 0) {
        return false;
    }
    name_ = file.string();
    return true;
}

bool FrameFileWriter::append(const PixelSurface& surface, std::string& error) {
    if (!recording()) {
        error = "no frame file is open";
        return false;
    }
    const std::vector<std::uint8_t> record = frameRecord(surface);
    if (!writeAll(fd_, record.data(), record.size())) {
        const int code = errno;
        // Cut a partly written record off, so the file holds whole records only.
        const int cut = ::ftruncate(fd_, static_cast<off_t>(bytesKept_));
        const std::string kept = frames_ == 0 && removeEmpty_
                                     ? std::string("no frame kept, the file is removed")
                                     : std::to_string(frames_) + " frames kept" +
                                           (cut == 0 ? "" : ", the last one partly");
        error = "cannot write frame file " + quotedPath(path_.string()) + ": " +
                systemMessage(code) + " (" + kept + ")";
        stop();
        return false;
    }
    bytesKept_ += record.size();
    ++frames_;
    return true;
}

void FrameFileWriter::stop() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        if (removeEmpty_ && bytesKept_ == 0) {
            ::unlink(path_.c_str());
        }
    }
    frames_ = 0;
}

} // namespace nbtv
