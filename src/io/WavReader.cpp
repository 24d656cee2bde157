#include "io/WavReader.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/Conversions.h"
#include "io/InputStream.h"

namespace nbtv {

namespace {

std::uint32_t le16(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8;
}

std::uint32_t le32(const std::uint8_t* p) {
    return le16(p) | le16(p + 2) << 16;
}

// The tail every WAVE_FORMAT_EXTENSIBLE subformat shares after its first two bytes.
constexpr std::uint8_t guidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                       0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};

constexpr std::uint32_t tagPcm = 1;
constexpr std::uint32_t tagFloat = 3;
constexpr std::uint32_t tagExtensible = 0xfffe;
constexpr std::uint32_t speakerFrontLeft = 0x1;
constexpr std::uint32_t speakerFrontRight = 0x2;
constexpr std::uint32_t speakerFrontCentre = 0x4;

constexpr int maxRate = 768000; // as for FFmpeg's road (AudioFile.cpp)

struct Format {
    WavSample sample;
    const char* codec;
};

std::optional<Format> sampleFormat(std::uint32_t tag, std::uint32_t bits) {
    if (tag == tagPcm) {
        switch (bits) {
        case 8:
            return Format{WavSample::U8, "pcm_u8"};
        case 16:
            return Format{WavSample::S16, "pcm_s16le"};
        case 24:
            return Format{WavSample::S24, "pcm_s24le"};
        case 32:
            return Format{WavSample::S32, "pcm_s32le"};
        default:
            return std::nullopt;
        }
    }
    if (tag == tagFloat) {
        switch (bits) {
        case 32:
            return Format{WavSample::F32, "pcm_f32le"};
        case 64:
            return Format{WavSample::F64, "pcm_f64le"};
        default:
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// The 'fmt ' chunk's body into `layout`; false for anything but the plain cases.
bool readFormat(const std::uint8_t* f, std::uint32_t size, WavLayout& layout) {
    if (size < 16) {
        return false;
    }
    std::uint32_t tag = le16(f);
    const std::uint32_t channels = le16(f + 2);
    const std::uint32_t rate = le32(f + 4);
    layout.byteRate = le32(f + 8);
    const std::uint32_t blockAlign = le16(f + 12);
    const std::uint32_t bits = le16(f + 14);
    if (tag == tagExtensible) {
        if (size < 40 || le16(f + 16) < 22 || std::memcmp(f + 26, guidTail, sizeof guidTail) != 0) {
            return false;
        }
        const std::uint32_t validBits = le16(f + 18);
        const std::uint32_t mask = le32(f + 20);
        const std::uint32_t usual =
            channels == 1 ? speakerFrontCentre : speakerFrontLeft | speakerFrontRight;
        if ((validBits != 0 && validBits != bits) || (mask != 0 && mask != usual)) {
            return false;
        }
        tag = le16(f + 24);
    }
    const auto format = sampleFormat(tag, bits);
    if (!format || (channels != 1 && channels != 2) || rate == 0 || rate > maxRate ||
        blockAlign != channels * bits / 8) {
        return false;
    }
    layout.sample = format->sample;
    layout.codec = format->codec;
    layout.channels = static_cast<int>(channels);
    layout.rate = static_cast<int>(rate);
    layout.blockAlign = static_cast<int>(blockAlign);
    return true;
}

// FFmpeg's WAV demuxer hands the decoder packets of this many bytes from the start of the
// samples; at the end of the input, a last packet shorter than a sample frame is an error.
std::uint64_t packetBytes(int blockAlign) {
    constexpr std::uint64_t most = 4096;
    const auto align = static_cast<std::uint64_t>(blockAlign);
    return std::max(most, align) / align * align;
}

// The conversions of libswresample without dithering, the same arithmetic in the same order.
std::int16_t clip16(std::int64_t v) {
    return static_cast<std::int16_t>(std::clamp<std::int64_t>(v, -32768, 32767));
}

// Floating point to 16 bits, one sample at a time: the nearest long (the smallest long for
// not-a-number and beyond a long), kept to its low 32 bits as an int, clipped.
std::int16_t roundClip(double v) {
    constexpr double beyondLong = 9223372036854775808.0; // 2^63
    if (!(v > -beyondLong && v < beyondLong)) {
        return 0; // the smallest long's low 32 bits
    }
    const double whole = std::nearbyint(v); // halves to even, as lrint in the default mode
    // The low 32 bits of that long, as a signed int: exact in a double.
    constexpr double twoTo32 = 4294967296.0;
    double low = std::fmod(whole, twoTo32);
    if (low >= twoTo32 / 2) {
        low -= twoTo32;
    } else if (low < -twoTo32 / 2) {
        low += twoTo32;
    }
    return clip16(roundHalfEven(low));
}

// The same sixteen at a time in vector registers: the nearest int32_t, its smallest value for
// not-a-number and beyond its range, then saturated to 16 bits.
std::int16_t roundClipVector(float v) {
    constexpr double beyondInt = 2147483648.0; // 2^31
    const double d = static_cast<double>(v);
    if (!(d >= -beyondInt && d < beyondInt)) {
        return -32768;
    }
    return clip16(roundHalfEven(d));
}

// swresample converts the frames of one packet by sixteen in vector registers and the last
// few one at a time; the two differ only far beyond full scale.
void floatsToS16(const float* in, std::int16_t* out, std::size_t count) {
    const std::size_t vectored = count & ~std::size_t{15};
    for (std::size_t i = 0; i < vectored; ++i) {
        out[i] = roundClipVector(in[i]);
    }
    for (std::size_t i = vectored; i < count; ++i) {
        out[i] = roundClip(static_cast<double>(in[i]));
    }
}

std::int32_t s24(const std::uint8_t* p) {
    // The decoder's 32-bit sample: the 24 bits at the top.
    return static_cast<std::int32_t>(le16(p) << 8 | std::uint32_t{p[2]} << 24);
}

std::int32_t s32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(le32(p));
}

float f32(const std::uint8_t* p) {
    const std::uint32_t bits = le32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

double f64(const std::uint8_t* p) {
    const std::uint64_t bits = std::uint64_t{le32(p)} | std::uint64_t{le32(p + 4)} << 32;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

std::int32_t u8ToS16(std::uint8_t v) {
    return (std::int32_t{v} - 0x80) * 256;
}

std::int32_t s16(const std::uint8_t* p) {
    return static_cast<std::int16_t>(le16(p));
}

// 32-bit integers reach the mixer as floats.
float s32ToFloat(std::int32_t v) {
    return static_cast<float>(v) * (1.0F / 2147483648.0F);
}

} // namespace

std::optional<WavLayout> nativeWavLayout(InputStream& input, int sampleRate) {
    std::uint8_t header[12];
    if (input.peek(0, header, sizeof header) != sizeof header ||
        std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0) {
        return std::nullopt;
    }
    WavLayout layout;
    bool haveFormat = false;
    std::uint64_t at = 12;
    std::uint8_t chunk[8];
    for (;;) {
        if (input.peek(at, chunk, sizeof chunk) != sizeof chunk) {
            return std::nullopt; // no samples, or a header beyond a stream's kept bytes
        }
        const std::uint32_t size = le32(chunk + 4);
        at += 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            std::uint8_t body[40];
            const std::size_t want = std::min<std::size_t>(size, sizeof body);
            if (haveFormat || input.peek(at, body, want) != want ||
                !readFormat(body, size, layout)) {
                return std::nullopt;
            }
            haveFormat = true;
        } else if (std::memcmp(chunk, "fact", 4) == 0) {
            std::uint8_t count[4];
            if (size < 4 || input.peek(at, count, sizeof count) != sizeof count) {
                return std::nullopt;
            }
            layout.factFrames = le32(count);
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                return std::nullopt;
            }
            layout.dataOffset = at;
            if (size != 0 && size != 0xffffffffu) {
                layout.dataSize = size;
            }
            break;
        }
        at += std::uint64_t{size} + (size & 1u); // chunks are padded to an even length
    }
    if (sampleRate >= 0 && sampleRate != layout.rate) {
        return std::nullopt; // resampled by FFmpeg
    }
    const auto align = static_cast<std::uint64_t>(layout.blockAlign);
    if (!input.seekable()) {
        // A stream is read on as FFmpeg would: the chunks after the samples are met in order.
        // A size that ends inside a sample frame or at an odd byte is left to FFmpeg.
        if (layout.dataSize && (*layout.dataSize % align != 0 || (*layout.dataSize & 1u) != 0)) {
            return std::nullopt;
        }
        return layout;
    }
    // A file: FFmpeg reads its chunks after the samples at once, and may take a later data
    // chunk, or meet a cut sample frame, in ways not followed here.
    const std::uint64_t fileSize = *input.size();
    const std::uint64_t present = fileSize - std::min(fileSize, layout.dataOffset);
    if (!layout.dataSize || *layout.dataSize >= present) {
        const std::uint64_t held =
            layout.dataSize ? std::min<std::uint64_t>(*layout.dataSize, present) : present;
        if (held % align != 0) {
            return std::nullopt;
        }
        return layout;
    }
    const std::uint32_t size = *layout.dataSize;
    if (size % align != 0 || (size & 1u) != 0) {
        return std::nullopt;
    }
    at = layout.dataOffset + size;
    while (at < fileSize) {
        if (input.peek(at, chunk, sizeof chunk) != sizeof chunk ||
            std::memcmp(chunk, "data", 4) == 0 || std::memcmp(chunk, "fmt ", 4) == 0) {
            return std::nullopt;
        }
        const std::uint32_t next = le32(chunk + 4);
        at += 8 + std::uint64_t{next} + (next & 1u);
    }
    return layout;
}

bool WavReader::startChunk(InputStream& input, std::string& error) {
    if (!started_) {
        started_ = true;
        if (!input.seek(layout_.dataOffset)) {
            error = "cannot read " + input.name() + ": it cannot be read from its samples on";
            return false;
        }
        chunkLeft_ = layout_.dataSize;
        chunkRead_ = 0;
        return true;
    }
    // The end of a data chunk with a size: FFmpeg looks on for another one, skipping whatever
    // else comes, and ends where the input does.
    for (;;) {
        std::uint8_t chunk[8];
        std::size_t have = 0;
        while (have < sizeof chunk) {
            const std::ptrdiff_t got = input.read(chunk + have, sizeof chunk - have);
            if (got < 0) {
                error = "cannot read " + input.name() + ": " + std::strerror(errno);
                return false;
            }
            if (got == 0) {
                ended_ = true;
                return true;
            }
            have += static_cast<std::size_t>(got);
        }
        const std::uint32_t size = le32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            chunkLeft_ = size;
            chunkRead_ = 0;
            return true;
        }
        const std::uint64_t skip = std::uint64_t{size} + (size & 1u);
        if (!input.seek(input.position() + skip)) {
            ended_ = true;
            return true;
        }
    }
}

bool WavReader::next(InputStream& input, std::vector<std::int16_t>& out, std::string& error) {
    const auto align = static_cast<std::size_t>(layout_.blockAlign);
    if (!failure_.empty()) {
        error = failure_;
        return false;
    }
    while (!ended_) {
        if (!started_ || (chunkLeft_ && *chunkLeft_ == 0)) {
            if (!startChunk(input, error)) {
                ended_ = true;
                return false;
            }
            continue;
        }
        // One of FFmpeg's packets at a time: its conversions work a packet at a time.
        auto want = static_cast<std::size_t>(packetBytes(layout_.blockAlign));
        if (chunkLeft_) {
            want = static_cast<std::size_t>(std::min<std::uint64_t>(want, *chunkLeft_));
        }
        bytes_.resize(want);
        std::size_t have = 0;
        bool end = false;
        while (have < want) {
            const std::ptrdiff_t got = input.read(bytes_.data() + have, want - have);
            if (got < 0) {
                error = "cannot read " + input.name() + ": " + std::strerror(errno);
                ended_ = true;
                return false;
            }
            if (got == 0) {
                end = true;
                break;
            }
            have += static_cast<std::size_t>(got);
        }
        if (chunkLeft_) {
            *chunkLeft_ -= have;
        }
        chunkRead_ += have;
        if (end) {
            ended_ = true;
            // FFmpeg's decoder refuses a last packet shorter than a sample frame: the samples
            // before it come, then the error.
            const std::uint64_t last = chunkRead_ % packetBytes(layout_.blockAlign);
            if (last != 0 && last < align) {
                failure_ = "cannot decode the audio of " + input.name() +
                           ": Invalid data found when processing input";
            }
        }
        const std::size_t frames = have / align; // a cut frame at a chunk's end is dropped
        if (frames > 0) {
            convert(bytes_.data(), frames, out);
            return true;
        }
    }
    error = failure_;
    return false;
}

void WavReader::convert(const std::uint8_t* b, std::size_t frames, std::vector<std::int16_t>& out) {
    const std::size_t at = out.size();
    out.resize(at + frames);
    std::int16_t* o = out.data() + at;
    std::vector<float>& scaled = scaled_;
    if (layout_.channels == 1) {
        // One channel: swresample converts straight from the input format to 16 bits.
        switch (layout_.sample) {
        case WavSample::U8:
            for (std::size_t i = 0; i < frames; ++i) {
                o[i] = static_cast<std::int16_t>(u8ToS16(b[i]));
            }
            break;
        case WavSample::S16:
            for (std::size_t i = 0; i < frames; ++i) {
                o[i] = static_cast<std::int16_t>(s16(b + 2 * i));
            }
            break;
        case WavSample::S24:
            for (std::size_t i = 0; i < frames; ++i) {
                o[i] = static_cast<std::int16_t>(s24(b + 3 * i) >> 16);
            }
            break;
        case WavSample::S32:
            for (std::size_t i = 0; i < frames; ++i) {
                o[i] = static_cast<std::int16_t>(s32(b + 4 * i) >> 16);
            }
            break;
        case WavSample::F32:
            scaled.resize(frames);
            for (std::size_t i = 0; i < frames; ++i) {
                scaled[i] = f32(b + 4 * i) * 32768.0F;
            }
            floatsToS16(scaled.data(), o, frames);
            break;
        case WavSample::F64:
            for (std::size_t i = 0; i < frames; ++i) {
                o[i] = roundClip(f64(b + 8 * i) * 32768.0);
            }
            break;
        }
        return;
    }
    // Two channels mixed to one: each at half weight (the -3 dB of a stereo downmix, made
    // unity by normalising), in 16-bit integers for inputs of 16 bits or fewer, in floats for
    // 24 and 32 bits, in doubles for 64-bit floats.
    switch (layout_.sample) {
    case WavSample::U8:
    case WavSample::S16:
        for (std::size_t i = 0; i < frames; ++i) {
            const std::int32_t l =
                layout_.sample == WavSample::U8 ? u8ToS16(b[2 * i]) : s16(b + 4 * i);
            const std::int32_t r =
                layout_.sample == WavSample::U8 ? u8ToS16(b[2 * i + 1]) : s16(b + 4 * i + 2);
            o[i] = static_cast<std::int16_t>((16384 * l + 16384 * r + 16384) >> 15);
        }
        break;
    case WavSample::S24:
    case WavSample::S32:
    case WavSample::F32:
        scaled.resize(frames);
        for (std::size_t i = 0; i < frames; ++i) {
            float l = 0;
            float r = 0;
            if (layout_.sample == WavSample::S24) {
                l = s32ToFloat(s24(b + 6 * i));
                r = s32ToFloat(s24(b + 6 * i + 3));
            } else if (layout_.sample == WavSample::S32) {
                l = s32ToFloat(s32(b + 8 * i));
                r = s32ToFloat(s32(b + 8 * i + 4));
            } else {
                l = f32(b + 8 * i);
                r = f32(b + 8 * i + 4);
            }
            const float mixed = 0.5F * l + 0.5F * r;
            scaled[i] = mixed * 32768.0F;
        }
        floatsToS16(scaled.data(), o, frames);
        break;
    case WavSample::F64:
        for (std::size_t i = 0; i < frames; ++i) {
            const double mixed = 0.5 * f64(b + 16 * i) + 0.5 * f64(b + 16 * i + 8);
            o[i] = roundClip(mixed * 32768.0);
        }
        break;
    }
}

} // namespace nbtv
