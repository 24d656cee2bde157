#pragma once
// Every picture of a video file or a numbered image sequence ("frame-%03d.png", read by
// FFmpeg's image2 demuxer), each scaled to the program's picture size.

#include <string>
#include <vector>

#include "picture/RgbImage.h"

namespace nbtv::cli {

// Throws RunError (one line naming the file) when nothing can be read. At most `limit`
// pictures are decoded.
std::vector<RgbImage> readPictureSequence(const std::string& path, int width, int height,
                                          std::size_t limit);

} // namespace nbtv::cli
