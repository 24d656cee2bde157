#include "PictureSequence.h"

#include "Commands.h"
#include "io/ImageFile.h"

namespace nbtv::cli {

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
