#pragma once
// Reads frame files (.tv) record by record without holding the file in memory. Every header is
// checked before its pixels are read, and a short last record is reported with the records
// before it kept. No Qt here.

#include <cstdint>
#include <fstream>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "picture/PixelSurface.h"

namespace nbtv {

// The only record size the receivers write: the whole 288 x 219 picture surface.
inline constexpr int frameRecordWidth = 288;
inline constexpr int frameRecordHeight = 219;
inline constexpr std::uint64_t frameRecordPixelBytes =
    4ull * frameRecordWidth * frameRecordHeight;                             // 252288
inline constexpr std::uint64_t frameRecordBytes = 8 + frameRecordPixelBytes; // 252296

class FrameFileReader {
  public:
    enum class Status {
        Record,    // a whole record was read
        End,       // no more records: the file ended exactly after the last whole record
        Truncated, // the file ends inside a record (error() says where); the earlier ones stand
        Bad,       // a header that is not 288 x 219 (error() names its offset)
    };

    // Opens a file; false with error() set when it cannot be read.
    bool open(const std::string& path);
    // Reads from a stream the caller keeps alive; `name` is what messages call it.
    void attach(std::istream& in, const std::string& name);

    // The next record's pixels, top row first, bytes blue, green, red, 0 as stored.
    Status next(std::vector<std::uint8_t>& pixels);

    int records() const { return records_; }         // whole records read so far
    std::uint64_t offset() const { return offset_; } // bytes consumed by whole records
    // For Truncated: the bytes of the short record present.
    std::uint64_t partialBytes() const { return partial_; }
    const std::string& error() const { return error_; }

  private:
    Status fail(Status status, std::string message);

    std::unique_ptr<std::ifstream> file_;
    std::istream* in_ = nullptr;
    std::string name_;
    std::string error_;
    std::uint64_t offset_ = 0;
    std::uint64_t partial_ = 0;
    int records_ = 0;
    bool done_ = false;
};

// The stored pixels of one record as a surface (the fourth byte is dropped).
PixelSurface frameRecordSurface(const std::vector<std::uint8_t>& pixels);

} // namespace nbtv
