#pragma once
// FFmpeg's libraries, loaded the first time something needs them rather than linked: a process
// that decodes a WAV file and writes pictures never maps them (they and what they bring are
// most of a short run's start). Their headers give the types; every call goes through ff().

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <string>

// X(library, function): every FFmpeg function the project calls, with the library it is in.
#define NBTV_FFMPEG_FUNCTIONS(X)                                                                   \
    X(avutil, av_channel_layout_compare)                                                           \
    X(avutil, av_channel_layout_copy)                                                              \
    X(avutil, av_channel_layout_default)                                                           \
    X(avutil, av_channel_layout_uninit)                                                            \
    X(avutil, av_dict_free)                                                                        \
    X(avutil, av_dict_set)                                                                         \
    X(avutil, av_frame_alloc)                                                                      \
    X(avutil, av_frame_free)                                                                       \
    X(avutil, av_frame_get_buffer)                                                                 \
    X(avutil, av_frame_make_writable)                                                              \
    X(avutil, av_frame_unref)                                                                      \
    X(avutil, av_free)                                                                             \
    X(avutil, av_freep)                                                                            \
    X(avutil, av_get_pix_fmt)                                                                      \
    X(avutil, av_log_set_level)                                                                    \
    X(avutil, av_malloc)                                                                           \
    X(avutil, av_opt_set_int)                                                                      \
    X(avutil, av_pix_fmt_desc_get)                                                                 \
    X(avutil, av_rescale)                                                                          \
    X(avutil, av_rescale_q)                                                                        \
    X(avutil, av_strerror)                                                                         \
    X(avcodec, av_packet_alloc)                                                                    \
    X(avcodec, av_packet_free)                                                                     \
    X(avcodec, av_packet_rescale_ts)                                                               \
    X(avcodec, av_packet_unref)                                                                    \
    X(avcodec, avcodec_alloc_context3)                                                             \
    X(avcodec, avcodec_find_decoder)                                                               \
    X(avcodec, avcodec_find_encoder)                                                               \
    X(avcodec, avcodec_find_encoder_by_name)                                                       \
    X(avcodec, avcodec_free_context)                                                               \
    X(avcodec, avcodec_get_name)                                                                   \
    X(avcodec, avcodec_open2)                                                                      \
    X(avcodec, avcodec_parameters_from_context)                                                    \
    X(avcodec, avcodec_parameters_to_context)                                                      \
    X(avcodec, avcodec_receive_frame)                                                              \
    X(avcodec, avcodec_receive_packet)                                                             \
    X(avcodec, avcodec_send_frame)                                                                 \
    X(avcodec, avcodec_send_packet)                                                                \
    X(avformat, av_find_best_stream)                                                               \
    X(avformat, av_find_input_format)                                                              \
    X(avformat, av_read_frame)                                                                     \
    X(avformat, av_write_frame)                                                                    \
    X(avformat, av_write_trailer)                                                                  \
    X(avformat, avformat_alloc_context)                                                            \
    X(avformat, avformat_alloc_output_context2)                                                    \
    X(avformat, avformat_close_input)                                                              \
    X(avformat, avformat_find_stream_info)                                                         \
    X(avformat, avformat_free_context)                                                             \
    X(avformat, avformat_new_stream)                                                               \
    X(avformat, avformat_open_input)                                                               \
    X(avformat, avformat_write_header)                                                             \
    X(avformat, avio_alloc_context)                                                                \
    X(avformat, avio_close_dyn_buf)                                                                \
    X(avformat, avio_closep)                                                                       \
    X(avformat, avio_context_free)                                                                 \
    X(avformat, avio_flush)                                                                        \
    X(avformat, avio_open)                                                                         \
    X(avformat, avio_open_dyn_buf)                                                                 \
    X(swresample, swr_alloc_set_opts2)                                                             \
    X(swresample, swr_convert)                                                                     \
    X(swresample, swr_free)                                                                        \
    X(swresample, swr_get_out_samples)                                                             \
    X(swresample, swr_init)                                                                        \
    X(swscale, sws_freeContext)                                                                    \
    X(swscale, sws_getCachedContext)                                                               \
    X(swscale, sws_getContext)                                                                     \
    X(swscale, sws_scale)

namespace nbtv {

struct FfmpegLibrary {
#define NBTV_FFMPEG_ENTRY(library, function) decltype(&::function) function = nullptr;
    NBTV_FFMPEG_FUNCTIONS(NBTV_FFMPEG_ENTRY)
#undef NBTV_FFMPEG_ENTRY
    // Empty once every library is loaded with every entry; else one line naming what is missing.
    std::string loadError;
};

// Loads the libraries once (thread-safe), quietens their logging, and says whether that worked:
// false with the one-line reason in `error`. Every way into FFmpeg asks this first.
bool loadFfmpeg(std::string& error);
// Whether loadFfmpeg has succeeded: what was never loaded holds nothing to free.
bool ffmpegLoaded();
// The entries, loaded on first use; a use without loadFfmpeg's success ends the process with
// the reason on standard error rather than calling through a missing entry.
const FfmpegLibrary& ff();

} // namespace nbtv
