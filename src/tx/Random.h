#pragma once
// The transmitter's random numbers: the same seed gives the same numbers on every platform and
// with any standard library.

#include <cmath>
#include <cstdint>
#include <numbers>

namespace nbtv {

// splitmix64: tiny, fast and identical on every platform.
class SplitMix64 {
  public:
    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        state_ += 0x9e3779b97f4a7c15ULL;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    // Uniform in (0, 1]: never 0, so its logarithm is finite.
    double uniformOpenZero() { return static_cast<double>((next() >> 11) + 1) * 0x1.0p-53; }

  private:
    std::uint64_t state_;
};

// Box-Muller on splitmix64, so a seed gives the same noise with any standard library.
class GaussianNoise {
  public:
    explicit GaussianNoise(std::uint64_t seed) : rng_(seed) {}

    double next() {
        if (hasSpare_) {
            hasSpare_ = false;
            return spare_;
        }
        const double radius = std::sqrt(-2.0 * std::log(rng_.uniformOpenZero()));
        const double angle = 2.0 * std::numbers::pi * rng_.uniformOpenZero();
        spare_ = radius * std::sin(angle);
        hasSpare_ = true;
        return radius * std::cos(angle);
    }

  private:
    SplitMix64 rng_;
    double spare_ = 0.0;
    bool hasSpare_ = false;
};

} // namespace nbtv
