#pragma once
// The phase discriminator: for every bin and pass, how far the tone lies from the bin centre,
// from the phase turn between two frames one hop apart.

#include "demod/BlockTypes.h"

namespace nbtv {

// D(p, f, k) = Im(X(p, f-1, k) / X(p, f, k)) = sin(2 pi e) for a steady tone e bins above the
// centre of bin k. A silent newer frame gives not-a-number (0 / 0), which the picture shows white.
void demodulate(const BlockSpectra& spectra, DemodulatedBlock& values);

} // namespace nbtv
