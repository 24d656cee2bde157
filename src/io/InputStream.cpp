#include "io/InputStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ios>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nbtv {

InputStream::~InputStream() {
    if (ownsFd_) {
        ::close(fd_);
    }
}

bool InputStream::open(const std::string& path, std::string& error) {
    path_ = path;
    const bool standardInput = path == "-";
    name_ = standardInput ? "standard input" : quotedPath(path);
    fd_ = standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ownsFd_ = !standardInput && fd_ >= 0;
    if (fd_ < 0) {
        error = "cannot open " + name_ + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        error = "cannot read " + name_ + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        error = name_ + " is a folder";
        return false;
    }
    identity_ = identityOf(fd_);
    if (S_ISREG(info.st_mode)) {
        size_ = static_cast<std::uint64_t>(info.st_size);
    }
    return true;
}

std::ptrdiff_t InputStream::readFromStream(std::uint8_t* out, std::size_t count) {
    for (;;) {
        const ssize_t got = ::read(fd_, out, count);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got > 0) {
            // The first bytes stay at hand for peek() and for going back to the beginning.
            if (streamOffset_ == head_.size() && head_.size() < keptBytes) {
                const std::size_t keep =
                    std::min(static_cast<std::size_t>(got), keptBytes - head_.size());
                head_.insert(head_.end(), out, out + keep);
            }
            streamOffset_ += static_cast<std::uint64_t>(got);
            furthest_ = std::max(furthest_, streamOffset_);
        }
        return got;
    }
}

std::ptrdiff_t InputStream::read(void* out, std::size_t count) {
    auto* bytes = static_cast<std::uint8_t*>(out);
    if (count == 0) {
        return 0;
    }
    std::ptrdiff_t got = 0;
    if (seekable()) {
        do {
            got = ::pread(fd_, bytes, count, static_cast<off_t>(position_));
        } while (got < 0 && errno == EINTR);
    } else if (position_ < head_.size()) {
        got = static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(count, head_.size() - position_));
        std::memcpy(bytes, head_.data() + position_, static_cast<std::size_t>(got));
    } else if (position_ == streamOffset_) {
        got = readFromStream(bytes, count);
    } else {
        errno = ESPIPE; // the bytes between the kept ones and the stream's place are gone
        return -1;
    }
    if (got < 0) {
        return -1;
    }
    position_ += static_cast<std::uint64_t>(got);
    furthest_ = std::max(furthest_, position_);
    ended_ = ended_ || got == 0;
    return got;
}

bool InputStream::seek(std::uint64_t position) {
    if (seekable() || position < head_.size() || position == streamOffset_) {
        position_ = position;
        ended_ = false;
        return true;
    }
    if (position_ != streamOffset_ || position < position_) {
        return false;
    }
    std::uint8_t skip[4096];
    while (position_ < position) {
        const std::ptrdiff_t got = read(skip, static_cast<std::size_t>(std::min<std::uint64_t>(
                                                  sizeof skip, position - position_)));
        if (got <= 0) {
            return false;
        }
    }
    return true;
}

std::size_t InputStream::peek(std::uint64_t offset, void* out, std::size_t count) {
    auto* bytes = static_cast<std::uint8_t*>(out);
    if (seekable()) {
        std::size_t have = 0;
        while (have < count) {
            const ssize_t got =
                ::pread(fd_, bytes + have, count - have, static_cast<off_t>(offset + have));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            have += static_cast<std::size_t>(got);
        }
        return have;
    }
    const std::uint64_t want = std::min<std::uint64_t>(offset + count, keptBytes);
    std::uint8_t chunk[4096];
    while (head_.size() < want && streamOffset_ == head_.size()) {
        const std::size_t ask =
            static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, want - head_.size()));
        if (readFromStream(chunk, ask) <= 0) {
            break;
        }
    }
    if (offset >= head_.size()) {
        return 0;
    }
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(count, head_.size() - offset));
    std::memcpy(bytes, head_.data() + offset, n);
    return n;
}

InputStreamBuffer::int_type InputStreamBuffer::underflow() {
    if (gptr() < egptr()) {
        return traits_type::to_int_type(*gptr());
    }
    const std::ptrdiff_t got = input_.read(buffer_, sizeof buffer_);
    if (got < 0) {
        // The istream turns this into its bad bit.
        throw std::ios_base::failure(std::strerror(errno));
    }
    if (got == 0) {
        return traits_type::eof();
    }
    setg(buffer_, buffer_, buffer_ + got);
    return traits_type::to_int_type(*gptr());
}

} // namespace nbtv
