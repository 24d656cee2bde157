#pragma once
// Recorded audio in and out: any file FFmpeg can read, delivered as 16-bit mono samples at the
// program's rate; and 16-bit mono PCM WAV files written by the transmitter.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/AtomicFile.h"

struct SwrContext;

namespace nbtv {

class InputStream;
class MediaInput;

// A WAV file whose header promises more samples than the file holds: what a recorder that was
// killed leaves behind.
struct WavShortfall {
    std::uint64_t declaredBytes = 0; // the data chunk's size in the header
    std::uint64_t presentBytes = 0;  // the bytes of samples really there
};

// What the container says of the audio.
struct AudioDescription {
    std::string container; // FFmpeg's name of the format: "wav", "mp3", ...
    std::string codec;     // "pcm_s16le", "mp3", ...
    int sampleRate = 0;    // of the input
    int channels = 0;
    // Seconds, when the container says (for a short WAV file: what it really holds).
    std::optional<double> seconds;
};

class AudioFileReader {
  public:
    AudioFileReader();
    ~AudioFileReader();
    AudioFileReader(const AudioFileReader&) = delete;
    AudioFileReader& operator=(const AudioFileReader&) = delete;

    // Asks for the samples at the input's own rate.
    static constexpr int inputRate = -1;

    // Opens the best audio stream of `path` ("-": standard input, read as a stream), mixed to
    // mono and resampled to `sampleRate` (or kept at `inputRate`). The input is opened once
    // and read once, so named pipes and process substitutions work as files do. Returns false
    // with a one-line reason in error() when it cannot be read or has no audio.
    bool open(const std::string& path, int sampleRate);
    // The same on an input already open (which must outlive the reader), and on a demuxer
    // already opened on it.
    bool open(InputStream& input, int sampleRate);
    bool open(InputStream& input, std::unique_ptr<MediaInput> media, int sampleRate);

    // Fills up to `count` samples; returns how many were written, fewer only at the end of the
    // file or on a decoding error (then error() is set).
    std::size_t read(std::int16_t* out, std::size_t count);

    const std::string& error() const;
    // The rate samples are delivered at.
    int rate() const;
    // The input's length in delivered samples, when its container says.
    std::optional<std::uint64_t> length() const;
    const AudioDescription& description() const;
    // A WAV input that holds less than its header says: known at open for a file, and for a
    // stream once it has been read to its end.
    std::optional<WavShortfall> shortfall() const;
    // How the input is named in messages: "'path'" or "standard input".
    const std::string& name() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Reads a whole file (convenience for tests and small files).
bool readAudioFile(const std::string& path, int sampleRate, std::vector<std::int16_t>& samples,
                   std::string& error);

// Writes 16-bit mono PCM WAV. The file appears whole or not at all; an existing regular file
// at `path` is replaced only when `replace` allows it.
bool writeWavFile(const std::string& path, int sampleRate, const std::vector<std::int16_t>& samples,
                  std::string& error, Replace replace = Replace::RegularFile);

// The samples of a WAV file being written, a piece at a time: appends the next ones to its
// argument, false when none are left.
using SamplePieces = std::function<bool(std::vector<std::int16_t>&)>;
// Where the bytes of a WAV file go: false with a one-line reason in its last argument.
using ByteSink = std::function<bool(const void* data, std::size_t size, std::string& error)>;

// The same for `count` samples that come from `pieces`, so the whole signal is never held.
bool writeWavFile(const std::string& path, int sampleRate, std::uint64_t count,
                  const SamplePieces& pieces, std::string& error,
                  Replace replace = Replace::RegularFile);
// The bytes of that WAV file into `sink`; `name` names the output in messages.
bool writeWav(const ByteSink& sink, const std::string& name, int sampleRate, std::uint64_t count,
              const SamplePieces& pieces, std::string& error);

// 16-bit mono samples from one rate to another, piece by piece.
class RateConverter {
  public:
    RateConverter(int fromRate, int toRate);
    ~RateConverter();
    RateConverter(const RateConverter&) = delete;
    RateConverter& operator=(const RateConverter&) = delete;

    // Appends the converted samples of `in` to `out`; false if the converter cannot work.
    bool convert(const std::int16_t* in, std::size_t count, std::vector<std::int16_t>& out);
    // Appends what the converter still holds at the end of the input.
    bool finish(std::vector<std::int16_t>& out);

  private:
    SwrContext* context_ = nullptr;
};

} // namespace nbtv
