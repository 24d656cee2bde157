#pragma once
// Receiving a whole signal in memory, and comparing pictures.

#include <cmath>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "picture/PixelSurface.h"
#include "picture/RgbImage.h"
#include "session/Receiver.h"

namespace nbtv::test {

// Runs the receiver over `samples` in blocks of its block length and returns every completed
// picture (the profile's picture area, or the given area).
inline std::vector<RgbImage> receive(Receiver& receiver, std::span<const std::int16_t> samples) {
    std::vector<RgbImage> pictures;
    const std::size_t length = static_cast<std::size_t>(receiver.settings().blockLength);
    for (std::size_t at = 0; at + length <= samples.size(); at += length) {
        if (receiver.processBlock(samples.subspan(at, length))) {
            pictures.push_back(
                toRgbImage(receiver.pictureSurface(), receiver.profile().geometry.pictureCrop));
        }
    }
    return pictures;
}

// Each pixel of `image` as a factor x factor square.
inline RgbImage enlarge(const RgbImage& image, int factor) {
    RgbImage out(image.width * factor, image.height * factor);
    for (int y = 0; y < out.height; ++y) {
        for (int x = 0; x < out.width; ++x) {
            const std::uint8_t* in = image.pixel(x / factor, y / factor);
            std::uint8_t* o = out.pixel(x, y);
            o[0] = in[0];
            o[1] = in[1];
            o[2] = in[2];
        }
    }
    return out;
}

// Grey (luminance) version, as a monochrome transmission sends it.
inline RgbImage luminance(const RgbImage& image) {
    RgbImage out(image.width, image.height);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const std::uint8_t* p = image.pixel(x, y);
            const double l = 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
            const auto grey = static_cast<std::uint8_t>(std::lround(l));
            std::uint8_t* o = out.pixel(x, y);
            o[0] = o[1] = o[2] = grey;
        }
    }
    return out;
}

// Peak signal-to-noise ratio in dB over all channels (infinite for equal pictures).
inline double psnr(const RgbImage& a, const RgbImage& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.rgb.size() && i < b.rgb.size(); ++i) {
        const double d = static_cast<double>(a.rgb[i]) - b.rgb[i];
        sum += d * d;
    }
    const double mse = sum / static_cast<double>(a.rgb.size());
    return mse == 0.0 ? INFINITY : 10.0 * std::log10(255.0 * 255.0 / mse);
}

} // namespace nbtv::test
