#pragma once
// What the receiver hears, written as it comes: 16-bit mono samples at the program's rate, as
// FLAC (through FFmpeg) or as WAV. Every block reaches the file when it is written, so a
// recording whose program was killed stays readable to its last block: a FLAC file holds whole
// frames of 256 samples (a block's last part samples wait for the next block), a WAV file's
// sizes are rewritten after every block.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace nbtv {

enum class AudioFormat { Flac, Wav };

// ".flac" or ".wav".
const char* audioExtension(AudioFormat format);
// The format a file name asks for: WAV for a name ending in ".wav" (any case), FLAC otherwise.
AudioFormat audioFormatOf(const std::string& name);

class AudioRecorder {
  public:
    AudioRecorder();
    ~AudioRecorder();
    AudioRecorder(const AudioRecorder&) = delete;
    AudioRecorder& operator=(const AudioRecorder&) = delete;

    // The first free name prefix + MM-DD-YYYY_hhmmss (then "-2", "-3" ...) + extension at the
    // local time now, in `folder`; a file of that name is never overwritten.
    bool start(const std::string& prefix, AudioFormat format, int sampleRate, std::string& error,
               const std::filesystem::path& folder = ".");
    // The named file, which must not exist yet.
    bool startFile(const std::filesystem::path& file, AudioFormat format, int sampleRate,
                   std::string& error);
    // Appends samples and puts them in the file. A failure ends the recording with every block
    // before it kept.
    bool write(std::span<const std::int16_t> samples, std::string& error);
    // Finishes the file (a FLAC file gets its length and checksum).
    void stop();

    bool recording() const;
    // The name as a status shows it.
    const std::string& fileName() const { return name_; }
    // Samples written since start.
    std::uint64_t samplesWritten() const { return written_; }

  private:
    struct Encoder;
    bool begin(int fd, const std::filesystem::path& file, AudioFormat format, int sampleRate,
               std::string& error);
    bool writeWav(std::span<const std::int16_t> samples, std::string& error);

    std::unique_ptr<Encoder> flac_;
    int wavFd_ = -1;
    std::string name_;
    std::uint64_t written_ = 0;
};

} // namespace nbtv
