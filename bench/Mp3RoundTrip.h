#pragma once
// A signal through an MP3 encoder and decoder (libmp3lame and FFmpeg's decoder), as a recording
// shared as MP3 would be.

#include <cstdint>
#include <string>
#include <vector>

namespace nbtv::bench {

// The decoded signal, aligned with the input (the codecs' delay taken off) and as long as it.
// Empty with `error` set when the codecs are missing or fail.
std::vector<std::int16_t> mp3RoundTrip(const std::vector<std::int16_t>& samples, int sampleRate,
                                       int bitRate, std::string& error);

} // namespace nbtv::bench
