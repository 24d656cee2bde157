#pragma once
// Recorded audio in and out: any file FFmpeg can read, delivered as 16-bit mono samples at the
// program's rate; and 16-bit mono PCM WAV files written by the transmitter.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nbtv {

class AudioFileReader {
  public:
    AudioFileReader();
    ~AudioFileReader();
    AudioFileReader(const AudioFileReader&) = delete;
    AudioFileReader& operator=(const AudioFileReader&) = delete;

    // Opens the best audio stream of `path`, mixed to mono and resampled to `sampleRate`.
    // Returns false with a one-line reason in error() when the file cannot be read or has no
    // audio.
    bool open(const std::string& path, int sampleRate);

    // Fills up to `count` samples; returns how many were written, fewer only at the end of the
    // file or on a decoding error (then error() is set).
    std::size_t read(std::int16_t* out, std::size_t count);

    const std::string& error() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Reads a whole file (convenience for tests and small files).
bool readAudioFile(const std::string& path, int sampleRate, std::vector<std::int16_t>& samples,
                   std::string& error);

// Writes 16-bit mono PCM WAV. The file appears whole or not at all.
bool writeWavFile(const std::string& path, int sampleRate, const std::vector<std::int16_t>& samples,
                  std::string& error);

} // namespace nbtv
