#pragma once
// What the FFmpeg readers of audio and pictures share: quiet libraries and plain messages.

#include <string>

namespace nbtv {

// FFmpeg logs to stderr by default; our callers report one line of their own instead.
void silenceFfmpeg();

// FFmpeg's text for an error code.
std::string ffmpegMessage(int code);

// Why a file could not be opened, in plain words; `kind` is "audio" or "picture".
std::string openFailure(const std::string& path, int code, const char* kind);

} // namespace nbtv
