#include "PictureSequence.h"

#include <cctype>

#include "Commands.h"
#include "io/ImageFile.h"

namespace nbtv::cli {

bool isNumberedPattern(const std::string& path) {
    // A '%' followed (after flags and width) by 'd' is what image2 numbers files with.
    for (std::size_t at = path.find('%'); at != std::string::npos; at = path.find('%', at + 1)) {
        std::size_t k = at + 1;
        while (k < path.size() && (std::isdigit(static_cast<unsigned char>(path[k])) != 0)) {
            ++k;
        }
        if (k < path.size() && path[k] == 'd') {
            return true;
        }
    }
    return false;
}

std::vector<RgbImage> readPictureSequence(const std::string& path, int width, int height,
                                          std::size_t limit) {
    PictureSource source;
    source.numberedPattern = isNumberedPattern(path);
    source.limit = limit;
    std::vector<RgbImage> pictures;
    std::string error;
    if (!decodePictures(
            path, width, height, source,
            [&](const RgbImage& picture) {
                pictures.push_back(picture);
                return true;
            },
            error)) {
        throw RunError(error);
    }
    return pictures;
}

} // namespace nbtv::cli
