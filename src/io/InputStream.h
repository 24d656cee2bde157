#pragma once
// An input opened exactly once: a file, a named pipe, a process substitution, or standard input
// ("-"). Regular files are read at any position; everything else is a stream, read in order
// once, whose first bytes are kept so that a reader can look at them and still begin at the
// beginning. Nothing is ever opened a second time, so a pipe loses nothing and never blocks on a
// second open.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <streambuf>
#include <string>
#include <vector>

#include "io/AtomicFile.h"

namespace nbtv {

class InputStream {
  public:
    InputStream() = default;
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;
    ~InputStream();

    // Opens `path` ("-": standard input). False with a one-line error.
    bool open(const std::string& path, std::string& error);

    // "'path'", or "standard input": how messages name it.
    const std::string& name() const { return name_; }
    // The name as given ("-" for standard input).
    const std::string& path() const { return path_; }
    bool seekable() const { return size_.has_value(); }
    // The size of a regular file.
    std::optional<std::uint64_t> size() const { return size_; }
    std::optional<FileIdentity> identity() const { return identity_; }

    // Up to `count` bytes from the current position; 0 at the end, -1 on a read error (errno).
    std::ptrdiff_t read(void* out, std::size_t count);
    // Moves the current position: anywhere in a regular file; in a stream only within its kept
    // first bytes or forward by reading. False when it cannot.
    bool seek(std::uint64_t position);
    std::uint64_t position() const { return position_; }
    // How far the input has been read: for a stream, the bytes that have come through.
    std::uint64_t furthest() const { return furthest_; }
    // Whether a read has met the end of the input.
    bool ended() const { return ended_; }

    // Up to `count` bytes at `offset` without moving the position. A stream keeps its first
    // bytes for this (up to `keptBytes`) as long as nothing beyond them has been read.
    std::size_t peek(std::uint64_t offset, void* out, std::size_t count);

    static constexpr std::size_t keptBytes = 1 << 16;

  private:
    std::ptrdiff_t readFromStream(std::uint8_t* out, std::size_t count);

    int fd_ = -1;
    bool ownsFd_ = false;
    std::string path_;
    std::string name_;
    std::optional<std::uint64_t> size_;
    std::optional<FileIdentity> identity_;
    std::uint64_t position_ = 0;
    std::uint64_t furthest_ = 0;
    bool ended_ = false;
    // A stream's first bytes, and how far the stream itself has been read.
    std::vector<std::uint8_t> head_;
    std::uint64_t streamOffset_ = 0;
};

// A std::streambuf over an InputStream, for readers that take a std::istream.
class InputStreamBuffer : public std::streambuf {
  public:
    explicit InputStreamBuffer(InputStream& input) : input_(input) {}

  protected:
    int_type underflow() override;

  private:
    InputStream& input_;
    char buffer_[1 << 16];
};

} // namespace nbtv
