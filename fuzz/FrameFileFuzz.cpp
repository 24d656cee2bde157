// The frame-file reader on arbitrary bytes: it must stop at the first bad or short record,
// hand out whole records only, and never read or allocate beyond what a header allows.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "io/FrameFileReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    nbtv::FrameFileReader reader;
    reader.attach(in, "fuzz.tv");
    std::vector<std::uint8_t> pixels;
    nbtv::FrameFileReader::Status status;
    while ((status = reader.next(pixels)) == nbtv::FrameFileReader::Status::Record) {
        if (pixels.size() != nbtv::frameRecordPixelBytes) {
            __builtin_trap();
        }
        const nbtv::PixelSurface surface = nbtv::frameRecordSurface(pixels);
        if (surface.pixels.size() * 4 != pixels.size()) {
            __builtin_trap();
        }
    }
    // Whole records and the short or bad rest account for the input exactly.
    const std::uint64_t whole =
        static_cast<std::uint64_t>(reader.records()) * nbtv::frameRecordBytes;
    if (reader.offset() != whole || whole > size ||
        (status == nbtv::FrameFileReader::Status::End && whole != size) ||
        (status == nbtv::FrameFileReader::Status::Truncated &&
         whole + reader.partialBytes() != size) ||
        (status != nbtv::FrameFileReader::Status::End && reader.error().empty())) {
        __builtin_trap();
    }
    return 0;
}
