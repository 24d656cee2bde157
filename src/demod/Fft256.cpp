#include "demod/Fft256.h"

#include <cmath>
#include <cstddef>
#include <cstring>

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

namespace nbtv {

namespace {

// One butterfly of transform() on a `Vec` of lanes each: (a, b) becomes (a + b, w (a - b)).
template <class Vec>
[[gnu::always_inline]] inline void butterfly(Vec& ar, Vec& ai, Vec& br, Vec& bi, const Vec& c,
                                             const Vec& s) {
    const Vec vr = ar - br;
    const Vec vi = ai - bi;
    ar = ar + br;
    ai = ai + bi;
    br = c * vr - s * vi;
    bi = s * vr + c * vi;
}

// The butterflies of transform() on `Vec`s of lanes, two stages at a time: the four values
// i, i + h/2, i + h and i + 3h/2 meet only each other in the stage of half h and the next, so
// they are loaded once for both. Every value sees the same operations in the same order as in
// transform(). Inlined into a function compiled for the registers that hold a `Vec`.
template <class Vec>
[[gnu::always_inline]] inline void laneButterflies(const float* cosines, const float* sines,
                                                   float* re, float* im) {
    constexpr int width = static_cast<int>(sizeof(Vec) / sizeof(float));
    constexpr int vectors = (Fft256::twelveLanes + width - 1) / width;
    constexpr int stride = Fft256::laneStride;
    for (int stage = 7; stage >= 1; stage -= 2) {
        const int half = 1 << stage;
        const int quarter = half / 2;
        const int groups = 1 << (7 - stage);
        for (int g = 0; g < groups; ++g) {
            const int base = 2 * half * g;
            for (int k = 0; k < quarter; ++k) {
                const std::size_t t0 = static_cast<std::size_t>(groups * k);
                const std::size_t t1 = static_cast<std::size_t>(groups * (k + quarter));
                const std::size_t t2 = static_cast<std::size_t>(2 * groups * k);
                // Every lane the twiddle itself (x - 0 is x, also for -0).
                const Vec c0 = cosines[t0] - Vec{};
                const Vec s0 = sines[t0] - Vec{};
                const Vec c1 = cosines[t1] - Vec{};
                const Vec s1 = sines[t1] - Vec{};
                const Vec c2 = cosines[t2] - Vec{};
                const Vec s2 = sines[t2] - Vec{};
                const std::ptrdiff_t at[4] = {(base + k) * stride, (base + k + quarter) * stride,
                                              (base + k + half) * stride,
                                              (base + k + half + quarter) * stride};
                for (int q = 0; q < vectors; ++q) {
                    Vec r[4];
                    Vec i[4];
                    for (int j = 0; j < 4; ++j) {
                        std::memcpy(&r[j], re + at[j] + width * q, sizeof r[j]);
                        std::memcpy(&i[j], im + at[j] + width * q, sizeof i[j]);
                    }
                    butterfly(r[0], i[0], r[2], i[2], c0, s0); // stage of half h
                    butterfly(r[1], i[1], r[3], i[3], c1, s1);
                    butterfly(r[0], i[0], r[1], i[1], c2, s2); // stage of half h / 2
                    butterfly(r[2], i[2], r[3], i[3], c2, s2);
                    for (int j = 0; j < 4; ++j) {
                        std::memcpy(re + at[j] + width * q, &r[j], sizeof r[j]);
                        std::memcpy(im + at[j] + width * q, &i[j], sizeof i[j]);
                    }
                }
            }
        }
    }
}

// GCC and Clang apply each operator of these types lane by lane with the same IEEE
// single-precision operation as the scalar code (and the build contracts no products into
// fused multiply-adds).
using Four = float __attribute__((vector_size(16)));
using Sixteen = float __attribute__((vector_size(64)));

void butterfliesFour(const float* c, const float* s, float* re, float* im) {
    laneButterflies<Four>(c, s, re, im);
}

#if defined(__x86_64__)
[[gnu::target("avx512f")]] void butterfliesSixteen(const float* c, const float* s, float* re,
                                                   float* im) {
    laneButterflies<Sixteen>(c, s, re, im);
}
#endif

} // namespace

Fft256::Width Fft256::widest() {
#if defined(__x86_64__)
    static const Width width = __builtin_cpu_supports("avx512f") ? Width::Sixteen : Width::Four;
    return width;
#else
    return Width::Four;
#endif
}

void Fft256::transformTwelve(float* re, float* im, Width width) const {
#if defined(__x86_64__)
    switch (width) {
    case Width::Sixteen:
        butterfliesSixteen(cos_.data(), sin_.data(), re, im);
        return;
    case Width::Four:
        break;
    }
#else
    (void)width;
#endif
    butterfliesFour(cos_.data(), sin_.data(), re, im);
}

} // namespace nbtv
