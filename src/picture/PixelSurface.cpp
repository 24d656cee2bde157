#include "picture/PixelSurface.h"

namespace nbtv {

RgbImage toRgbImage(const PixelSurface& surface, const PixelRect& area) {
    RgbImage image;
    toRgbImage(surface, area, image);
    return image;
}

void toRgbImage(const PixelSurface& surface, const PixelRect& area, RgbImage& image) {
    image.width = area.width;
    image.height = area.height;
    image.rgb.resize(static_cast<std::size_t>(area.width) * static_cast<std::size_t>(area.height) *
                     3);
    for (int y = 0; y < area.height; ++y) {
        for (int x = 0; x < area.width; ++x) {
            const std::uint32_t p = surface.at(area.x0 + x, area.y0 + y);
            std::uint8_t* out = image.pixel(x, y);
            out[0] = static_cast<std::uint8_t>((p >> 16) & 0xff);
            out[1] = static_cast<std::uint8_t>((p >> 8) & 0xff);
            out[2] = static_cast<std::uint8_t>(p & 0xff);
        }
    }
}

} // namespace nbtv
