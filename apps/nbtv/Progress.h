#pragma once
// The decode progress line on standard error: only on a terminal, and never with --quiet, so
// that logs and pipes stay clean.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace nbtv::cli {

// The progress text: "  42%  17 frames  2315x real time" (no percentage when the length is
// unknown). `speed` is audio seconds per wall-clock second.
std::string progressText(std::optional<double> fraction, int frames, double speed);

// Whether to show progress: standard error is a terminal and --quiet was not given.
bool progressShown(bool quiet);

class ProgressLine {
  public:
    // Draws nothing unless `shown` (see progressShown).
    ProgressLine(bool shown, int sampleRate, std::optional<std::uint64_t> totalSamples);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // After each block; redraws a few times a second at most.
    void update(std::uint64_t samplesDone, int frames);
    // Draws the final state and ends the line.
    void finish(std::uint64_t samplesDone, int frames);

  private:
    void draw(std::uint64_t samplesDone, int frames);

    bool shown_ = false;
    bool drawn_ = false;
    int sampleRate_ = 1;
    std::optional<std::uint64_t> total_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

} // namespace nbtv::cli
