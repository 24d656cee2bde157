#pragma once
// A recording as samples at the program's rate: any audio file FFmpeg reads (mixed to mono and
// resampled), or raw 16-bit mono little-endian samples at the program's rate; from a file, a
// pipe or standard input ("-"), opened once and read as a stream.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/SampleSource.h"
#include "io/AudioFile.h"
#include "io/InputStream.h"

namespace nbtv {

class RecordingSource final : public SampleSource {
  public:
    // False with error() set when it cannot be opened or is no audio file.
    bool open(const std::string& path, int sampleRate, bool raw = false);

    std::size_t produce(std::span<std::int16_t> out) override;
    std::string error() const override { return error_; }
    std::optional<std::uint64_t> length() const override { return length_; }

    // How messages name it: "'path'" or "standard input".
    const std::string& name() const { return input_.name(); }
    // A WAV recording that holds less than its header says (see AudioFileReader::shortfall).
    std::optional<WavShortfall> shortfall() const;

  private:
    std::size_t produceRaw(std::span<std::int16_t> out);

    InputStream input_;
    AudioFileReader reader_;
    bool raw_ = false;
    std::vector<std::uint8_t> bytes_;
    std::optional<std::uint8_t> carry_; // half a raw sample from the last read
    std::optional<std::uint64_t> length_;
    std::string error_;
};

} // namespace nbtv
