#pragma once
// An off-screen picture of 32-bit pixels, top row first. A pixel is red * 65536 + green * 256 +
// blue, so in memory (little-endian) its bytes are blue, green, red, 0.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "picture/RgbImage.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

struct PixelSurface {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;

    PixelSurface() = default;
    PixelSurface(int w, int h)
        : width(w), height(h),
          pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0) {}

    // 0-based pixel coordinates.
    std::uint32_t& at(int x, int y) { return pixels[static_cast<std::size_t>(y) * width + x]; }
    std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

inline constexpr std::uint32_t rgbPixel(std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return (r << 16) | (g << 8) | b;
}
inline constexpr std::uint32_t greyPixel(std::uint32_t level) {
    return level * 0x10101u;
}

// The pixels of `area` as an opaque RGB picture (the fourth byte is dropped); the second form
// fills `image`, reusing its bytes.
RgbImage toRgbImage(const PixelSurface& surface, const PixelRect& area);
void toRgbImage(const PixelSurface& surface, const PixelRect& area, RgbImage& image);

} // namespace nbtv
