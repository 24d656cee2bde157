#pragma once
// Writes one video stream of 32-bit pictures to an AVI file over libavformat/libavcodec, in the
// steps of the platform's AVI file service: create the file, create the stream, make the
// compressed stream, set its format; then one key frame a picture, and the index at the end.
// No Qt here.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace nbtv {

// A compressor the recorder can offer: an FFmpeg encoder and the pixel format it is fed.
struct AviCodec {
    std::string_view id;          // stable key kept in the options
    std::string_view label;       // what the options dialog shows
    std::string_view encoder;     // FFmpeg encoder name
    std::string_view pixelFormat; // FFmpeg pixel format name
    bool lossless = false;
    bool takesDataRate = false; // honours a data rate (lossy codecs)
};

// Every compressor tried, uncompressed 32-bit first; not all of them work in every FFmpeg.
const std::vector<AviCodec>& aviCodecCandidates();
// The candidate with this id, or nullptr.
const AviCodec* findAviCodec(std::string_view id);

// The compression choice: which codec, and a data rate for the codecs that take one.
struct AviCompression {
    std::string codec = "raw";
    int dataRateKBps = 0; // kilobytes (1024 bytes) a second; 0 for the codec's own quality
};

// The highest frame rate the AVI muxer stores as given: above it libavformat silently writes
// 600 frames a second instead.
inline constexpr int maxAviFrameRate = 1000;

class AviWriter {
  public:
    enum class Result {
        Ok,
        NameTaken,        // the file exists: nothing was touched
        FileFailed,       // "error creating output file"
        StreamFailed,     // "error creating uncompressed stream"
        CompressorFailed, // "error creating compressed stream"
        FormatFailed,     // "error setting stream format"
    };

    AviWriter();
    ~AviWriter(); // finishes an open file
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    // The four set-up steps, in order. A failed step releases everything obtained so far and
    // removes the file it created.
    Result createFile(const std::string& path); // never overwrites
    Result createStream(int width, int height, int framesPerSecond);
    Result createCompressor(const AviCompression& compression);
    Result setFormat(); // writes the file header
    // All four.
    Result open(const std::string& path, int width, int height, int framesPerSecond,
                const AviCompression& compression);

    // One picture as a key frame: `height` rows of `width` pixels (bytes blue, green, red, 0),
    // bottom row first, `stride` bytes apart. The frame reaches the operating system before
    // this returns. False on a write failure; the file then holds the frames before this one
    // and only finish() is left to do.
    bool writeFrame(const std::uint8_t* bottomUpRows, std::ptrdiff_t stride);

    // Writes the index and closes the file; false if some of it could not be written. Does
    // nothing when no file is open.
    bool finish();
    // Releases everything and removes the file (a failed or abandoned set-up).
    void discard();

    bool isOpen() const;  // a file is open (from createFile until finish or discard)
    bool isReady() const; // the header is written: frames can be written
    // The last failure in one line.
    const std::string& error() const;

    // Whether the codec opens, writes a frame and closes at this size (no file is touched).
    static bool works(const AviCodec& codec, int width, int height);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace nbtv
