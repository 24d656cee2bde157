#include "shell/AtomicFile.h"

#include <cerrno>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace nbtv {

namespace {

std::string systemMessage(int code) {
    return std::error_code(code, std::generic_category()).message();
}

} // namespace

std::string quotedPath(const std::string& path) {
    return "'" + path + "'";
}

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {}

AtomicFile::~AtomicFile() {
    discard();
}

bool AtomicFile::create(std::string& error) {
    const std::size_t slash = path_.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_ = folder + "." + name + "." + std::to_string(getpid()) + "-" +
                std::to_string(attempt) + ".tmp";
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    error = "cannot write " + quotedPath(path_) + ": " + systemMessage(errno);
    temp_.clear();
    return false;
}

bool AtomicFile::write(const void* data, std::size_t size, std::string& error) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t done = ::write(fd_, bytes, size);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(error);
        }
        bytes += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

bool AtomicFile::commit(std::string& error) {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 || ::rename(temp_.c_str(), path_.c_str()) != 0) {
        return fail(error);
    }
    temp_.clear();
    return true;
}

bool AtomicFile::fail(std::string& error) {
    error = "cannot write " + quotedPath(path_) + ": " + systemMessage(errno);
    discard();
    return false;
}

void AtomicFile::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    }
}

} // namespace nbtv
