#pragma once
// Files that appear whole or not at all: written under a hidden temporary name beside the
// target and renamed into place when complete, so a reader never sees a partial file and a
// failure leaves nothing behind.

#include <cstddef>
#include <string>

namespace nbtv {

// A path in quotes, as the one-line error messages show it.
std::string quotedPath(const std::string& path);

class AtomicFile {
  public:
    explicit AtomicFile(std::string path);
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile();

    bool create(std::string& error);
    bool write(const void* data, std::size_t size, std::string& error);
    bool commit(std::string& error);

  private:
    bool fail(std::string& error);
    void discard();

    std::string path_;
    std::string temp_;
    int fd_ = -1;
};

} // namespace nbtv
