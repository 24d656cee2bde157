#pragma once

#include <vector>

namespace nbtv {

// In-place radix-2 transform of re + i im (size a power of two).
void fftInPlace(std::vector<double>& re, std::vector<double>& im);

} // namespace nbtv
