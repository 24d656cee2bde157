#include "demod/Fft256.h"

#include "core/VectorRegisters.h"

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

// Both stages of the pair on the four values at `at` of the `Vec` of lanes from `lane`, with
// the twiddles of the three butterflies.
template <class Vec>
[[gnu::always_inline]] inline void twoStages(float* re, float* im, const std::ptrdiff_t* at,
                                             std::ptrdiff_t lane, const float* twiddleCos,
                                             const float* twiddleSin) {
    // Every lane the twiddle itself (x - 0 is x, also for -0).
    const Vec c0 = twiddleCos[0] - Vec{};
    const Vec s0 = twiddleSin[0] - Vec{};
    const Vec c1 = twiddleCos[1] - Vec{};
    const Vec s1 = twiddleSin[1] - Vec{};
    const Vec c2 = twiddleCos[2] - Vec{};
    const Vec s2 = twiddleSin[2] - Vec{};
    // Named registers rather than an array, which the compiler would build on the stack in
    // halves and read back whole.
    Vec r0, r1, r2, r3, i0, i1, i2, i3;
    std::memcpy(&r0, re + at[0] + lane, sizeof r0);
    std::memcpy(&r1, re + at[1] + lane, sizeof r1);
    std::memcpy(&r2, re + at[2] + lane, sizeof r2);
    std::memcpy(&r3, re + at[3] + lane, sizeof r3);
    std::memcpy(&i0, im + at[0] + lane, sizeof i0);
    std::memcpy(&i1, im + at[1] + lane, sizeof i1);
    std::memcpy(&i2, im + at[2] + lane, sizeof i2);
    std::memcpy(&i3, im + at[3] + lane, sizeof i3);
    butterfly(r0, i0, r2, i2, c0, s0); // stage of half h
    butterfly(r1, i1, r3, i3, c1, s1);
    butterfly(r0, i0, r1, i1, c2, s2); // stage of half h / 2
    butterfly(r2, i2, r3, i3, c2, s2);
    std::memcpy(re + at[0] + lane, &r0, sizeof r0);
    std::memcpy(re + at[1] + lane, &r1, sizeof r1);
    std::memcpy(re + at[2] + lane, &r2, sizeof r2);
    std::memcpy(re + at[3] + lane, &r3, sizeof r3);
    std::memcpy(im + at[0] + lane, &i0, sizeof i0);
    std::memcpy(im + at[1] + lane, &i1, sizeof i1);
    std::memcpy(im + at[2] + lane, &i2, sizeof i2);
    std::memcpy(im + at[3] + lane, &i3, sizeof i3);
}

// The butterflies of transform() on the twelve lanes, two stages at a time: the four values
// i, i + h/2, i + h and i + 3h/2 meet only each other in the stage of half h and the next, so
// they are loaded once for both. The lanes go in `Vec`s as far as whole ones reach, the rest
// in `Tail`s (which may run into the room lanes). Every value sees the same operations in the
// same order as in transform(). Inlined into a function compiled for the registers that hold
// a `Vec`.
template <class Vec, class Tail>
[[gnu::always_inline]] inline void laneButterflies(const float* cosines, const float* sines,
                                                   float* re, float* im) {
    constexpr int width = static_cast<int>(sizeof(Vec) / sizeof(float));
    constexpr int tailWidth = static_cast<int>(sizeof(Tail) / sizeof(float));
    constexpr int whole = Fft256::twelveLanes / width;
    constexpr int tails = (Fft256::twelveLanes - whole * width + tailWidth - 1) / tailWidth;
    static_assert(whole * width + tails * tailWidth <= Fft256::laneStride);
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
                const float twiddleCos[3] = {cosines[t0], cosines[t1], cosines[t2]};
                const float twiddleSin[3] = {sines[t0], sines[t1], sines[t2]};
                const std::ptrdiff_t at[4] = {(base + k) * stride, (base + k + quarter) * stride,
                                              (base + k + half) * stride,
                                              (base + k + half + quarter) * stride};
                for (int q = 0; q < whole; ++q) {
                    twoStages<Vec>(re, im, at, width * q, twiddleCos, twiddleSin);
                }
                for (int q = 0; q < tails; ++q) {
                    twoStages<Tail>(re, im, at, whole * width + tailWidth * q, twiddleCos,
                                    twiddleSin);
                }
            }
        }
    }
}

// GCC and Clang apply each operator of these types lane by lane with the same IEEE
// single-precision operation as the scalar code (and the build contracts no products into
// fused multiply-adds).
using Four = float __attribute__((vector_size(16)));
using Eight = float __attribute__((vector_size(32)));
using Sixteen = float __attribute__((vector_size(64)));

void butterfliesFour(const float* c, const float* s, float* re, float* im) {
    laneButterflies<Four, Four>(c, s, re, im);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void butterfliesEight(const float* c, const float* s, float* re,
                                              float* im) {
    laneButterflies<Eight, Four>(c, s, re, im);
}

[[gnu::target("avx512f")]] void butterfliesSixteen(const float* c, const float* s, float* re,
                                                   float* im) {
    laneButterflies<Sixteen, Sixteen>(c, s, re, im);
}
#endif

} // namespace

Fft256::Width Fft256::widest() {
#if defined(__x86_64__)
    switch (vectorRegisters()) {
    case VectorRegisters::Bits512:
        return Width::Sixteen;
    case VectorRegisters::Bits256:
        return Width::Eight;
    case VectorRegisters::Bits128:
        break;
    }
#endif
    return Width::Four;
}

void Fft256::transformTwelve(float* re, float* im, Width width) const {
#if defined(__x86_64__)
    switch (width) {
    case Width::Sixteen:
        butterfliesSixteen(cos_.data(), sin_.data(), re, im);
        return;
    case Width::Eight:
        butterfliesEight(cos_.data(), sin_.data(), re, im);
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
