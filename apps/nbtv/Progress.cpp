#include "Progress.h"

#include <algorithm>
#include <cstdio>

#include <unistd.h>

namespace nbtv::cli {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto redrawInterval = std::chrono::milliseconds(100);

} // namespace

std::string progressText(std::optional<double> fraction, int frames, double speed) {
    char buffer[96];
    int at = 0;
    if (fraction) {
        const double percent = std::clamp(*fraction, 0.0, 1.0) * 100.0;
        at = std::snprintf(buffer, sizeof buffer, "%4.0f%%  ", percent);
    }
    std::snprintf(buffer + at, sizeof buffer - static_cast<std::size_t>(at),
                  "%d frame%s  %.0fx real time", frames, frames == 1 ? "" : "s", speed);
    return buffer;
}

bool progressShown(bool quiet) {
    return !quiet && ::isatty(STDERR_FILENO) == 1;
}

ProgressLine::ProgressLine(bool shown, int sampleRate, std::optional<std::uint64_t> totalSamples)
    : shown_(shown), sampleRate_(std::max(sampleRate, 1)), total_(totalSamples),
      start_(Clock::now()), lastDraw_(start_) {}

ProgressLine::~ProgressLine() {
    if (drawn_) {
        std::fputc('\n', stderr); // an error message then starts on a line of its own
    }
}

void ProgressLine::update(std::uint64_t samplesDone, int frames) {
    if (!shown_) {
        return;
    }
    const auto now = Clock::now();
    if (now - lastDraw_ < redrawInterval) {
        return;
    }
    lastDraw_ = now;
    draw(samplesDone, frames);
}

void ProgressLine::finish(std::uint64_t samplesDone, int frames) {
    if (!shown_) {
        return;
    }
    draw(samplesDone, frames);
    std::fputc('\n', stderr);
    drawn_ = false;
}

void ProgressLine::draw(std::uint64_t samplesDone, int frames) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    const double audioSeconds = static_cast<double>(samplesDone) / sampleRate_;
    const double speed = elapsed > 0.0 ? audioSeconds / elapsed : 0.0;
    std::optional<double> fraction;
    if (total_ && *total_ > 0) {
        fraction = static_cast<double>(samplesDone) / static_cast<double>(*total_);
    }
    // \r and clear-to-end: the line shrinks without leaving old characters behind.
    std::fprintf(stderr, "\r%s\033[K", progressText(fraction, frames, speed).c_str());
    std::fflush(stderr);
    drawn_ = true;
}

} // namespace nbtv::cli
