#include "PictureSequence.h"

#include <cctype>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "Commands.h"
#include "shell/FfmpegSupport.h"

namespace nbtv::cli {

namespace {

struct Decoding {
    AVFormatContext* format = nullptr;
    AVCodecContext* decoder = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwsContext* scaler = nullptr;
    ~Decoding() {
        sws_freeContext(scaler);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&decoder);
        avformat_close_input(&format);
    }
};

} // namespace

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
    silenceFfmpeg(); // failures are reported in one line below
    const std::string name = "'" + path + "'";
    Decoding d;
    // The image2 demuxer reads the numbered files of a pattern; anything else is probed.
    const AVInputFormat* forced =
        isNumberedPattern(path) ? av_find_input_format("image2") : nullptr;
    int rc = avformat_open_input(&d.format, path.c_str(), forced, nullptr);
    if (rc < 0) {
        throw RunError(openFailure(path, rc, "video or picture"));
    }
    rc = avformat_find_stream_info(d.format, nullptr);
    if (rc < 0) {
        throw RunError("cannot read " + name + ": " + ffmpegMessage(rc));
    }
    const AVCodec* codec = nullptr;
    const int stream = av_find_best_stream(d.format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream < 0 || codec == nullptr) {
        throw RunError(name + " holds no pictures");
    }
    d.decoder = avcodec_alloc_context3(codec);
    d.packet = av_packet_alloc();
    d.frame = av_frame_alloc();
    if (d.decoder == nullptr || d.packet == nullptr || d.frame == nullptr) {
        throw RunError("out of memory reading " + name);
    }
    rc = avcodec_parameters_to_context(d.decoder, d.format->streams[stream]->codecpar);
    if (rc >= 0) {
        rc = avcodec_open2(d.decoder, codec, nullptr);
    }
    if (rc < 0) {
        throw RunError("cannot decode " + name + ": " + ffmpegMessage(rc));
    }

    std::vector<RgbImage> pictures;
    auto takeFrames = [&] {
        while (pictures.size() < limit && avcodec_receive_frame(d.decoder, d.frame) >= 0) {
            const AVFrame& f = *d.frame;
            if (f.width <= 0 || f.height <= 0 || f.format < 0) {
                throw RunError("cannot decode " + name + ": a picture has no size");
            }
            // The same scaling as a still card: area averaging, accurately rounded.
            d.scaler = sws_getCachedContext(
                d.scaler, f.width, f.height, static_cast<AVPixelFormat>(f.format), width, height,
                AV_PIX_FMT_RGB24, SWS_AREA | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
            if (d.scaler == nullptr) {
                throw RunError("cannot scale the pictures of " + name);
            }
            RgbImage image(width, height);
            std::uint8_t* out[4] = {image.rgb.data(), nullptr, nullptr, nullptr};
            const int outStride[4] = {width * 3, 0, 0, 0};
            sws_scale(d.scaler, f.data, f.linesize, 0, f.height, out, outStride);
            pictures.push_back(std::move(image));
            av_frame_unref(d.frame);
        }
    };
    while (pictures.size() < limit) {
        rc = av_read_frame(d.format, d.packet);
        if (rc < 0) {
            break;
        }
        if (d.packet->stream_index == stream) {
            rc = avcodec_send_packet(d.decoder, d.packet);
            av_packet_unref(d.packet);
            if (rc < 0 && rc != AVERROR(EAGAIN)) {
                throw RunError("cannot decode " + name + ": " + ffmpegMessage(rc));
            }
            takeFrames();
        } else {
            av_packet_unref(d.packet);
        }
    }
    avcodec_send_packet(d.decoder, nullptr);
    takeFrames();
    if (pictures.empty()) {
        throw RunError(name + " holds no pictures");
    }
    return pictures;
}

} // namespace nbtv::cli
