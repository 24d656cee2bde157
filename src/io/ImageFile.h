#pragma once
// Picture files: PNG out, any still image FFmpeg can decode in.

#include <cstddef>
#include <functional>
#include <limits>
#include <string>

#include "io/AtomicFile.h"
#include "picture/RgbImage.h"

namespace nbtv {

// Writes `image` as an 8-bit RGB PNG. The file appears whole or not at all (written beside the
// target under a temporary name, then renamed); an existing regular file at `path` is replaced
// only when `replace` allows it. On failure returns false and sets `error`.
bool writePng(const std::string& path, const RgbImage& image, std::string& error,
              Replace replace = Replace::RegularFile);

// Reads the first picture of an image file (PNG, JPEG, BMP, ... whatever FFmpeg decodes) and
// scales it to width x height. On failure returns false and sets `error` to one line.
bool loadImageScaled(const std::string& path, int width, int height, RgbImage& image,
                     std::string& error);

// Where pictures come from: one still image, a numbered image sequence ("frame-%03d.png") or a
// video.
struct PictureSource {
    bool stillsOnly = false;      // refuse anything but a picture file
    bool numberedPattern = false; // `path` is a printf pattern of numbered files
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    std::string device; // an input device of libavdevice ("v4l2", "x11grab"): `path` names one
};

// Whether `path` is a printf pattern of numbered files rather than one file.
bool isNumberedPattern(const std::string& path);

// Decodes the pictures of `path` in order, each scaled to width x height, and hands each to
// `take` until it returns false or `source.limit` were taken. False with a one-line `error`
// when nothing could be read or decoding failed. Pictures the file holds only part of (a
// recording cut off) are left out; `incomplete` tells how many.
bool decodePictures(const std::string& path, int width, int height, const PictureSource& source,
                    const std::function<bool(const RgbImage&)>& take, std::string& error,
                    std::size_t* incomplete = nullptr);

} // namespace nbtv
