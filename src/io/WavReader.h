#pragma once
// The common WAV files read without FFmpeg: integer PCM of 8, 16, 24 or 32 bits and floating
// point of 32 or 64 bits (plain or WAVE_FORMAT_EXTENSIBLE), mono or stereo, at the rate asked
// for. The samples come out exactly as FFmpeg's WAV demuxer, PCM decoders and swresample give
// them, so that a picture does not depend on which road its sound took; any file where that
// cannot be promised (another rate, more channels, an odd layout, a cut inside a sample frame,
// chunks after the samples that FFmpeg would read differently) is left to FFmpeg.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nbtv {

class InputStream;

enum class WavSample { U8, S16, S24, S32, F32, F64 };

struct WavLayout {
    WavSample sample = WavSample::S16;
    int channels = 0;
    int rate = 0;
    int blockAlign = 0;                      // bytes a sample frame
    std::uint64_t dataOffset = 0;            // where the first data chunk's samples begin
    std::optional<std::uint32_t> dataSize;   // its size, when the header gives one
    std::optional<std::uint32_t> factFrames; // a fact chunk's count of sample frames
    std::uint32_t byteRate = 0;              // the header's bytes a second
    const char* codec = "";                  // FFmpeg's name of the decoder: "pcm_s16le", ...
};

// The layout of a WAV file this reader takes at `sampleRate` (negative: the file's own rate),
// or nothing: then FFmpeg reads it. Looks at the input without moving it.
std::optional<WavLayout> nativeWavLayout(InputStream& input, int sampleRate);

// The samples of such a file, mixed to mono 16-bit, a piece at a time.
class WavReader {
  public:
    explicit WavReader(const WavLayout& layout) : layout_(layout) {}

    // Appends the next samples to `out`: false at the end (nothing appended) or on a read
    // error (then `error` holds the reason).
    bool next(InputStream& input, std::vector<std::int16_t>& out, std::string& error);

  private:
    bool startChunk(InputStream& input, std::string& error);
    void convert(const std::uint8_t* bytes, std::size_t frames, std::vector<std::int16_t>& out);

    WavLayout layout_;
    bool started_ = false;
    bool ended_ = false;
    std::optional<std::uint64_t> chunkLeft_; // bytes left in the data chunk, if it has an end
    std::uint64_t chunkRead_ = 0;            // bytes of it read so far
    std::vector<std::uint8_t> bytes_;
    std::vector<float> scaled_;
    std::string failure_; // an error to report once the samples before it are out
};

} // namespace nbtv
