#pragma once
// Recorded AVI files read back: the RIFF structure as stored, and the frames through
// libavformat/libavcodec, each packet decoded by a fresh decoder so that a frame that needs
// another one shows.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace nbtv::test {

// A decoded picture: pixels red << 16 | green << 8 | blue, top row first.
using Pixels = std::vector<std::uint32_t>;

// Peak signal-to-noise ratio over the three colours, in dB (infinite when equal).
inline double psnr(const Pixels& a, const Pixels& b) {
    if (a.size() != b.size() || a.empty()) {
        return 0.0;
    }
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (int shift = 0; shift <= 16; shift += 8) {
            const double d = static_cast<double>((a[i] >> shift) & 0xffu) -
                             static_cast<double>((b[i] >> shift) & 0xffu);
            sum += d * d;
        }
    }
    const double mse = sum / (3.0 * static_cast<double>(a.size()));
    return mse == 0.0 ? INFINITY : 10.0 * std::log10(255.0 * 255.0 / mse);
}

struct AviStructure {
    std::vector<std::uint8_t> bytes;
    std::uint32_t totalFrames = 0; // avih
    std::string fccType;           // strh
    std::uint32_t fccHandler = ~0u, scale = 0, rate = 0, length = 0, bufferSize = 0;
    std::uint32_t biSize = 0, biCompression = ~0u, biSizeImage = 0; // strf
    std::int32_t biWidth = 0, biHeight = 0;
    std::uint16_t biPlanes = 0, biBitCount = 0;
    std::vector<std::vector<std::uint8_t>> frames; // the video chunks of movi
    bool hasIndex = false;
    std::vector<std::uint32_t> indexFlags; // idx1
};

inline std::uint32_t le(const std::vector<std::uint8_t>& b, std::size_t at, int bytes = 4) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = v << 8 | b[at + static_cast<std::size_t>(i)];
    }
    return v;
}

inline void walkChunks(AviStructure& s, std::size_t at, std::size_t end, bool movi) {
    const std::vector<std::uint8_t>& b = s.bytes;
    for (; at + 8 <= end; at += 8 + le(b, at + 4) + (le(b, at + 4) & 1)) {
        const std::string id(b.begin() + static_cast<std::ptrdiff_t>(at),
                             b.begin() + static_cast<std::ptrdiff_t>(at + 4));
        const std::size_t d = at + 8;
        const std::size_t stop = std::min<std::size_t>(end, d + le(b, at + 4));
        if (id == "LIST" && d + 4 <= stop) {
            walkChunks(s, d + 4, stop,
                       std::equal(b.begin() + static_cast<std::ptrdiff_t>(d),
                                  b.begin() + static_cast<std::ptrdiff_t>(d + 4), "movi"));
        } else if (movi && id.starts_with("00d")) {
            s.frames.emplace_back(b.begin() + static_cast<std::ptrdiff_t>(d),
                                  b.begin() + static_cast<std::ptrdiff_t>(stop));
        } else if (id == "avih" && d + 40 <= stop) {
            s.totalFrames = le(b, d + 16);
        } else if (id == "strh" && d + 40 <= stop) {
            s.fccType.assign(b.begin() + static_cast<std::ptrdiff_t>(d),
                             b.begin() + static_cast<std::ptrdiff_t>(d + 4));
            s.fccHandler = le(b, d + 4);
            s.scale = le(b, d + 20);
            s.rate = le(b, d + 24);
            s.length = le(b, d + 32);
            s.bufferSize = le(b, d + 36);
        } else if (id == "strf" && d + 40 <= stop) {
            s.biSize = le(b, d);
            s.biWidth = static_cast<std::int32_t>(le(b, d + 4));
            s.biHeight = static_cast<std::int32_t>(le(b, d + 8));
            s.biPlanes = static_cast<std::uint16_t>(le(b, d + 12, 2));
            s.biBitCount = static_cast<std::uint16_t>(le(b, d + 14, 2));
            s.biCompression = le(b, d + 16);
            s.biSizeImage = le(b, d + 20);
        } else if (id == "idx1") {
            s.hasIndex = true;
            for (std::size_t e = d; e + 16 <= stop; e += 16) {
                s.indexFlags.push_back(le(b, e + 4));
            }
        }
    }
}

inline AviStructure readStructure(const std::string& path) {
    AviStructure s;
    std::ifstream in(path, std::ios::binary);
    s.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (s.bytes.size() >= 12) {
        walkChunks(s, 12, s.bytes.size(), false);
    }
    return s;
}

struct AviReadBack {
    bool opened = false;
    std::string codec;
    std::uint32_t codecTag = ~0u;
    int bitsPerCodedSample = 0, width = 0, height = 0, indexEntries = 0;
    AVRational timeBase{0, 1}, frameRate{0, 1};
    std::vector<bool> keyFrames;
    std::vector<std::int64_t> timestamps; // decoding times: AVI counts frames
    std::vector<std::size_t> packetSizes;
    std::vector<Pixels> frames; // each packet decoded on its own
};

inline bool decodeAlone(const AVCodecParameters* parameters, const AVPacket* packet, Pixels& out) {
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    AVCodecContext* decoder = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVFrame* frame = av_frame_alloc();
    bool ok =
        decoder && frame && avcodec_parameters_to_context(decoder, parameters) >= 0 &&
        avcodec_open2(decoder, codec, nullptr) >= 0 && avcodec_send_packet(decoder, packet) >= 0 &&
        avcodec_send_packet(decoder, nullptr) >= 0 && avcodec_receive_frame(decoder, frame) >= 0;
    if (ok) {
        const int w = frame->width;
        const int h = frame->height;
        SwsContext* scaler = sws_getContext(
            w, h, static_cast<AVPixelFormat>(frame->format), w, h, AV_PIX_FMT_BGR0,
            SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
        out.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0);
        std::uint8_t* planes[4] = {reinterpret_cast<std::uint8_t*>(out.data())};
        int strides[4] = {w * 4};
        ok = scaler && sws_scale(scaler, frame->data, frame->linesize, 0, h, planes, strides) == h;
        sws_freeContext(scaler);
        for (std::uint32_t& v : out) {
            v &= 0xffffffu;
        }
    }
    av_frame_free(&frame);
    avcodec_free_context(&decoder);
    return ok;
}

inline AviReadBack readBack(const std::string& path) {
    AviReadBack r;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
        return r;
    }
    r.opened = format->nb_streams == 1;
    const AVStream* stream = format->streams[0];
    const AVCodecParameters* p = stream->codecpar;
    r.codec = avcodec_get_name(p->codec_id);
    r.codecTag = p->codec_tag;
    r.bitsPerCodedSample = p->bits_per_coded_sample;
    r.width = p->width;
    r.height = p->height;
    r.timeBase = stream->time_base;
    r.frameRate = stream->avg_frame_rate;
    r.indexEntries = avformat_index_get_entries_count(stream);
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(format, packet) >= 0) {
        r.keyFrames.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
        r.timestamps.push_back(packet->dts);
        r.packetSizes.push_back(static_cast<std::size_t>(packet->size));
        r.frames.emplace_back();
        if (!decodeAlone(p, packet, r.frames.back())) {
            r.frames.back().clear(); // matches no picture
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    return r;
}

} // namespace nbtv::test
