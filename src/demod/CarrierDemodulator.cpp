#include "demod/CarrierDemodulator.h"

namespace nbtv {

void demodulate(const BlockSpectra& spectra, DemodulatedBlock& values) {
    for (int p = 0; p < analysisPasses; ++p) {
        for (int f = 1; f < framesPerPass; ++f) {
            const float* r0 = spectra.re[p][f - 1];
            const float* i0 = spectra.im[p][f - 1];
            const float* r1 = spectra.re[p][f];
            const float* i1 = spectra.im[p][f];
            float* d = values.d[p][f];
            for (int k = 1; k <= keptBins; ++k) {
                const float power = i1[k] * i1[k] + r1[k] * r1[k];
                d[k] = (i0[k] * r1[k] - r0[k] * i1[k]) / power;
            }
        }
    }
}

} // namespace nbtv
