#pragma once
// Picture files: PNG out, any still image FFmpeg can decode in.

#include <string>

#include "picture/RgbImage.h"

namespace nbtv {

// Writes `image` as an 8-bit RGB PNG. The file appears whole or not at all (written beside the
// target under a temporary name, then renamed). On failure returns false and sets `error`.
bool writePng(const std::string& path, const RgbImage& image, std::string& error);

// Reads the first picture of an image file (PNG, JPEG, BMP, ... whatever FFmpeg decodes) and
// scales it to width x height. On failure returns false and sets `error` to one line.
bool loadImageScaled(const std::string& path, int width, int height, RgbImage& image,
                     std::string& error);

} // namespace nbtv
