#pragma once
// The 256-point transform of the analysis: radix-2 decimation in frequency, in place, without
// scaling, positive exponent, single precision, output in bit-reversed order.

#include <array>
#include <cstddef>
#include <cstring>

namespace nbtv {

class Fft256 {
  public:
    static constexpr int size = 256;

    Fft256();

    // One transform of re/im (256 values each), exactly in the butterfly order of the algorithm.
    void transform(float* re, float* im) const;

    // `lanes` independent transforms at once, value m of lane l at [m * lanes + l]. Every lane
    // sees the same floating-point operations in the same order as transform(), so the results
    // are identical; the lanes only let the compiler use vector registers.
    template <int lanes>
    void transformLanes(float* re, float* im) const;

    // Position of bin k in the output.
    int position(int bin) const { return reversal_[static_cast<std::size_t>(bin)]; }

    float cosine(int k) const { return cos_[static_cast<std::size_t>(k)]; }
    float sine(int k) const { return sin_[static_cast<std::size_t>(k)]; }

  private:
    std::array<float, 128> cos_{};
    std::array<float, 128> sin_{};
    std::array<int, 256> reversal_{};
};

template <int lanes>
void Fft256::transformLanes(float* re, float* im) const {
    // Four lanes to a vector register; GCC and Clang apply each operator lane by lane with the
    // same IEEE single-precision operation as the scalar code.
    using Quad = float __attribute__((vector_size(16)));
    static_assert(lanes % 4 == 0, "lanes come in fours");
    constexpr int quads = lanes / 4;
    auto load = [](const float* p) {
        Quad q;
        std::memcpy(&q, p, sizeof q);
        return q;
    };
    auto store = [](float* p, Quad q) { std::memcpy(p, &q, sizeof q); };
    for (int stage = 7; stage >= 0; --stage) {
        const int half = 1 << stage;
        const int groups = 1 << (7 - stage);
        for (int g = 0; g < groups; ++g) {
            const int base = 2 * half * g;
            for (int k = 0; k < half; ++k) {
                const std::size_t t = static_cast<std::size_t>(groups * k);
                const Quad c = Quad{} + cos_[t];
                const Quad s = Quad{} + sin_[t];
                float* ar = re + (base + k) * lanes;
                float* ai = im + (base + k) * lanes;
                float* br = re + (base + k + half) * lanes;
                float* bi = im + (base + k + half) * lanes;
                for (int q = 0; q < quads; ++q) {
                    const Quad xar = load(ar + 4 * q);
                    const Quad xai = load(ai + 4 * q);
                    const Quad xbr = load(br + 4 * q);
                    const Quad xbi = load(bi + 4 * q);
                    const Quad vr = xar - xbr;
                    const Quad vi = xai - xbi;
                    store(ar + 4 * q, xar + xbr);
                    store(ai + 4 * q, xai + xbi);
                    store(br + 4 * q, c * vr - s * vi);
                    store(bi + 4 * q, s * vr + c * vi);
                }
            }
        }
    }
}

} // namespace nbtv
