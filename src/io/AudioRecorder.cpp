#include "io/AudioRecorder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "io/FfmpegLibrary.h"

#include "io/AtomicFile.h"
#include "io/FfmpegSupport.h"
#include "io/FrameFile.h"

namespace nbtv {

namespace {

// Samples in a FLAC frame: one hop of the receiver, so a block of 768 is three whole frames.
constexpr int flacFrameSamples = 256;
constexpr int wavHeaderBytes = 44;

std::string systemMessage(int code) {
    return std::error_code(code, std::generic_category()).message();
}

void putLe(std::uint8_t* out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

bool writeAll(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The RIFF and data sizes of a WAV file holding `dataBytes` of samples.
bool writeWavSizes(int fd, std::uint64_t dataBytes) {
    std::uint8_t size[4];
    const auto data = static_cast<std::uint32_t>(std::min<std::uint64_t>(dataBytes, 0xffffffd3u));
    putLe(size, data + 36, 4);
    if (::pwrite(fd, size, 4, 4) != 4) {
        return false;
    }
    putLe(size, data, 4);
    return ::pwrite(fd, size, 4, 40) == 4;
}

} // namespace

const char* audioExtension(AudioFormat format) {
    return format == AudioFormat::Wav ? ".wav" : ".flac";
}

AudioFormat audioFormatOf(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.ends_with(".wav") ? AudioFormat::Wav : AudioFormat::Flac;
}

struct AudioRecorder::Encoder {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    std::vector<std::int16_t> pending; // fewer than a frame's samples, waiting for more
    std::int64_t pts = 0;

    ~Encoder() {
        if (!ffmpegLoaded()) {
            return; // nothing was made
        }
        ff().av_packet_free(&packet);
        ff().av_frame_free(&frame);
        ff().avcodec_free_context(&codec);
        if (format != nullptr) {
            ff().avio_closep(&format->pb);
            ff().avformat_free_context(format);
        }
    }

    bool fail(int code, const char* what, std::string& error) {
        error = std::string("cannot ") + what + " FLAC audio: " + ffmpegMessage(code);
        return false;
    }

    bool open(const std::filesystem::path& file, int sampleRate, std::string& error) {
        if (!loadFfmpeg(error)) {
            return false;
        }
        int code = ff().avformat_alloc_output_context2(&format, nullptr, "flac", file.c_str());
        if (code < 0) {
            return fail(code, "write", error);
        }
        const AVCodec* encoder = ff().avcodec_find_encoder(AV_CODEC_ID_FLAC);
        codec = encoder != nullptr ? ff().avcodec_alloc_context3(encoder) : nullptr;
        if (codec == nullptr) {
            return fail(AVERROR_ENCODER_NOT_FOUND, "encode", error);
        }
        codec->sample_fmt = AV_SAMPLE_FMT_S16;
        codec->sample_rate = sampleRate;
        ff().av_channel_layout_default(&codec->ch_layout, 1);
        codec->frame_size = flacFrameSamples;
        codec->time_base = AVRational{1, sampleRate};
        if ((format->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
            codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        if ((code = ff().avcodec_open2(codec, encoder, nullptr)) < 0) {
            return fail(code, "encode", error);
        }
        stream = ff().avformat_new_stream(format, nullptr);
        if (stream == nullptr) {
            return fail(AVERROR(ENOMEM), "write", error);
        }
        ff().avcodec_parameters_from_context(stream->codecpar, codec);
        stream->time_base = codec->time_base;
        if ((code = ff().avio_open(&format->pb, file.c_str(), AVIO_FLAG_WRITE)) < 0 ||
            (code = ff().avformat_write_header(format, nullptr)) < 0) {
            return fail(code, "write", error);
        }
        ff().avio_flush(format->pb);
        frame = ff().av_frame_alloc();
        packet = ff().av_packet_alloc();
        if (frame == nullptr || packet == nullptr) {
            return fail(AVERROR(ENOMEM), "encode", error);
        }
        frame->format = AV_SAMPLE_FMT_S16;
        frame->sample_rate = sampleRate;
        frame->nb_samples = flacFrameSamples;
        ff().av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout);
        if ((code = ff().av_frame_get_buffer(frame, 0)) < 0) {
            return fail(code, "encode", error);
        }
        return true;
    }

    // Sends one frame of `count` samples (nullptr: the end), then writes what came out.
    bool send(const std::int16_t* samples, int count, std::string& error) {
        int code = 0;
        if (samples != nullptr) {
            if ((code = ff().av_frame_make_writable(frame)) < 0) {
                return fail(code, "encode", error);
            }
            frame->nb_samples = count;
            std::memcpy(frame->data[0], samples,
                        sizeof(std::int16_t) * static_cast<std::size_t>(count));
            frame->pts = pts;
            pts += count;
            code = ff().avcodec_send_frame(codec, frame);
        } else {
            code = ff().avcodec_send_frame(codec, nullptr);
        }
        if (code < 0) {
            return fail(code, "encode", error);
        }
        while ((code = ff().avcodec_receive_packet(codec, packet)) >= 0) {
            ff().av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            code = ff().av_write_frame(format, packet);
            ff().av_packet_unref(packet);
            if (code < 0) {
                return fail(code, "write", error);
            }
        }
        if (code != AVERROR(EAGAIN) && code != AVERROR_EOF) {
            return fail(code, "encode", error);
        }
        return true;
    }

    bool write(std::span<const std::int16_t> samples, std::string& error) {
        pending.insert(pending.end(), samples.begin(), samples.end());
        std::size_t at = 0;
        for (; pending.size() - at >= flacFrameSamples; at += flacFrameSamples) {
            if (!send(pending.data() + at, flacFrameSamples, error)) {
                return false;
            }
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
        ff().avio_flush(format->pb);
        if (format->pb->error < 0) {
            return fail(format->pb->error, "write", error);
        }
        return true;
    }

    void finish() {
        std::string ignored;
        if (!pending.empty()) {
            send(pending.data(), static_cast<int>(pending.size()), ignored);
        }
        send(nullptr, 0, ignored);
        ff().av_write_trailer(format);
    }
};

AudioRecorder::AudioRecorder() = default;

AudioRecorder::~AudioRecorder() {
    stop();
}

bool AudioRecorder::recording() const {
    return flac_ != nullptr || wavFd_ >= 0;
}

bool AudioRecorder::start(const std::string& prefix, AudioFormat format, int sampleRate,
                          std::string& error, const std::filesystem::path& folder) {
    stop();
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::string name;
    const int fd = createRecordingFile(prefix, local, audioExtension(format), folder,
                                       "audio recording", name, error);
    if (fd < 0) {
        return false;
    }
    name_ = name;
    return begin(fd, folder / name, format, sampleRate, error);
}

bool AudioRecorder::startFile(const std::filesystem::path& file, AudioFormat format, int sampleRate,
                              std::string& error) {
    stop();
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int code = errno;
        error = "cannot create audio recording " + quotedPath(file.string()) + ": " +
                (code == EEXIST ? std::string("it exists already") : systemMessage(code));
        return false;
    }
    name_ = file.string();
    return begin(fd, file, format, sampleRate, error);
}

bool AudioRecorder::begin(int fd, const std::filesystem::path& file, AudioFormat format,
                          int sampleRate, std::string& error) {
    written_ = 0;
    if (format == AudioFormat::Wav) {
        std::uint8_t header[wavHeaderBytes] = {'R', 'I', 'F', 'F', 0,  0, 0, 0, 'W', 'A', 'V', 'E',
                                               'f', 'm', 't', ' ', 16, 0, 0, 0, 1,   0,   1,   0};
        putLe(header + 24, static_cast<std::uint32_t>(sampleRate), 4);
        putLe(header + 28, static_cast<std::uint32_t>(sampleRate) * 2, 4);
        putLe(header + 32, 2, 2);
        putLe(header + 34, 16, 2);
        std::memcpy(header + 36, "data", 4);
        putLe(header + 4, 36, 4);
        if (!writeAll(fd, header, sizeof header)) {
            const int code = errno;
            ::close(fd);
            error = "cannot write audio recording " + quotedPath(file.string()) + ": " +
                    systemMessage(code);
            return false;
        }
        wavFd_ = fd;
        return true;
    }
    ::close(fd); // the muxer opens the name claimed for it
    auto encoder = std::make_unique<Encoder>();
    if (!encoder->open(file, sampleRate, error)) {
        error += " (" + quotedPath(file.string()) + ")";
        return false;
    }
    flac_ = std::move(encoder);
    return true;
}

bool AudioRecorder::writeWav(std::span<const std::int16_t> samples, std::string& error) {
    std::vector<std::uint8_t> bytes(samples.size() * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        putLe(&bytes[2 * i], static_cast<std::uint16_t>(samples[i]), 2);
    }
    if (!writeAll(wavFd_, bytes.data(), bytes.size()) ||
        !writeWavSizes(wavFd_, 2 * (written_ + samples.size()))) {
        error = "cannot write audio recording " + quotedPath(name_) + ": " + systemMessage(errno);
        return false;
    }
    return true;
}

bool AudioRecorder::write(std::span<const std::int16_t> samples, std::string& error) {
    if (!recording()) {
        return false;
    }
    const bool ok = flac_ ? flac_->write(samples, error) : writeWav(samples, error);
    if (!ok) {
        stop();
        return false;
    }
    written_ += samples.size();
    return true;
}

void AudioRecorder::stop() {
    if (flac_) {
        flac_->finish();
        flac_.reset();
    }
    if (wavFd_ >= 0) {
        ::close(wavFd_);
        wavFd_ = -1;
    }
}

} // namespace nbtv
