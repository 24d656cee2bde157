#pragma once
// Where samples come from, at the program's rate: a recording (a file, a pipe, standard input,
// raw samples) or the built-in transmitter. The tool reads a source as fast as it goes; the
// windows' wave-input sources pace one in real time.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace nbtv {

class SampleSource {
  public:
    virtual ~SampleSource() = default;

    // Fills up to out.size() samples, in order; fewer only at the end of the source or on a
    // failure (then error() says why).
    virtual std::size_t produce(std::span<std::int16_t> out) = 0;
    // Why the source ended early, in one line; empty at its normal end.
    virtual std::string error() const { return {}; }
    // How many samples the source holds, when that is known beforehand.
    virtual std::optional<std::uint64_t> length() const { return std::nullopt; }
};

} // namespace nbtv
