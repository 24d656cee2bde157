#include "Mp3RoundTrip.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "core/Conversions.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace nbtv::bench {

namespace {

struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using Codec = std::unique_ptr<AVCodecContext, CodecDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;

// Every decoded sample the decoder has ready, as floats.
void drain(AVCodecContext* decoder, AVFrame* frame, std::vector<float>& out) {
    while (avcodec_receive_frame(decoder, frame) == 0) {
        const auto* data = reinterpret_cast<const float*>(frame->extended_data[0]);
        if (frame->format == AV_SAMPLE_FMT_FLTP || frame->format == AV_SAMPLE_FMT_FLT) {
            out.insert(out.end(), data, data + frame->nb_samples);
        } else if (frame->format == AV_SAMPLE_FMT_S16P || frame->format == AV_SAMPLE_FMT_S16) {
            const auto* s = reinterpret_cast<const std::int16_t*>(frame->extended_data[0]);
            for (int i = 0; i < frame->nb_samples; ++i) {
                out.push_back(static_cast<float>(s[i]) / 32768.0f);
            }
        }
    }
}

// Packets the encoder has ready, straight into the decoder.
bool pass(AVCodecContext* encoder, AVCodecContext* decoder, AVPacket* packet, AVFrame* decoded,
          std::vector<float>& out) {
    for (;;) {
        const int got = avcodec_receive_packet(encoder, packet);
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) {
            return true;
        }
        if (got < 0 || avcodec_send_packet(decoder, packet) < 0) {
            return false;
        }
        av_packet_unref(packet);
        drain(decoder, decoded, out);
    }
}

// The lag (0..maxLag) at which `decoded` matches `input` best.
std::size_t bestLag(const std::vector<std::int16_t>& input, const std::vector<float>& decoded,
                    std::size_t maxLag) {
    const std::size_t span = std::min<std::size_t>(input.size(), 16384);
    std::size_t best = 0;
    double bestSum = -INFINITY;
    for (std::size_t lag = 0; lag <= maxLag && lag + span <= decoded.size(); ++lag) {
        double sum = 0.0;
        for (std::size_t i = 0; i < span; ++i) {
            sum += static_cast<double>(input[i]) * decoded[i + lag];
        }
        if (sum > bestSum) {
            bestSum = sum;
            best = lag;
        }
    }
    return best;
}

} // namespace

std::vector<std::int16_t> mp3RoundTrip(const std::vector<std::int16_t>& samples, int sampleRate,
                                       int bitRate, std::string& error) {
    const AVCodec* encoderCodec = avcodec_find_encoder_by_name("libmp3lame");
    const AVCodec* decoderCodec = avcodec_find_decoder(AV_CODEC_ID_MP3);
    if (encoderCodec == nullptr || decoderCodec == nullptr) {
        error = "no MP3 encoder (libmp3lame) or decoder in libavcodec";
        return {};
    }
    Codec encoder(avcodec_alloc_context3(encoderCodec));
    Codec decoder(avcodec_alloc_context3(decoderCodec));
    encoder->sample_rate = sampleRate;
    encoder->bit_rate = bitRate;
    encoder->sample_fmt = AV_SAMPLE_FMT_S16P;
    av_channel_layout_default(&encoder->ch_layout, 1);
    if (avcodec_open2(encoder.get(), encoderCodec, nullptr) < 0 ||
        avcodec_open2(decoder.get(), decoderCodec, nullptr) < 0) {
        error = "cannot open the MP3 codecs at " + std::to_string(sampleRate) + " Hz";
        return {};
    }
    Frame frame(av_frame_alloc());
    Frame decoded(av_frame_alloc());
    Packet packet(av_packet_alloc());
    const int frameSize = encoder->frame_size;
    std::vector<float> out;
    for (std::size_t at = 0; at < samples.size(); at += static_cast<std::size_t>(frameSize)) {
        frame->nb_samples = frameSize;
        frame->format = encoder->sample_fmt;
        av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
        if (av_frame_get_buffer(frame.get(), 0) < 0) {
            error = "out of memory";
            return {};
        }
        auto* data = reinterpret_cast<std::int16_t*>(frame->data[0]);
        for (int i = 0; i < frameSize; ++i) {
            const std::size_t n = at + static_cast<std::size_t>(i);
            data[i] = n < samples.size() ? samples[n] : 0;
        }
        if (avcodec_send_frame(encoder.get(), frame.get()) < 0 ||
            !pass(encoder.get(), decoder.get(), packet.get(), decoded.get(), out)) {
            error = "MP3 encoding failed";
            return {};
        }
        av_frame_unref(frame.get());
    }
    avcodec_send_frame(encoder.get(), nullptr);
    if (!pass(encoder.get(), decoder.get(), packet.get(), decoded.get(), out)) {
        error = "MP3 encoding failed";
        return {};
    }
    avcodec_send_packet(decoder.get(), nullptr);
    drain(decoder.get(), decoded.get(), out);

    const std::size_t lag = bestLag(samples, out, 4 * static_cast<std::size_t>(frameSize));
    std::vector<std::int16_t> aligned(samples.size(), 0);
    for (std::size_t i = 0; i < aligned.size() && i + lag < out.size(); ++i) {
        const double v = static_cast<double>(out[i + lag]) * 32768.0;
        aligned[i] = static_cast<std::int16_t>(std::clamp(roundHalfEven(v), -32768, 32767));
    }
    return aligned;
}

} // namespace nbtv::bench
