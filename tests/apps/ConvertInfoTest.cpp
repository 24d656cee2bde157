// nbtv convert and nbtv info through their entry functions: frame files, pictures and AVI files
// in both directions, bad and short frame files, and which program an audio file suits.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "../apps/nbtv/Commands.h"
#include "../apps/nbtv/ConvertInfo.h"
#include "io/AudioFile.h"
#include "io/FrameFile.h"
#include "io/FrameFileReader.h"
#include "io/ImageFile.h"
#include "picture/PixelSurface.h"
#include "profiles/ReceiverProfile.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace nbtv {
namespace {

namespace fs = std::filesystem;
using cli::runConvert;
using cli::RunError;
using cli::runInfo;
using cli::UsageError;

std::vector<std::uint8_t> fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// A surface whose every pixel differs from its neighbours, so any shift or channel swap shows.
PixelSurface patternSurface(int seed) {
    PixelSurface surface(frameRecordWidth, frameRecordHeight);
    for (int y = 0; y < surface.height; ++y) {
        for (int x = 0; x < surface.width; ++x) {
            const auto v = static_cast<std::uint32_t>(x * 7 + y * 13 + seed * 29);
            surface.at(x, y) = rgbPixel(v & 0xff, (v * 3 + 1) & 0xff, (v * 5 + 2) & 0xff);
        }
    }
    return surface;
}

std::vector<std::uint8_t> frameFile(int records) {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < records; ++i) {
        const std::vector<std::uint8_t> record = frameRecord(patternSurface(i));
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    return bytes;
}

// What a command printed on standard output.
template <typename Run>
std::string outputOf(Run run) {
    ::testing::internal::CaptureStdout();
    try {
        run();
    } catch (...) {
        ::testing::internal::GetCapturedStdout();
        throw;
    }
    return ::testing::internal::GetCapturedStdout();
}

class ConvertInfo : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("nbtv-convert-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const std::string& name) const { return (dir / name).string(); }

    fs::path dir;
};

TEST_F(ConvertInfo, FrameFileToPicturesAndBackIsExact) {
    const std::vector<std::uint8_t> original = frameFile(3);
    writeBytes(path("in.tv"), original);
    EXPECT_EQ(runConvert({path("in.tv"), path("pictures")}), 0);
    EXPECT_TRUE(fs::exists(path("pictures/picture-0003.png")));
    EXPECT_FALSE(fs::exists(path("pictures/picture-0004.png")));
    EXPECT_EQ(runConvert({path("pictures"), path("back.tv")}), 0);
    EXPECT_EQ(fileBytes(path("back.tv")), original);
}

TEST_F(ConvertInfo, FrameFileToUncompressedAviAndBackIsExact) {
    const std::vector<std::uint8_t> original = frameFile(4);
    writeBytes(path("in.tv"), original);
    EXPECT_EQ(runConvert({path("in.tv"), path("movie.avi"), "--codec", "raw", "--fps", "25"}), 0);
    EXPECT_EQ(runConvert({path("movie.avi"), path("back.tv")}), 0);
    EXPECT_EQ(fileBytes(path("back.tv")), original);

    const std::string info = outputOf([&] { runInfo({path("movie.avi")}); });
    EXPECT_NE(info.find("codec: rawvideo"), std::string::npos) << info;
    EXPECT_NE(info.find("size: 288 x 219"), std::string::npos) << info;
    EXPECT_NE(info.find("frames: 4"), std::string::npos) << info;
    EXPECT_NE(info.find("rate: 25 frames a second"), std::string::npos) << info;
}

TEST_F(ConvertInfo, LosslessCodecRoundTripIsExact) {
    const std::vector<std::uint8_t> original = frameFile(2);
    writeBytes(path("in.tv"), original);
    EXPECT_EQ(runConvert({path("in.tv"), path("movie.avi"), "--codec", "ffv1"}), 0);
    EXPECT_EQ(runConvert({path("movie.avi"), path("back.tv")}), 0);
    EXPECT_EQ(fileBytes(path("back.tv")), original);
    const std::string info = outputOf([&] { runInfo({path("movie.avi")}); });
    EXPECT_NE(info.find("codec: ffv1"), std::string::npos) << info;
    EXPECT_NE(info.find("frames: 2"), std::string::npos) << info;
}

TEST_F(ConvertInfo, PicturesOfAnotherSizeAreScaledToTheSurface) {
    fs::create_directories(dir / "small");
    // A 96 x 72 picture: green on the left half, blue on the right.
    PixelSurface small(96, 72);
    for (int y = 0; y < 72; ++y) {
        for (int x = 0; x < 96; ++x) {
            small.at(x, y) = x < 48 ? rgbPixel(0, 255, 0) : rgbPixel(0, 0, 255);
        }
    }
    std::string error;
    ASSERT_TRUE(writePng(path("small/a.png"), toRgbImage(small, {0, 0, 96, 72}), error)) << error;
    EXPECT_EQ(runConvert({path("small"), path("out.tv")}), 0);
    FrameFileReader reader;
    ASSERT_TRUE(reader.open(path("out.tv")));
    std::vector<std::uint8_t> pixels;
    ASSERT_EQ(reader.next(pixels), FrameFileReader::Status::Record);
    const PixelSurface surface = frameRecordSurface(pixels);
    EXPECT_EQ(surface.at(10, 100), rgbPixel(0, 255, 0));
    EXPECT_EQ(surface.at(280, 100), rgbPixel(0, 0, 255));
    EXPECT_EQ(reader.next(pixels), FrameFileReader::Status::End);
}

TEST_F(ConvertInfo, TruncatedLastRecordIsReportedAndTheWholeOnesKept) {
    std::vector<std::uint8_t> bytes = frameFile(3);
    const std::size_t cut = 2 * frameRecordBytes + 1000;
    bytes.resize(cut);
    writeBytes(path("short.tv"), bytes);

    FrameFileReader reader;
    ASSERT_TRUE(reader.open(path("short.tv")));
    std::vector<std::uint8_t> pixels;
    EXPECT_EQ(reader.next(pixels), FrameFileReader::Status::Record);
    EXPECT_EQ(reader.next(pixels), FrameFileReader::Status::Record);
    EXPECT_EQ(reader.next(pixels), FrameFileReader::Status::Truncated);
    EXPECT_EQ(reader.records(), 2);
    EXPECT_EQ(reader.partialBytes(), 1000u);
    EXPECT_NE(reader.error().find("byte offset " + std::to_string(2 * frameRecordBytes)),
              std::string::npos)
        << reader.error();

    EXPECT_EQ(runConvert({path("short.tv"), path("pictures")}), 0);
    EXPECT_TRUE(fs::exists(path("pictures/picture-0002.png")));
    EXPECT_FALSE(fs::exists(path("pictures/picture-0003.png")));
    EXPECT_EQ(runConvert({path("pictures"), path("kept.tv")}), 0);
    const std::vector<std::uint8_t> whole = frameFile(2);
    EXPECT_EQ(fileBytes(path("kept.tv")), whole);

    const std::string info = outputOf([&] { runInfo({path("short.tv")}); });
    EXPECT_NE(info.find("records: 2"), std::string::npos) << info;
    EXPECT_NE(info.find("truncated at byte offset " + std::to_string(2 * frameRecordBytes)),
              std::string::npos)
        << info;
}

TEST_F(ConvertInfo, ADamagedHeaderEndsTheFileWithTheWholeRecordsBeforeItKept) {
    std::vector<std::uint8_t> bytes = frameFile(3);
    bytes[frameRecordBytes] = 0x21; // the second record claims a width of 289
    bytes[frameRecordBytes + 1] = 0x01;
    writeBytes(path("bad.tv"), bytes);
    runConvert({path("bad.tv"), path("pictures")});
    EXPECT_TRUE(fs::exists(path("pictures/picture-0001.png")));
    EXPECT_FALSE(fs::exists(path("pictures/picture-0002.png")));
    runConvert({path("bad.tv"), path("bad.avi")});
    EXPECT_TRUE(fs::exists(path("bad.avi")));
    const std::string info = outputOf([&] { runInfo({path("bad.tv")}); });
    EXPECT_NE(info.find("records: 1 of 288 x 219"), std::string::npos) << info;
    EXPECT_NE(info.find("damaged: from byte offset " + std::to_string(frameRecordBytes)),
              std::string::npos)
        << info;

    // Damaged from its first record on, it is no frame file: nothing is made of it.
    bytes[0] = 0x21;
    writeBytes(path("worse.tv"), bytes);
    try {
        runConvert({path("worse.tv"), path("more")});
        FAIL() << "a file without one good record converted";
    } catch (const RunError& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("worse.tv': bad record header at byte offset 0: 289 x 219"),
                  std::string::npos)
            << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
    EXPECT_THROW(runConvert({path("worse.tv"), path("worse.avi")}), RunError);
    EXPECT_THROW(runInfo({path("worse.tv")}), RunError);
    // Nothing half-made beside it either.
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "bad.tv" || name == "worse.tv" || name == "pictures" ||
                    name == "bad.avi")
            << name;
    }
}

TEST_F(ConvertInfo, AbsurdHeaderIsNeverAnAllocation) {
    std::vector<std::uint8_t> bytes(8, 0xff); // -1 x -1
    bytes[3] = 0x7f;                          // width 2^31 - 1
    writeBytes(path("absurd.tv"), bytes);
    FrameFileReader reader;
    ASSERT_TRUE(reader.open(path("absurd.tv")));
    std::vector<std::uint8_t> pixels;
    EXPECT_EQ(reader.next(pixels), FrameFileReader::Status::Bad);
    EXPECT_TRUE(pixels.empty());
    EXPECT_NE(reader.error().find("byte offset 0"), std::string::npos) << reader.error();
}

TEST_F(ConvertInfo, FrameFileInfoCountsRecords) {
    writeBytes(path("three.tv"), frameFile(3));
    const std::string info = outputOf([&] { runInfo({path("three.tv")}); });
    EXPECT_NE(info.find("records: 3 of 288 x 219"), std::string::npos) << info;
    EXPECT_NE(info.find("last record: complete"), std::string::npos) << info;
}

TEST_F(ConvertInfo, MistakesAreUsageErrors) {
    writeBytes(path("in.tv"), frameFile(1));
    EXPECT_THROW(runConvert({path("in.tv")}), UsageError);
    EXPECT_THROW(runConvert({path("in.tv"), path("m.avi"), "--codec", "nonesuch"}), UsageError);
    EXPECT_THROW(runConvert({path("in.tv"), path("m.avi"), "--fps", "0"}), UsageError);
    EXPECT_THROW(runConvert({path("in.tv"), path("other.tv")}), UsageError);
    EXPECT_THROW(runInfo({}), UsageError);
    EXPECT_THROW(runConvert({path("missing.tv"), path("out")}), RunError);
    EXPECT_FALSE(fs::exists(path("out")));
}

TEST_F(ConvertInfo, ExistingOutputIsReplacedOnlyWhenAsked) {
    writeBytes(path("in.tv"), frameFile(1));
    writeBytes(path("taken.avi"), {1, 2, 3});
    EXPECT_THROW(runConvert({path("in.tv"), path("taken.avi")}), RunError);
    EXPECT_EQ(fileBytes(path("taken.avi")), (std::vector<std::uint8_t>{1, 2, 3}));
    runConvert({"--overwrite", path("in.tv"), path("taken.avi")});
    EXPECT_GT(fileBytes(path("taken.avi")).size(), frameRecordPixelBytes);

    runConvert({path("in.tv"), path("folder")});
    EXPECT_THROW(runConvert({path("in.tv"), path("folder")}), RunError);
    runConvert({"-y", path("in.tv"), path("folder")});
    // A folder is made in a folder that exists, not in one that does not.
    EXPECT_THROW(runConvert({path("in.tv"), path("no/such")}), RunError);
    EXPECT_FALSE(fs::exists(path("no")));
}

std::string suitedProgram(const std::string& info) {
    const std::size_t at = info.find("suits: ");
    if (at == std::string::npos) {
        return "";
    }
    return info.substr(at + 7, info.find('\n', at) - at - 7);
}

// A program, and how far the radio is mistuned (hertz).
using Transmission = std::tuple<std::string, double>;

class InfoOfTransmission : public ConvertInfo,
                           public ::testing::WithParamInterface<Transmission> {};

TEST_P(InfoOfTransmission, NamesTheProgram) {
    const auto& [program, offsetHz] = GetParam();
    const ReceiverProfile& profile = *findProfile(program);
    TransmitOptions options;
    options.frames = 2;
    options.channel.frequencyOffsetHz = offsetHz;
    options.channel.snrDb = 20.0;
    const RgbImage card =
        makeTestCard(TestCardKind::Bars, profile.pictureColumns, profile.pictureLines);
    const std::vector<std::int16_t> signal = transmit(profile, card, options);
    std::string error;
    ASSERT_TRUE(writeWavFile(path("signal.wav"), profile.sampleRate, signal, error)) << error;
    const std::string info = outputOf([&] { runInfo({path("signal.wav")}); });
    EXPECT_EQ(suitedProgram(info), program) << info;
    EXPECT_NE(info.find("sample rate: " + std::to_string(profile.sampleRate) + " Hz"),
              std::string::npos)
        << info;
    EXPECT_NE(info.find("channels: 1"), std::string::npos) << info;
    const double seconds = static_cast<double>(signal.size()) / profile.sampleRate;
    char duration[32];
    std::snprintf(duration, sizeof duration, "duration: %.2f s", seconds);
    EXPECT_NE(info.find(duration), std::string::npos) << info;
}

INSTANTIATE_TEST_SUITE_P(Programs, InfoOfTransmission,
                         ::testing::Combine(::testing::Values("nbtv48", "nbtv96", "nbtv96rggb"),
                                            ::testing::Values(0.0, -3.0)));

// A plain tone anywhere, even exactly at a pilot's frequency, is no transmission.
class InfoOfTone : public ConvertInfo, public ::testing::WithParamInterface<double> {};

TEST_P(InfoOfTone, HasNoPilot) {
    const int rate = 11025;
    std::vector<std::int16_t> samples(static_cast<std::size_t>(rate) * 3);
    for (std::size_t n = 0; n < samples.size(); ++n) {
        samples[n] = static_cast<std::int16_t>(std::lround(
            12000.0 * std::sin(2.0 * M_PI * GetParam() * static_cast<double>(n) / rate)));
    }
    std::string error;
    ASSERT_TRUE(writeWavFile(path("tone.wav"), rate, samples, error)) << error;
    const std::string info = outputOf([&] { runInfo({path("tone.wav")}); });
    EXPECT_EQ(suitedProgram(info), "no pilot found") << info;
}

// 1000 Hz, and the pilot frequencies of nbtv48 (bin 34 at 11025 Hz) and nbtv96 (bin 45 at 8000).
INSTANTIATE_TEST_SUITE_P(Tones, InfoOfTone,
                         ::testing::Values(1000.0, 34 * 11025.0 / 256, 45 * 8000.0 / 256));

TEST_F(ConvertInfo, AbsurdSampleRateIsARunError) {
    const std::vector<std::int16_t> samples(4000, 0);
    std::string error;
    ASSERT_TRUE(writeWavFile(path("absurd.wav"), 8000, samples, error)) << error;
    std::vector<std::uint8_t> bytes = fileBytes(path("absurd.wav"));
    ASSERT_GT(bytes.size(), 28u);
    bytes[24] = 0x40; // the rate field of the format chunk: 302 MHz
    bytes[25] = 0x00;
    bytes[26] = 0x00;
    bytes[27] = 0x12;
    writeBytes(path("absurd.wav"), bytes);
    try {
        outputOf([&] { runInfo({path("absurd.wav")}); });
        FAIL() << "an absurd rate was analysed";
    } catch (const RunError& e) {
        EXPECT_NE(std::string(e.what()).find("absurd sample rate 301989952 Hz"), std::string::npos)
            << e.what();
    }
}

TEST_F(ConvertInfo, NonMediaFileIsARunError) {
    writeBytes(path("noise.bin"), {0x13, 0x37, 0x00, 0x42, 0x99});
    EXPECT_THROW(runInfo({path("noise.bin")}), RunError);
    EXPECT_THROW(runConvert({path("noise.bin"), path("out.tv")}), RunError);
    EXPECT_FALSE(fs::exists(path("out.tv")));
}

} // namespace
} // namespace nbtv
