#include "demod/Fft256.h"

#include <cmath>

namespace nbtv {

Fft256::Fft256() {
    const double pi = 4.0 * std::atan(1.0);
    const double step = 2.0 * pi / 256.0;
    for (int k = 0; k < 128; ++k) {
        const double angle = k * step;
        cos_[static_cast<std::size_t>(k)] = static_cast<float>(std::cos(angle));
        sin_[static_cast<std::size_t>(k)] = static_cast<float>(std::sin(angle));
    }
    for (int k = 0; k < 256; ++k) {
        int r = 0;
        for (int bit = 0; bit < 8; ++bit) {
            if (k & (1 << bit)) {
                r |= 1 << (7 - bit);
            }
        }
        reversal_[static_cast<std::size_t>(k)] = r;
    }
}

void Fft256::transform(float* re, float* im) const {
    for (int stage = 7; stage >= 0; --stage) {
        const int half = 1 << stage;
        const int groups = 1 << (7 - stage);
        for (int g = 0; g < groups; ++g) {
            const int base = 2 * half * g;
            for (int k = 0; k < half; ++k) {
                const int a = base + k;
                const int b = a + half;
                const std::size_t t = static_cast<std::size_t>(groups * k);
                const float ur = re[a] + re[b];
                const float ui = im[a] + im[b];
                const float vr = re[a] - re[b];
                const float vi = im[a] - im[b];
                re[b] = cos_[t] * vr - sin_[t] * vi;
                im[b] = sin_[t] * vr + cos_[t] * vi;
                re[a] = ur;
                im[a] = ui;
            }
        }
    }
}

} // namespace nbtv
