#pragma once
// The 256-point transform of the analysis: radix-2 decimation in frequency, in place, without
// scaling, positive exponent, single precision, output in bit-reversed order.

#include <array>
#include <cstddef>

namespace nbtv {

class Fft256 {
  public:
    static constexpr int size = 256;

    Fft256();

    // One transform of re/im (256 values each), exactly in the butterfly order of the algorithm.
    void transform(float* re, float* im) const;

    // The twelve transforms of a block side by side: value m of lane l (0..11) at
    // [m * laneStride + l]; lanes 12..15 are room only, transformed alongside and not read.
    // Every lane sees exactly the operations of transform(); sixteen lanes make one register
    // where the processor has AVX-512, eight where it has AVX2, four otherwise.
    static constexpr int twelveLanes = 12;
    static constexpr int laneStride = 16;
    // In order of width: a processor runs every width up to its widest.
    enum class Width { Four, Eight, Sixteen };
    void transformTwelve(float* re, float* im) const { transformTwelve(re, im, widest()); }
    void transformTwelve(float* re, float* im, Width width) const;
    // The widest registers of this processor; Four works everywhere.
    static Width widest();

    // Position of bin k in the output.
    int position(int bin) const { return reversal_[static_cast<std::size_t>(bin)]; }

    float cosine(int k) const { return cos_[static_cast<std::size_t>(k)]; }
    float sine(int k) const { return sin_[static_cast<std::size_t>(k)]; }

  private:
    std::array<float, 128> cos_{};
    std::array<float, 128> sin_{};
    std::array<int, 256> reversal_{};
};

} // namespace nbtv
