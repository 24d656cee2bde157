#include "shell/FfmpegSupport.h"

#include <array>
#include <filesystem>
#include <system_error>

#include "shell/AtomicFile.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace nbtv {

void silenceFfmpeg() {
    static const bool done = (av_log_set_level(AV_LOG_QUIET), true);
    (void)done;
}

std::string ffmpegMessage(int code) {
    std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
    av_strerror(code, text.data(), text.size());
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

} // namespace nbtv
