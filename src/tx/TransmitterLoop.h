#pragma once
// The built-in transmitter: the colour bars card of a profile sent for ever, 2 Hz high and with
// a little noise, so that a newcomer without a radio can practise fine tuning. One stretch of
// whole frames repeats without a seam.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/SampleSource.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

// The built-in transmitter's signal for `profile` as one loop that repeats without a seam.
// Throws std::invalid_argument when the transmitter cannot send for the profile.
std::vector<std::int16_t> transmitterLoop(const ReceiverProfile& profile);

// The loop of the built-in transmitter, for ever.
class TransmitterSource final : public SampleSource {
  public:
    // Throws std::invalid_argument as transmitterLoop does.
    explicit TransmitterSource(const ReceiverProfile& profile) : loop_(transmitterLoop(profile)) {}

    std::size_t produce(std::span<std::int16_t> out) override;
    // Back to the loop's start.
    void rewind() { position_ = 0; }

  private:
    std::vector<std::int16_t> loop_;
    std::size_t position_ = 0;
};

} // namespace nbtv
