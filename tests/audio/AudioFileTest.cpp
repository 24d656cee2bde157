#include "io/AudioFile.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <numbers>
#include <optional>
#include <thread>

#include <csignal>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core/Conversions.h"
#include "io/FfmpegSupport.h"
#include "io/ImageFile.h"
#include "io/InputStream.h"

namespace nbtv {
namespace {

namespace fs = std::filesystem;

class AudioFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "nbtv-audio-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

std::vector<std::int16_t> tone(double hz, int rate, std::size_t count, double amplitude) {
    std::vector<std::int16_t> s(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double phase = 2.0 * std::numbers::pi * hz * static_cast<double>(i) / rate;
        s[i] = static_cast<std::int16_t>(roundHalfEven(amplitude * std::sin(phase)));
    }
    return s;
}

// Frequency from the number of sign changes over the middle of the signal.
double zeroCrossingHz(const std::vector<std::int16_t>& s, int rate) {
    const std::size_t from = s.size() / 10;
    const std::size_t to = s.size() - s.size() / 10;
    int crossings = 0;
    for (std::size_t i = from + 1; i < to; ++i) {
        crossings += (s[i - 1] < 0) != (s[i] < 0) ? 1 : 0;
    }
    return crossings / 2.0 * rate / static_cast<double>(to - from - 1);
}

void putLe(std::string& out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
}

// A plain PCM WAV (no channel mask) with interleaved channels, built independently of the writer.
void writeRawWav(const std::string& file, int rate, int channels,
                 const std::vector<std::int16_t>& interleaved) {
    const auto dataSize = static_cast<std::uint32_t>(interleaved.size() * 2);
    const auto ch = static_cast<std::uint32_t>(channels);
    const auto r = static_cast<std::uint32_t>(rate);
    std::string b = "RIFF";
    putLe(b, 36 + dataSize, 4);
    b += "WAVEfmt ";
    putLe(b, 16, 4);
    putLe(b, 1, 2);
    putLe(b, ch, 2);
    putLe(b, r, 4);
    putLe(b, r * ch * 2, 4);
    putLe(b, ch * 2, 2);
    putLe(b, 16, 2);
    b += "data";
    putLe(b, dataSize, 4);
    for (std::int16_t v : interleaved) {
        putLe(b, static_cast<std::uint16_t>(v), 2);
    }
    std::ofstream(file, std::ios::binary) << b;
}

std::string fileBytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t le(const std::string& b, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | static_cast<std::uint8_t>(b[at + i]);
    }
    return v;
}

TEST_F(AudioFileTest, WavRoundTripAtSameRateIsExact) {
    std::vector<std::int16_t> sent = tone(1234.5, 11025, 5000, 30000.0);
    sent[10] = -32768;
    sent[11] = 32767;
    std::string error;
    // The second write replaces the first whole.
    ASSERT_TRUE(writeWavFile(path("a.wav"), 8000, std::vector<std::int16_t>(9000, 7), error));
    ASSERT_TRUE(writeWavFile(path("a.wav"), 11025, sent, error)) << error;
    std::vector<std::int16_t> got;
    ASSERT_TRUE(readAudioFile(path("a.wav"), 11025, got, error)) << error;
    EXPECT_EQ(got, sent);
}

TEST_F(AudioFileTest, WavHeaderFieldsAreLittleEndianPcmMono) {
    const std::vector<std::int16_t> sent = {1, -2, 0x1234, -32768};
    std::string error;
    ASSERT_TRUE(writeWavFile(path("h.wav"), 8000, sent, error)) << error;
    const std::string b = fileBytes(path("h.wav"));
    ASSERT_EQ(b.size(), 44u + 8u);
    EXPECT_EQ(b.substr(0, 4), "RIFF");
    EXPECT_EQ(le(b, 4, 4), 36u + 8u);
    EXPECT_EQ(b.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(le(b, 16, 4), 16u);
    EXPECT_EQ(le(b, 20, 2), 1u);     // PCM
    EXPECT_EQ(le(b, 22, 2), 1u);     // mono
    EXPECT_EQ(le(b, 24, 4), 8000u);  // rate
    EXPECT_EQ(le(b, 28, 4), 16000u); // bytes a second
    EXPECT_EQ(le(b, 32, 2), 2u);
    EXPECT_EQ(le(b, 34, 2), 16u);
    EXPECT_EQ(b.substr(36, 4), "data");
    EXPECT_EQ(le(b, 40, 4), 8u);
    EXPECT_EQ(le(b, 44, 2), 1u);
    EXPECT_EQ(le(b, 46, 2), 0xfffeu);
    EXPECT_EQ(le(b, 48, 2), 0x1234u);
    EXPECT_EQ(le(b, 50, 2), 0x8000u);
    // Only the target is left: no temporary file beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(AudioFileTest, WritingIntoMissingFolderFailsAndLeavesNothing) {
    std::string error;
    EXPECT_FALSE(writeWavFile(path("no/such/x.wav"), 8000, {1, 2, 3}, error));
    EXPECT_NE(error.find("x.wav"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_FALSE(fs::exists(path("no")));
    EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(AudioFileTest, DownsamplingKeepsLengthAndFrequency) {
    std::string error;
    ASSERT_TRUE(writeWavFile(path("t.wav"), 22050, tone(1000.0, 22050, 22050, 20000.0), error));
    std::vector<std::int16_t> got;
    ASSERT_TRUE(readAudioFile(path("t.wav"), 11025, got, error)) << error;
    // The resampler's tail is flushed: nothing is lost at the end.
    EXPECT_NEAR(static_cast<double>(got.size()), 11025.0, 2.0);
    EXPECT_NEAR(zeroCrossingHz(got, 11025), 1000.0, 5.0);
    // The level is kept too (the filter passes 1 kHz untouched at 11025 Hz).
    const auto [lo, hi] = std::minmax_element(got.begin() + 1000, got.end() - 1000);
    EXPECT_NEAR(*hi, 20000, 400);
    EXPECT_NEAR(*lo, -20000, 400);
}

TEST_F(AudioFileTest, UpsamplingKeepsLengthAndFrequency) {
    std::string error;
    ASSERT_TRUE(writeWavFile(path("t.wav"), 8000, tone(700.0, 8000, 16000, 15000.0), error));
    std::vector<std::int16_t> got;
    ASSERT_TRUE(readAudioFile(path("t.wav"), 11025, got, error)) << error;
    EXPECT_NEAR(static_cast<double>(got.size()), 22050.0, 2.0);
    EXPECT_NEAR(zeroCrossingHz(got, 11025), 700.0, 5.0);
}

TEST_F(AudioFileTest, StereoIsMixedToMono) {
    const std::vector<std::int16_t> left = tone(440.0, 11025, 3000, 12000.0);
    const std::vector<std::int16_t> right = tone(1500.0, 11025, 3000, 8000.0);
    std::vector<std::int16_t> interleaved;
    for (std::size_t i = 0; i < left.size(); ++i) {
        interleaved.push_back(left[i]);
        interleaved.push_back(right[i]);
    }
    writeRawWav(path("s.wav"), 11025, 2, interleaved);
    std::vector<std::int16_t> got;
    std::string error;
    ASSERT_TRUE(readAudioFile(path("s.wav"), 11025, got, error)) << error;
    ASSERT_EQ(got.size(), left.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_NEAR(got[i], (left[i] + right[i]) / 2.0, 1.0) << "sample " << i;
    }
}

TEST_F(AudioFileTest, ChannelsWithoutLayoutAreMixedToMono) {
    // Four channels carrying the same signal: a plain PCM header names no speakers.
    const std::vector<std::int16_t> mono = tone(300.0, 8000, 2000, 10000.0);
    std::vector<std::int16_t> interleaved;
    for (std::int16_t v : mono) {
        interleaved.insert(interleaved.end(), 4, v);
    }
    writeRawWav(path("q.wav"), 8000, 4, interleaved);
    std::vector<std::int16_t> got;
    std::string error;
    ASSERT_TRUE(readAudioFile(path("q.wav"), 8000, got, error)) << error;
    ASSERT_EQ(got.size(), mono.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_NEAR(got[i], mono[i], 2.0) << "sample " << i;
    }
}

TEST_F(AudioFileTest, StreamingReadsInPiecesMatchWholeFileAndStopAtEnd) {
    std::string error;
    ASSERT_TRUE(writeWavFile(path("t.wav"), 11025, tone(500.0, 11025, 9000, 9000.0), error));
    std::vector<std::int16_t> whole;
    ASSERT_TRUE(readAudioFile(path("t.wav"), 8000, whole, error)) << error;

    AudioFileReader reader;
    ASSERT_TRUE(reader.open(path("t.wav"), 8000)) << reader.error();
    std::vector<std::int16_t> pieces;
    std::int16_t buffer[37];
    for (std::size_t n; (n = reader.read(buffer, 37)) > 0;) {
        pieces.insert(pieces.end(), buffer, buffer + n);
    }
    EXPECT_EQ(reader.read(buffer, 37), 0u);
    EXPECT_TRUE(reader.error().empty()) << reader.error();
    EXPECT_EQ(pieces, whole);
    EXPECT_NEAR(static_cast<double>(pieces.size()), 9000.0 * 8000 / 11025, 2.0);
}

// What a reader gave: every sample and every fact it tells of the input.
struct Reading {
    bool opened = false;
    std::vector<std::int16_t> samples;
    std::string error;
    std::optional<std::uint64_t> length;
    AudioDescription description;
    std::optional<WavShortfall> shortfall;
};

void expectSame(const Reading& own, const Reading& ffmpeg, const std::string& what) {
    ASSERT_EQ(own.opened, ffmpeg.opened) << what << ": " << own.error << " / " << ffmpeg.error;
    ASSERT_EQ(own.samples.size(), ffmpeg.samples.size()) << what;
    for (std::size_t i = 0; i < own.samples.size(); ++i) {
        ASSERT_EQ(own.samples[i], ffmpeg.samples[i]) << what << ", sample " << i;
    }
    EXPECT_EQ(own.error, ffmpeg.error) << what;
    EXPECT_EQ(own.length, ffmpeg.length) << what;
    EXPECT_EQ(own.description.container, ffmpeg.description.container) << what;
    EXPECT_EQ(own.description.codec, ffmpeg.description.codec) << what;
    EXPECT_EQ(own.description.sampleRate, ffmpeg.description.sampleRate) << what;
    EXPECT_EQ(own.description.channels, ffmpeg.description.channels) << what;
    EXPECT_EQ(own.description.seconds, ffmpeg.description.seconds) << what;
    EXPECT_EQ(own.shortfall.has_value(), ffmpeg.shortfall.has_value()) << what;
    if (own.shortfall && ffmpeg.shortfall) {
        EXPECT_EQ(own.shortfall->declaredBytes, ffmpeg.shortfall->declaredBytes) << what;
        EXPECT_EQ(own.shortfall->presentBytes, ffmpeg.shortfall->presentBytes) << what;
    }
}

// Reads `file` (a named pipe fed from `bytes` when `stream`) the reader's own way, or through
// FFmpeg when `ffmpeg` (a demuxer opened first always takes FFmpeg's road).
Reading readWav(const std::string& file, const std::string& bytes, bool stream, bool ffmpeg,
                int rate) {
    std::thread writer;
    fs::remove(file);
    if (stream) {
        EXPECT_EQ(::mkfifo(file.c_str(), 0644), 0);
        writer = std::thread([&] { std::ofstream(file, std::ios::binary) << bytes; });
    } else {
        std::ofstream(file, std::ios::binary) << bytes;
    }
    Reading r;
    {
        InputStream input;
        AudioFileReader reader;
        if (input.open(file, r.error)) {
            if (ffmpeg) {
                auto media = std::make_unique<MediaInput>();
                r.opened = media->open(input, "audio", r.error) &&
                           reader.open(input, std::move(media), rate);
            } else {
                r.opened = reader.open(input, rate);
            }
            if (!r.opened && r.error.empty()) {
                r.error = reader.error();
            }
        }
        if (r.opened) {
            r.length = reader.length();
            r.description = reader.description();
            std::int16_t buffer[1000];
            for (std::size_t n; (n = reader.read(buffer, 1000)) > 0;) {
                r.samples.insert(r.samples.end(), buffer, buffer + n);
            }
            r.error = reader.error();
            r.shortfall = reader.shortfall();
        }
    } // closed: a writer the reader left behind meets a broken pipe and ends
    if (stream) {
        writer.join();
    }
    return r;
}

struct WavVariant {
    std::string name;
    int tag = 1; // 1 integer PCM, 3 float, 0xfffe extensible
    int subformat = 1;
    int channels = 1;
    int bits = 16;
    int rate = 11025;
    std::uint32_t mask = 0;
};

// Samples of every kind a WAV file holds, over the whole range and at its edges: halves that
// round either way, the extremes, and for floats values beyond full scale and not-a-number.
std::string sampleBytes(const WavVariant& v, std::size_t frames) {
    std::string b;
    std::uint64_t seed = 0x9e3779b97f4a7c15ULL;
    const auto next = [&] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(seed >> 32);
    };
    const bool isFloat = v.tag == 3 || (v.tag == 0xfffe && v.subformat == 3);
    const double floats[] = {0.0,
                             1.0,
                             -1.0,
                             0.5 / 32768,
                             1.5 / 32768,
                             -0.5 / 32768,
                             32767.5 / 32768,
                             -32768.5 / 32768,
                             1.25,
                             -3.0,
                             100.0,
                             1e5, // beyond 32 bits once scaled: a long's low half
                             -1.5e5,
                             -1e30,
                             1e300,
                             std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity()};
    for (std::size_t i = 0; i < frames * static_cast<std::size_t>(v.channels); ++i) {
        std::uint32_t raw = next();
        if (i % 7 == 3) {
            raw = (i % 2 != 0) ? 0x7fffffffu : 0x80000000u; // the extremes
        } else if (i % 5 == 1) {
            raw = (raw & 0xffff0000u) | 0x8000u | (raw & 0x10000u); // a half below 16 bits
        }
        if (isFloat) {
            double x = (static_cast<double>(static_cast<std::int32_t>(raw)) / 2147483648.0);
            if (i % 11 == 5) {
                x = floats[(i / 11) % std::size(floats)];
                if (v.bits == 32 && std::abs(x) > 1e30) {
                    x = -x; // beyond a float: infinity
                }
            }
            if (v.bits == 32) {
                const auto f = static_cast<float>(x);
                std::uint32_t u;
                std::memcpy(&u, &f, 4);
                putLe(b, u, 4);
            } else {
                std::uint64_t u;
                std::memcpy(&u, &x, 8);
                putLe(b, static_cast<std::uint32_t>(u), 4);
                putLe(b, static_cast<std::uint32_t>(u >> 32), 4);
            }
        } else {
            putLe(b, raw >> (32 - v.bits), v.bits / 8);
        }
    }
    return b;
}

// A WAV file's bytes: `before` chunks between the format and the samples, `after` after them;
// `declared` overrides the data chunk's size.
std::string wavBytes(const WavVariant& v, const std::string& samples,
                     const std::string& before = {}, const std::string& after = {},
                     std::optional<std::uint32_t> declared = std::nullopt) {
    std::string fmt;
    const auto ch = static_cast<std::uint32_t>(v.channels);
    const auto align = ch * static_cast<std::uint32_t>(v.bits) / 8;
    putLe(fmt, static_cast<std::uint32_t>(v.tag), 2);
    putLe(fmt, ch, 2);
    putLe(fmt, static_cast<std::uint32_t>(v.rate), 4);
    putLe(fmt, static_cast<std::uint32_t>(v.rate) * align, 4);
    putLe(fmt, align, 2);
    putLe(fmt, static_cast<std::uint32_t>(v.bits), 2);
    if (v.tag == 0xfffe) {
        putLe(fmt, 22, 2);
        putLe(fmt, static_cast<std::uint32_t>(v.bits), 2);
        putLe(fmt, v.mask, 4);
        putLe(fmt, static_cast<std::uint32_t>(v.subformat), 2);
        fmt += std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71", 14);
    }
    std::string body = "WAVEfmt ";
    putLe(body, static_cast<std::uint32_t>(fmt.size()), 4);
    body += fmt + before + "data";
    putLe(body, declared.value_or(static_cast<std::uint32_t>(samples.size())), 4);
    body += samples + after;
    std::string b = "RIFF";
    putLe(b, static_cast<std::uint32_t>(body.size()), 4);
    return b + body;
}

std::string chunk(const std::string& id, const std::string& content) {
    std::string b = id;
    putLe(b, static_cast<std::uint32_t>(content.size()), 4);
    b += content;
    if (content.size() % 2 != 0) {
        b.push_back('\0');
    }
    return b;
}

// The WAV files read without FFmpeg give what FFmpeg gives, sample for sample, with the same
// description, length, shortfall and errors: as files and as streams, whole, cut short, with
// chunks around the samples and with no size in the header.
TEST_F(AudioFileTest, PlainWavFilesReadAsFfmpegReadsThem) {
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<WavVariant> variants = {
        {"s16 mono", 1, 1, 1, 16},
        {"u8 mono", 1, 1, 1, 8},
        {"u8 stereo", 1, 1, 2, 8},
        {"s16 stereo", 1, 1, 2, 16},
        {"s24 mono", 1, 1, 1, 24},
        {"s24 stereo", 1, 1, 2, 24},
        {"s32 mono", 1, 1, 1, 32},
        {"s32 stereo", 1, 1, 2, 32},
        {"f32 mono", 3, 1, 1, 32},
        {"f32 stereo", 3, 1, 2, 32},
        {"f64 mono", 3, 1, 1, 64},
        {"f64 stereo", 3, 1, 2, 64},
        {"extensible s24 stereo", 0xfffe, 1, 2, 24, 8000, 3},
        {"extensible f32 mono", 0xfffe, 3, 1, 32, 8000, 4},
        {"44.1 kHz s16 stereo", 1, 1, 2, 16, 44100},
    };
    const std::string list = chunk("LIST", "INFOISFT\x05\0\0\0nbtv\0" + std::string("x"));
    for (const WavVariant& v : variants) {
        const std::size_t frames = 5000;
        const std::string samples = sampleBytes(v, frames);
        const auto align = static_cast<std::size_t>(v.channels * v.bits / 8);
        std::vector<std::pair<std::string, std::string>> files = {
            {"whole", wavBytes(v, samples)},
            {"chunks around", wavBytes(v, samples, list + chunk("fact", "\x88\x13\0\0"), list)},
            {"cut short", wavBytes(v, samples.substr(0, 3001 * align), {}, {},
                                   static_cast<std::uint32_t>(samples.size()))},
            {"cut in a frame", wavBytes(v, samples.substr(0, 4096 + 1), {}, {},
                                        static_cast<std::uint32_t>(samples.size()))},
            {"no size", wavBytes(v, samples, {}, {}, 0)},
            {"size unknown", wavBytes(v, samples, {}, {}, 0xffffffffu)},
            {"two data chunks",
             wavBytes(v, samples.substr(0, 1000 * align), {}, list + chunk("data", samples))},
            {"odd data then more", wavBytes(v, samples.substr(0, 999), {}, list)},
        };
        for (const auto& [kind, bytes] : files) {
            for (const bool stream : {false, true}) {
                for (const int rate : {v.rate, AudioFileReader::inputRate}) {
                    const std::string what = v.name + ", " + kind + (stream ? ", streamed" : "") +
                                             (rate > 0 ? "" : ", own rate");
                    const Reading own = readWav(path("in.wav"), bytes, stream, false, rate);
                    const Reading ffmpeg = readWav(path("in.wav"), bytes, stream, true, rate);
                    expectSame(own, ffmpeg, what);
                }
            }
        }
    }
}

TEST_F(AudioFileTest, WavWithoutSamplesReadsAsEmpty) {
    std::string error;
    ASSERT_TRUE(writeWavFile(path("e.wav"), 11025, {}, error)) << error;
    EXPECT_EQ(fs::file_size(path("e.wav")), 44u);
    std::vector<std::int16_t> got = {1, 2};
    EXPECT_TRUE(readAudioFile(path("e.wav"), 11025, got, error)) << error;
    EXPECT_TRUE(got.empty());
}

// Each bad input fails cleanly with one line naming the file.
void expectOpenFails(const std::string& file, const std::string& expected) {
    AudioFileReader reader;
    EXPECT_FALSE(reader.open(file, 11025));
    const std::string& error = reader.error();
    EXPECT_NE(error.find(fs::path(file).filename().string()), std::string::npos) << error;
    EXPECT_NE(error.find(expected), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    std::int16_t sample = 0;
    EXPECT_EQ(reader.read(&sample, 1), 0u);
}

TEST_F(AudioFileTest, FilesWithoutReadableAudioFailWithOneLine) {
    expectOpenFails(path("missing.wav"), "No such file or directory");

    std::ofstream(path("notes.txt")) << "Some notes about the reception tonight.\n";
    expectOpenFails(path("notes.txt"), "not a recognised audio file");

    std::ofstream(path("empty.wav")).close();
    expectOpenFails(path("empty.wav"), "is empty");

    std::string error;
    ASSERT_TRUE(writePng(path("card.png"), RgbImage(8, 4), error)) << error;
    expectOpenFails(path("card.png"), "has no audio stream");

    std::vector<std::int16_t> samples;
    EXPECT_FALSE(readAudioFile(path("missing.wav"), 11025, samples, error));
    EXPECT_EQ(error, "cannot open '" + path("missing.wav") + "': No such file or directory");
}

TEST_F(AudioFileTest, InvalidRatesFail) {
    std::string error;
    ASSERT_TRUE(writeWavFile(path("t.wav"), 8000, {1, 2, 3}, error));
    AudioFileReader reader;
    EXPECT_FALSE(reader.open(path("t.wav"), 0));
    EXPECT_FALSE(reader.error().empty());
    EXPECT_FALSE(writeWavFile(path("u.wav"), 0, {1}, error));
    EXPECT_FALSE(fs::exists(path("u.wav")));
}

} // namespace
} // namespace nbtv

namespace nbtv {
namespace {

// A damaged header may claim any rate; the reader refuses one beyond any sound card instead of
// asking for gigabytes to resample it.
TEST(AudioFile, AnAbsurdRateInTheHeaderIsRefused) {
    const std::string path = ::testing::TempDir() + "absurd-rate.wav";
    std::vector<std::uint8_t> wav = {'R', 'I', 'F', 'F', 0,  0, 0, 0, 'W', 'A', 'V', 'E',
                                     'f', 'm', 't', ' ', 16, 0, 0, 0, 1,   0,   1,   0};
    const std::uint32_t rate = 1'000'000'000;
    for (std::uint32_t v : {rate, rate * 2}) {
        for (int b = 0; b < 4; ++b) {
            wav.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
        }
    }
    wav.insert(wav.end(), {2, 0, 16, 0, 'd', 'a', 't', 'a', 0, 16, 0, 0});
    wav.resize(wav.size() + 4096, 1);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(wav.data()), static_cast<std::streamsize>(wav.size()));
    std::vector<std::int16_t> samples;
    std::string error;
    EXPECT_FALSE(readAudioFile(path, 11025, samples, error));
    EXPECT_NE(error.find("beyond any sound card"), std::string::npos) << error;
}

} // namespace
} // namespace nbtv
