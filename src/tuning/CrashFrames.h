#pragma once
// Static crashes in the analysis frames the tuner measures the pilots on. A crash is a burst of
// broadband noise many times the signal's strength: it fills the bins beyond the comb, where a
// picture's tones leave only their leakage and the channel's noise, while its share of a pilot's
// bin turns the pilot's phase at random. A frame whose power beyond the comb stands far above
// both the usual of its cycle and what leakage gives is left out of the pilots' measures (a few
// frames a crash: a loop's offset came out 0.1 Hz off where one struck).

#include <span>
#include <vector>

namespace nbtv {

struct BlockSpectra;

class CrashFrames {
  public:
    explicit CrashFrames(std::span<const int> combBins);

    // The frames of the next block, in the order of its passes and their frames.
    void add(const BlockSpectra& spectra);
    // One flag a frame added since clear(), in the order they were added: hit by a crash.
    std::vector<bool> hit() const;
    void clear();
    std::size_t frames() const { return beyond_.size(); }

  private:
    int lowest_ = 0; // the comb's bins lie between these
    int highest_ = 0;
    std::vector<double> beyond_; // each frame's power beyond the comb
    std::vector<double> within_; // and within it
};

} // namespace nbtv
