#include "io/AudioFile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "io/FfmpegLibrary.h"

#include "io/AtomicFile.h"
#include "io/FfmpegSupport.h"
#include "io/InputStream.h"
#include "io/WavReader.h"

namespace nbtv {

namespace {

void putLe16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v & 0xff);
    p[1] = static_cast<std::uint8_t>((v >> 8) & 0xff);
}

void putLe32(std::uint8_t* p, std::uint32_t v) {
    putLe16(p, v & 0xffff);
    putLe16(p + 2, v >> 16);
}

// Where a WAV file's samples begin and how many bytes its header gives them, read from the
// chunks at the start of the input. Nothing for other files, and for a header that gives no size
// (0 or all ones: a stream written before its length was known).
struct WavData {
    std::uint64_t offset = 0;
    std::uint64_t declaredBytes = 0;
};

std::optional<WavData> wavData(InputStream& input) {
    std::uint8_t header[12];
    if (input.peek(0, header, sizeof header) != sizeof header ||
        std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0) {
        return std::nullopt;
    }
    const auto le32 = [](const std::uint8_t* p) {
        return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
               std::uint32_t{p[3]} << 24;
    };
    std::uint64_t at = 12;
    std::uint8_t chunk[8];
    // A stream keeps only its first bytes: a data chunk beyond them goes unchecked.
    while (input.peek(at, chunk, sizeof chunk) == sizeof chunk) {
        const std::uint32_t size = le32(chunk + 4);
        at += 8;
        if (std::memcmp(chunk, "data", 4) == 0) {
            if (size == 0 || size == 0xffffffffu) {
                return std::nullopt;
            }
            return WavData{at, size};
        }
        at += size + (size & 1u); // chunks are padded to an even length
    }
    return std::nullopt;
}

// a * b / c, to the nearest, halves up: av_rescale() on non-negative values.
std::uint64_t rescaleRounded(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
    __extension__ using Wide = unsigned __int128;
    const Wide q = (Wide{a} * b + c / 2) / c;
    return q > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                         : static_cast<std::uint64_t>(q);
}

} // namespace

struct AudioFileReader::State {
    std::unique_ptr<InputStream> ownInput;
    InputStream* input = nullptr;
    std::string name; // the input as messages name it
    std::string error;
    int outRate = 0;
    AudioDescription description;
    std::optional<std::uint64_t> length;
    std::optional<WavData> wav;
    std::optional<WavShortfall> shortfall;

    // A plain WAV file, read here rather than by FFmpeg (io/WavReader.h).
    std::optional<WavReader> native;

    std::unique_ptr<MediaInput> media;
    AVFormatContext* format = nullptr;
    AVCodecContext* decoder = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int stream = -1;

    // The resampler is built from the first decoded frame and rebuilt if the decoded format
    // changes mid-stream, because the container's parameters can be incomplete or stale.
    SwrContext* resampler = nullptr;
    AVChannelLayout inLayout{};
    int inFormat = -1;
    int inRate = 0;

    std::vector<std::int16_t> pending; // converted samples not yet handed out
    std::size_t pendingPos = 0;

    bool demuxDone = false;   // the decoder has been sent its end-of-stream
    bool decoderDone = false; // the decoder has given its last frame
    bool finished = false;    // the resampler is flushed too: nothing more will come

    ~State() { close(); }

    void close() {
        if (ffmpegLoaded()) { // else none of these was ever made
            ff().swr_free(&resampler);
            ff().av_channel_layout_uninit(&inLayout);
            ff().av_frame_free(&frame);
            ff().av_packet_free(&packet);
            ff().avcodec_free_context(&decoder);
        }
        native.reset();
        media.reset();
        format = nullptr;
        ownInput.reset();
        input = nullptr;
        pending.clear();
        pendingPos = 0;
        inFormat = -1;
        inRate = 0;
        stream = -1;
        demuxDone = decoderDone = finished = false;
        description = {};
        length.reset();
        wav.reset();
        shortfall.reset();
    }

    bool fail(const std::string& message) {
        error = message;
        finished = true;
        return false;
    }

    bool open(InputStream& in, std::unique_ptr<MediaInput> opened, int sampleRate);
    void openNative(const WavLayout& layout);
    void describe();
    void noteShortfall();
    void setDuration(std::optional<std::int64_t> microseconds);
    void noteEnd();
    bool refill();
    bool sendNextPacket();
    bool convertFrame();
    bool configureResampler();
    bool drainResampler();
    bool appendConverted(const std::uint8_t** in, int inCount);
};

namespace {
constexpr int maxInputRate = 768000;
} // namespace

bool AudioFileReader::State::open(InputStream& in, std::unique_ptr<MediaInput> opened,
                                  int sampleRate) {
    input = &in;
    name = in.name();
    error.clear();
    if (sampleRate <= 0 && sampleRate != inputRate) {
        return fail("cannot read " + name + " at " + std::to_string(sampleRate) +
                    " samples a second");
    }
    wav = wavData(in);
    if (!opened) {
        if (const auto layout = nativeWavLayout(in, sampleRate)) {
            openNative(*layout);
            return true;
        }
    }
    if (opened) {
        media = std::move(opened);
    } else {
        media = std::make_unique<MediaInput>();
        std::string message;
        if (!media->open(in, "audio", message)) {
            return fail(message);
        }
    }
    format = media->format();
    const AVCodec* codec = nullptr;
    int rc = ff().av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (rc == AVERROR_DECODER_NOT_FOUND) {
        return fail("no decoder for the audio of " + name);
    }
    if (rc < 0 || codec == nullptr) {
        return fail(name + " has no audio stream");
    }
    stream = rc;
    const AVStream* st = format->streams[stream];
    // The input's own rate, where asked for: only a rate a sound card could have.
    outRate = sampleRate;
    if (outRate == inputRate) {
        outRate = st->codecpar->sample_rate;
        if (outRate <= 0 || outRate > maxInputRate) {
            return fail("cannot decode the audio of " + name + ": a rate of " +
                        std::to_string(outRate) + " Hz is beyond any sound card");
        }
    }
    decoder = ff().avcodec_alloc_context3(codec);
    packet = ff().av_packet_alloc();
    frame = ff().av_frame_alloc();
    if (decoder == nullptr || packet == nullptr || frame == nullptr) {
        return fail("out of memory opening " + name);
    }
    rc = ff().avcodec_parameters_to_context(decoder, st->codecpar);
    if (rc >= 0) {
        decoder->pkt_timebase = st->time_base;
        rc = ff().avcodec_open2(decoder, codec, nullptr);
    }
    if (rc < 0) {
        return fail("cannot decode the audio of " + name + ": " + ffmpegMessage(rc));
    }
    describe();
    return true;
}

void AudioFileReader::State::describe() {
    const AVStream* st = format->streams[stream];
    const AVCodecParameters* par = st->codecpar;
    description.container = format->iformat->name;
    const char* codecName = ff().avcodec_get_name(par->codec_id);
    description.codec = codecName != nullptr ? codecName : "unknown";
    description.sampleRate = par->sample_rate;
    description.channels = par->ch_layout.nb_channels;
    noteShortfall();
    std::optional<std::int64_t> microseconds;
    if (shortfall && par->block_align > 0 && par->sample_rate > 0) {
        // What the file holds, not what its header promised.
        const auto frames = static_cast<std::int64_t>(shortfall->presentBytes /
                                                      static_cast<std::uint64_t>(par->block_align));
        microseconds = ff().av_rescale(frames, AV_TIME_BASE, par->sample_rate);
    } else if (st->duration > 0) {
        microseconds = ff().av_rescale_q(st->duration, st->time_base, AVRational{1, AV_TIME_BASE});
    } else if (format->duration > 0) {
        microseconds = format->duration;
    }
    setDuration(microseconds);
}

void AudioFileReader::State::noteShortfall() {
    if (wav && input->size()) {
        const std::uint64_t size = *input->size();
        const std::uint64_t present = size > wav->offset ? size - wav->offset : 0;
        if (present < wav->declaredBytes) {
            shortfall = WavShortfall{wav->declaredBytes, present};
        }
    }
}

void AudioFileReader::State::setDuration(std::optional<std::int64_t> microseconds) {
    if (microseconds) {
        description.seconds = static_cast<double>(*microseconds) / AV_TIME_BASE;
        length = rescaleRounded(static_cast<std::uint64_t>(*microseconds),
                                static_cast<std::uint64_t>(outRate), AV_TIME_BASE);
    }
}

// The description FFmpeg's WAV demuxer would give, worked out the way it works it out.
void AudioFileReader::State::openNative(const WavLayout& layout) {
    native.emplace(layout);
    outRate = layout.rate;
    description.container = "wav";
    description.codec = layout.codec;
    description.sampleRate = layout.rate;
    description.channels = layout.channels;
    noteShortfall();
    const auto rate = static_cast<std::uint64_t>(layout.rate);
    const auto align = static_cast<std::uint64_t>(layout.blockAlign);
    std::optional<std::uint64_t> frames;
    if (shortfall) {
        frames = shortfall->presentBytes / align;
    } else if (const auto size = input->size()) {
        const std::uint64_t end = layout.dataOffset + layout.dataSize.value_or(0);
        if (layout.dataSize && end <= *size) {
            frames = *layout.dataSize / align;
        } else if (layout.factFrames && *layout.factFrames > 0) {
            frames = *layout.factFrames;
        } else if (layout.byteRate > 0 && *size > layout.dataOffset) {
            // From the bit rate the header gives, as for a file of unknown length.
            frames = rescaleRounded(8 * (*size - layout.dataOffset), rate,
                                    8 * std::uint64_t{layout.byteRate});
        }
    } else if (layout.factFrames && *layout.factFrames > 0) {
        frames = *layout.factFrames;
    }
    if (frames && *frames > 0) {
        setDuration(static_cast<std::int64_t>(rescaleRounded(*frames, AV_TIME_BASE, rate)));
    }
}

// At the end of a stream the bytes it held are known: a WAV header's promise can be checked.
void AudioFileReader::State::noteEnd() {
    if (wav && !shortfall && input->ended()) {
        const std::uint64_t through = input->furthest();
        const std::uint64_t present = through > wav->offset ? through - wav->offset : 0;
        if (present < wav->declaredBytes) {
            shortfall = WavShortfall{wav->declaredBytes, present};
        }
    }
}

// Produces at least one more converted sample into `pending`, or finishes the stream.
bool AudioFileReader::State::refill() {
    pending.clear();
    pendingPos = 0;
    if (native) {
        std::string failure;
        if (!native->next(*input, pending, failure)) {
            finished = true;
            if (!failure.empty()) {
                return fail(failure); // FFmpeg too stops before it sees the end
            }
            noteEnd();
        }
        return true;
    }
    while (pending.empty() && !finished) {
        if (decoderDone) {
            if (!drainResampler()) {
                return false;
            }
            finished = true;
            break;
        }
        const int rc = ff().avcodec_receive_frame(decoder, frame);
        if (rc == 0) {
            const bool ok = convertFrame();
            ff().av_frame_unref(frame);
            if (!ok) {
                return false;
            }
        } else if (rc == AVERROR(EAGAIN)) {
            if (!sendNextPacket()) {
                return false;
            }
        } else if (rc == AVERROR_EOF) {
            decoderDone = true;
        } else {
            return fail("cannot decode the audio of " + name + ": " + ffmpegMessage(rc));
        }
    }
    return true;
}

bool AudioFileReader::State::sendNextPacket() {
    if (demuxDone) {
        // A decoder that asks for input after its end-of-stream has nothing more to give.
        decoderDone = true;
        return true;
    }
    for (;;) {
        int rc = ff().av_read_frame(format, packet);
        if (rc == AVERROR_EOF) {
            demuxDone = true;
            noteEnd();
            rc = ff().avcodec_send_packet(decoder, nullptr);
            if (rc < 0 && rc != AVERROR_EOF) {
                return fail("cannot decode the audio of " + name + ": " + ffmpegMessage(rc));
            }
            return true;
        }
        if (rc < 0) {
            return fail("cannot read " + name + ": " + ffmpegMessage(rc));
        }
        if (packet->stream_index != stream) {
            ff().av_packet_unref(packet);
            continue;
        }
        rc = ff().avcodec_send_packet(decoder, packet);
        ff().av_packet_unref(packet);
        if (rc < 0) {
            return fail("cannot decode the audio of " + name + ": " + ffmpegMessage(rc));
        }
        return true;
    }
}

bool AudioFileReader::State::configureResampler() {
    AVChannelLayout layout{};
    // Some containers (plain PCM WAV, raw streams) give only a channel count.
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        ff().av_channel_layout_default(&layout, frame->ch_layout.nb_channels);
    } else if (ff().av_channel_layout_copy(&layout, &frame->ch_layout) < 0) {
        return fail("out of memory reading " + name);
    }
    const bool same = resampler != nullptr && frame->format == inFormat &&
                      frame->sample_rate == inRate &&
                      ff().av_channel_layout_compare(&layout, &inLayout) == 0;
    if (same) {
        ff().av_channel_layout_uninit(&layout);
        return true;
    }
    if (resampler != nullptr && !drainResampler()) {
        ff().av_channel_layout_uninit(&layout);
        return false;
    }
    ff().swr_free(&resampler);
    ff().av_channel_layout_uninit(&inLayout);
    inLayout = layout;
    inFormat = frame->format;
    inRate = frame->sample_rate;

    AVChannelLayout mono{};
    ff().av_channel_layout_default(&mono, 1);
    int rc = ff().swr_alloc_set_opts2(&resampler, &mono, AV_SAMPLE_FMT_S16, outRate, &inLayout,
                                      static_cast<AVSampleFormat>(inFormat), inRate, 0, nullptr);
    if (rc >= 0) {
        rc = ff().swr_init(resampler);
    }
    if (rc < 0) {
        ff().swr_free(&resampler);
        return fail("cannot convert the audio of " + name + ": " + ffmpegMessage(rc));
    }
    return true;
}

bool AudioFileReader::State::convertFrame() {
    if (frame->nb_samples <= 0) {
        return true;
    }
    if (frame->sample_rate <= 0 || frame->ch_layout.nb_channels <= 0) {
        return fail("cannot decode the audio of " + name + ": no rate or channels");
    }
    // A damaged header can claim any rate; resampling from gigahertz would ask for gigabytes.
    if (frame->sample_rate > maxInputRate) {
        return fail("cannot decode the audio of " + name + ": a rate of " +
                    std::to_string(frame->sample_rate) + " Hz is beyond any sound card");
    }
    if (!configureResampler()) {
        return false;
    }
    return appendConverted(const_cast<const std::uint8_t**>(frame->extended_data),
                           frame->nb_samples);
}

// Hands the resampler its end of input so the samples it holds back come out too.
bool AudioFileReader::State::drainResampler() {
    if (resampler == nullptr) {
        return true;
    }
    std::size_t before;
    do {
        before = pending.size();
        if (!appendConverted(nullptr, 0)) {
            return false;
        }
    } while (pending.size() > before);
    return true;
}

bool AudioFileReader::State::appendConverted(const std::uint8_t** in, int inCount) {
    // swr_get_out_samples gives an upper bound; the margin covers a drain it reports as empty.
    const int room = std::max(ff().swr_get_out_samples(resampler, inCount), 0) + 16;
    const std::size_t at = pending.size();
    pending.resize(at + static_cast<std::size_t>(room));
    std::uint8_t* out = reinterpret_cast<std::uint8_t*>(pending.data() + at);
    const int got = ff().swr_convert(resampler, &out, room, in, inCount);
    if (got < 0) {
        pending.resize(at);
        return fail("cannot convert the audio of " + name + ": " + ffmpegMessage(got));
    }
    pending.resize(at + static_cast<std::size_t>(got));
    return true;
}

AudioFileReader::AudioFileReader() : state_(std::make_unique<State>()) {}

AudioFileReader::~AudioFileReader() = default;

bool AudioFileReader::open(const std::string& path, int sampleRate) {
    State& s = *state_;
    s.close();
    s.ownInput = std::make_unique<InputStream>();
    if (!s.ownInput->open(path, s.error)) {
        s.name = s.ownInput->name();
        s.finished = true;
        return false;
    }
    return s.open(*s.ownInput, nullptr, sampleRate);
}

bool AudioFileReader::open(InputStream& input, int sampleRate) {
    state_->close();
    return state_->open(input, nullptr, sampleRate);
}

bool AudioFileReader::open(InputStream& input, std::unique_ptr<MediaInput> media, int sampleRate) {
    state_->close();
    return state_->open(input, std::move(media), sampleRate);
}

std::size_t AudioFileReader::read(std::int16_t* out, std::size_t count) {
    State& s = *state_;
    std::size_t written = 0;
    while (written < count) {
        if (s.pendingPos == s.pending.size()) {
            if (s.finished || (s.decoder == nullptr && !s.native) || !s.refill() ||
                s.pending.empty()) {
                break;
            }
        }
        const std::size_t n = std::min(count - written, s.pending.size() - s.pendingPos);
        std::copy_n(s.pending.begin() + static_cast<std::ptrdiff_t>(s.pendingPos), n,
                    out + written);
        s.pendingPos += n;
        written += n;
    }
    return written;
}

const std::string& AudioFileReader::error() const {
    return state_->error;
}

int AudioFileReader::rate() const {
    return state_->outRate;
}

std::optional<std::uint64_t> AudioFileReader::length() const {
    return state_->length;
}

const AudioDescription& AudioFileReader::description() const {
    return state_->description;
}

std::optional<WavShortfall> AudioFileReader::shortfall() const {
    return state_->shortfall;
}

const std::string& AudioFileReader::name() const {
    return state_->name;
}

bool readAudioFile(const std::string& path, int sampleRate, std::vector<std::int16_t>& samples,
                   std::string& error) {
    samples.clear();
    AudioFileReader reader;
    if (!reader.open(path, sampleRate)) {
        error = reader.error();
        return false;
    }
    constexpr std::size_t chunk = 1 << 16;
    for (;;) {
        const std::size_t at = samples.size();
        samples.resize(at + chunk);
        const std::size_t got = reader.read(samples.data() + at, chunk);
        samples.resize(at + got);
        if (got < chunk) {
            break;
        }
    }
    if (!reader.error().empty()) {
        error = reader.error();
        return false;
    }
    return true;
}

bool writeWav(const ByteSink& sink, const std::string& name, int sampleRate, std::uint64_t count,
              const SamplePieces& pieces, std::string& error) {
    constexpr std::uint32_t headerSize = 44;
    if (sampleRate <= 0 || sampleRate > std::numeric_limits<std::int32_t>::max() / 2) {
        error = "cannot write " + name + ": invalid sample rate " + std::to_string(sampleRate);
        return false;
    }
    // RIFF sizes are 32-bit and count everything after the first 8 bytes.
    if (count > (std::numeric_limits<std::uint32_t>::max() - headerSize) / 2) {
        error = "cannot write " + name + ": too long for a WAV file";
        return false;
    }
    const auto dataSize = static_cast<std::uint32_t>(count * 2);
    const auto rate = static_cast<std::uint32_t>(sampleRate);

    std::array<std::uint8_t, headerSize> header{};
    std::memcpy(&header[0], "RIFF", 4);
    putLe32(&header[4], headerSize - 8 + dataSize);
    std::memcpy(&header[8], "WAVE", 4);
    std::memcpy(&header[12], "fmt ", 4);
    putLe32(&header[16], 16); // size of the format chunk
    putLe16(&header[20], 1);  // integer PCM
    putLe16(&header[22], 1);  // channels
    putLe32(&header[24], rate);
    putLe32(&header[28], rate * 2); // bytes a second
    putLe16(&header[32], 2);        // bytes a sample frame
    putLe16(&header[34], 16);       // bits a sample
    std::memcpy(&header[36], "data", 4);
    putLe32(&header[40], dataSize);
    if (!sink(header.data(), header.size(), error)) {
        return false;
    }
    // Little-endian on every host, converted a piece at a time to bound the extra memory.
    std::vector<std::int16_t> samples;
    std::vector<std::uint8_t> bytes;
    std::uint64_t written = 0;
    while (pieces(samples)) {
        if (samples.size() > count - written) {
            break;
        }
        bytes.resize(samples.size() * 2);
        for (std::size_t k = 0; k < samples.size(); ++k) {
            putLe16(&bytes[2 * k], static_cast<std::uint16_t>(samples[k]));
        }
        if (!sink(bytes.data(), bytes.size(), error)) {
            return false;
        }
        written += samples.size();
        samples.clear();
    }
    if (written != count) {
        error = "cannot write " + name + ": the samples do not match the length announced";
        return false;
    }
    return true;
}

bool writeWavFile(const std::string& path, int sampleRate, std::uint64_t count,
                  const SamplePieces& pieces, std::string& error, Replace replace) {
    AtomicFile file(path, replace);
    // Made when its header comes, after the sample rate and the length have been checked.
    bool created = false;
    const ByteSink sink = [&](const void* data, std::size_t size, std::string& e) {
        if (!created) {
            created = true;
            if (!file.create(e)) {
                return false;
            }
        }
        return file.write(data, size, e);
    };
    return writeWav(sink, quotedPath(path), sampleRate, count, pieces, error) && file.commit(error);
}

bool writeWavFile(const std::string& path, int sampleRate, const std::vector<std::int16_t>& samples,
                  std::string& error, Replace replace) {
    constexpr std::size_t piece = 1 << 15;
    std::size_t at = 0;
    const SamplePieces pieces = [&](std::vector<std::int16_t>& out) {
        if (at == samples.size()) {
            return false;
        }
        const std::size_t n = std::min(piece, samples.size() - at);
        out.insert(out.end(), samples.begin() + static_cast<std::ptrdiff_t>(at),
                   samples.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        return true;
    };
    return writeWavFile(path, sampleRate, samples.size(), pieces, error, replace);
}

} // namespace nbtv

namespace nbtv {

RateConverter::RateConverter(int fromRate, int toRate) {
    std::string error;
    if (!loadFfmpeg(error)) {
        return; // convert() then says it cannot work
    }
    AVChannelLayout mono{};
    ff().av_channel_layout_default(&mono, 1);
    if (ff().swr_alloc_set_opts2(&context_, &mono, AV_SAMPLE_FMT_S16, toRate, &mono,
                                 AV_SAMPLE_FMT_S16, fromRate, 0, nullptr) < 0 ||
        ff().swr_init(context_) < 0) {
        ff().swr_free(&context_);
    }
}

RateConverter::~RateConverter() {
    if (context_ != nullptr) {
        ff().swr_free(&context_);
    }
}

bool RateConverter::convert(const std::int16_t* in, std::size_t count,
                            std::vector<std::int16_t>& out) {
    if (context_ == nullptr || count > static_cast<std::size_t>(INT32_MAX / 2)) {
        return false;
    }
    const auto inCount = static_cast<int>(count);
    const int room = std::max(ff().swr_get_out_samples(context_, inCount), 0) + 16;
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(room));
    auto* target = reinterpret_cast<std::uint8_t*>(out.data() + at);
    const auto* source = reinterpret_cast<const std::uint8_t*>(in);
    const int got =
        ff().swr_convert(context_, &target, room, in == nullptr ? nullptr : &source, inCount);
    out.resize(at + static_cast<std::size_t>(std::max(got, 0)));
    return got >= 0;
}

bool RateConverter::finish(std::vector<std::int16_t>& out) {
    std::size_t before = 0;
    do {
        before = out.size();
        if (!convert(nullptr, 0, out)) {
            return false;
        }
    } while (out.size() > before);
    return true;
}

} // namespace nbtv
