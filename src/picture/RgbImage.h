#pragma once
// A plain 8-bit RGB picture, rows top first, three bytes a pixel: what test cards, image files
// and saved pictures exchange.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nbtv {

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb; // width * height * 3 bytes

    RgbImage() = default;
    RgbImage(int w, int h)
        : width(w), height(h),
          rgb(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3, 0) {}

    std::size_t offset(int x, int y) const { return (static_cast<std::size_t>(y) * width + x) * 3; }
    std::uint8_t* pixel(int x, int y) { return &rgb[offset(x, y)]; }
    const std::uint8_t* pixel(int x, int y) const { return &rgb[offset(x, y)]; }
};

} // namespace nbtv
