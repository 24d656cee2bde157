#include "DecodeOutputs.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "io/ImageFile.h"

namespace nbtv::cli {

// The AVI recording as the programs make it: the picture view (the surface at its top left in
// a view one row higher) from its bottom row up to row 1, bottom row first.
class DecodeOutputs::ViewRecording {
  public:
    ViewRecording(const std::string& path, const ReceiverProfile& profile, int framesPerSecond,
                  const std::string& codec, Replace replace)
        : width_(profile.surfaceWidth), height_(profile.pictureSurfaceHeight),
          rows_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_)),
          file_(path, width_, height_, framesPerSecond, compressionOf(codec), replace) {}

    void write(const PixelSurface& surface) {
        for (int k = 0; k < height_; ++k) {
            const int source = height_ - k; // view row; the view's last row is never drawn
            std::uint32_t* out = rows_.data() + static_cast<std::size_t>(k) * width_;
            if (source >= surface.height) {
                std::fill(out, out + width_, 0u);
                continue;
            }
            for (int x = 0; x < width_; ++x) {
                out[x] = x < surface.width ? surface.at(x, source) & 0xffffffu : 0u;
            }
        }
        file_.write(reinterpret_cast<const std::uint8_t*>(rows_.data()),
                    static_cast<std::ptrdiff_t>(width_) * 4);
    }
    void finish() { file_.finish(); }

  private:
    static AviCompression compressionOf(const std::string& codec) {
        AviCompression compression;
        compression.codec = codec;
        return compression;
    }

    int width_;
    int height_;
    std::vector<std::uint32_t> rows_;
    AviOutput file_;
};

DecodeOutputs::DecodeOutputs(const DecodeRequest& request, const ReceiverProfile& profile)
    : request_(request), profile_(profile) {
    std::vector<std::string> files;
    for (const auto& path : {request.avi, request.frameFile}) {
        if (path) {
            files.push_back(*path);
        }
    }
    checkOutputFiles(files, request.rule);
    if (request.folder) {
        folder_.emplace(*request.folder, request.rule);
        folder_->check();
    }
}

DecodeOutputs::~DecodeOutputs() = default;

void DecodeOutputs::open() {
    const Replace replace = request_.rule.replace;
    if (request_.avi) {
        avi_ = std::make_unique<ViewRecording>(*request_.avi, profile_, request_.framesPerSecond,
                                               request_.codec, replace);
    }
    if (request_.frameFile) {
        frameFile_ = std::make_unique<FrameFileOutput>(*request_.frameFile, replace);
    }
    if (folder_) {
        folder_->prepare();
        pngs_ = std::make_unique<PictureWriter>(replace);
    }
}

void DecodeOutputs::add(const PixelSurface& surface) {
    ++pictures_;
    if (pngs_) {
        const PixelRect area = request_.wholeSurface ? PixelRect{0, 0, profile_.surfaceWidth,
                                                                 profile_.pictureSurfaceHeight}
                                                     : profile_.geometry.pictureCrop;
        RgbImage image = pngs_->spare();
        toRgbImage(surface, area, image);
        pngs_->write(pictureName(folder_->path(), pictures_), std::move(image));
    }
    if (avi_) {
        avi_->write(surface);
    }
    if (frameFile_) {
        frameFile_->add(surface); // the whole surface as composed, whatever PNGs crop
    }
}

void DecodeOutputs::finish() {
    if (pngs_) {
        pngs_->finish();
    }
    if (avi_) {
        avi_->finish();
    }
    if (frameFile_) {
        frameFile_->finish();
    }
}

} // namespace nbtv::cli
