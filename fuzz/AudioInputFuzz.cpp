// Audio-file input on arbitrary bytes: whatever the file claims (format, rate, channels), the
// reader opens it or says why in one line, and reading ends without a crash.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "io/AudioFile.h"

namespace {

// Enough to pass the decoders and resampler several times over, bounded so one input cannot
// run for minutes.
constexpr std::size_t maxSamples = 1 << 20;

char scratchName[] = "/tmp/nbtv-audio-fuzz-XXXXXX";

void removeScratch() {
    ::unlink(scratchName);
}

// One scratch file a process, removed when the process ends normally.
const std::string& scratchPath() {
    static const std::string path = [] {
        const int fd = ::mkstemp(scratchName);
        if (fd < 0) {
            std::abort();
        }
        ::close(fd);
        std::atexit(removeScratch);
        return std::string(scratchName);
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = scratchPath();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::abort();
    }
    if (size > 0 && std::fwrite(data, 1, size, file) != size) {
        std::abort();
    }
    std::fclose(file);

    nbtv::AudioFileReader reader;
    if (!reader.open(path, 11025)) {
        if (reader.error().empty() || reader.error().find('\n') != std::string::npos) {
            __builtin_trap(); // a failure is always one line
        }
        return 0;
    }
    std::vector<std::int16_t> block(4096);
    std::size_t total = 0;
    while (total < maxSamples) {
        const std::size_t got = reader.read(block.data(), block.size());
        if (got > block.size()) {
            __builtin_trap();
        }
        total += got;
        if (got < block.size()) {
            break;
        }
    }
    return 0;
}
