#pragma once
// The picture area of a window's picture view as an RGB picture, to compare with what was sent.

#include <QImage>

#include <cstdint>

#include "picture/RgbImage.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv::test {

inline RgbImage viewPicture(const QImage& view, const PixelRect& area) {
    RgbImage picture(area.width, area.height);
    for (int y = 0; y < area.height; ++y) {
        for (int x = 0; x < area.width; ++x) {
            const QRgb p = view.pixel(area.x0 + x, area.y0 + y);
            std::uint8_t* o = picture.pixel(x, y);
            o[0] = static_cast<std::uint8_t>(qRed(p));
            o[1] = static_cast<std::uint8_t>(qGreen(p));
            o[2] = static_cast<std::uint8_t>(qBlue(p));
        }
    }
    return picture;
}

} // namespace nbtv::test
