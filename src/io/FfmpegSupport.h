#pragma once
// What the FFmpeg readers of audio and pictures share: quiet libraries, plain messages, and a
// demuxer that reads an input opened once.

#include <string>

struct AVFormatContext;
struct AVIOContext;

namespace nbtv {

class InputStream;

// FFmpeg's text for an error code.
std::string ffmpegMessage(int code);

// Why a file could not be opened, in plain words; `kind` is "audio" or "picture".
std::string openFailure(const std::string& path, int code, const char* kind);
// The same for an input already open.
std::string openFailure(const InputStream& input, int code, const char* kind);

// A demuxer reading from an InputStream (which must outlive it), its streams found: a stream
// input is read in order once, a regular file where the demuxer asks.
class MediaInput {
  public:
    MediaInput() = default;
    MediaInput(const MediaInput&) = delete;
    MediaInput& operator=(const MediaInput&) = delete;
    ~MediaInput();

    // False with a one-line error (`kind` names what the file should be, as in openFailure).
    bool open(InputStream& input, const char* kind, std::string& error);
    AVFormatContext* format() const { return format_; }

  private:
    AVIOContext* io_ = nullptr;
    AVFormatContext* format_ = nullptr;
};

} // namespace nbtv
