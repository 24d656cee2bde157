// The frame file on disk: its bytes, its names and its failures.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "io/FrameFile.h"

namespace nbtv {
namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t recordSize = 252296;

class FrameFile : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("nbtv-frame-file-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
};

std::vector<std::uint8_t> bytesOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Every pixel different: red, green and blue from its position and a seed.
PixelSurface patterned(int seed) {
    PixelSurface s(288, 219);
    for (int y = 0; y < 219; ++y) {
        for (int x = 0; x < 288; ++x) {
            s.at(x, y) = rgbPixel(static_cast<std::uint32_t>((x + seed) % 256),
                                  static_cast<std::uint32_t>(y), static_cast<std::uint32_t>(seed));
        }
    }
    return s;
}

std::tm september16() {
    std::tm t{};
    t.tm_year = 2007 - 1900;
    t.tm_mon = 8;
    t.tm_mday = 16;
    t.tm_hour = 14;
    t.tm_min = 30;
    t.tm_sec = 5;
    return t;
}

TEST_F(FrameFile, RecordsAreTheHeaderAndThePixelsTopRowFirstByteForByte) {
    FrameFileWriter writer;
    std::string error;
    ASSERT_TRUE(writer.startFile(dir / "a.tv", error)) << error;
    ASSERT_TRUE(writer.append(patterned(3), error)) << error;
    ASSERT_TRUE(writer.append(patterned(200), error)) << error;
    EXPECT_EQ(writer.framesSaved(), 2);
    writer.stop();
    const std::vector<std::uint8_t> bytes = bytesOf(dir / "a.tv");
    ASSERT_EQ(bytes.size(), 2 * recordSize);
    for (int record = 0; record < 2; ++record) {
        const std::uint8_t* r = bytes.data() + record * recordSize;
        // 288 and 219 as little-endian int32.
        EXPECT_EQ(std::vector<std::uint8_t>(r, r + 8),
                  (std::vector<std::uint8_t>{0x20, 0x01, 0, 0, 0xdb, 0, 0, 0}));
        const int seed = record == 0 ? 3 : 200;
        for (int y = 0; y < 219; ++y) {
            for (int x = 0; x < 288; ++x) {
                const std::uint8_t* p = r + 8 + 4 * (y * 288 + x);
                ASSERT_EQ(p[0], seed) << x << "," << y; // blue
                ASSERT_EQ(p[1], y);                     // green
                ASSERT_EQ(p[2], (x + seed) % 256);      // red
                ASSERT_EQ(p[3], 0);
            }
        }
    }
}

TEST_F(FrameFile, NamesFollowTheClockAndATakenNameIsNeverEmptied) {
    EXPECT_EQ(frameFileName("RGB_", september16()), "RGB_09-16-2007_143005.tv");
    FrameFileWriter writer;
    std::string error;
    ASSERT_TRUE(writer.start("RGB_", september16(), error, dir)) << error;
    EXPECT_EQ(writer.fileName(), "RGB_09-16-2007_143005.tv");
    EXPECT_EQ(frameFileStatus(writer.framesSaved(), writer.fileName()),
              "0 frames saved to RGB_09-16-2007_143005.tv");
    ASSERT_TRUE(writer.append(patterned(1), error)) << error;
    EXPECT_EQ(frameFileStatus(writer.framesSaved(), writer.fileName()),
              " 1 frames saved to RGB_09-16-2007_143005.tv");
    writer.stop();
    EXPECT_EQ(writer.framesSaved(), 0);

    // Two more starts within the same second, the second stopped before any frame.
    ASSERT_TRUE(writer.start("RGB_", september16(), error, dir)) << error;
    EXPECT_EQ(writer.fileName(), "RGB_09-16-2007_143005-2.tv");
    ASSERT_TRUE(writer.start("RGB_", september16(), error, dir)) << error;
    EXPECT_EQ(writer.fileName(), "RGB_09-16-2007_143005-3.tv");
    writer.stop();
    EXPECT_EQ(fs::file_size(dir / "RGB_09-16-2007_143005.tv"), recordSize);
    EXPECT_EQ(fs::file_size(dir / "RGB_09-16-2007_143005-2.tv"), 0u);
}

TEST_F(FrameFile, AFolderThatCannotTakeTheFileIsReportedInOneLine) {
    std::ofstream(dir / "plain") << "a file, not a folder";
    FrameFileWriter writer;
    std::string error;
    EXPECT_FALSE(writer.start("RGB_", september16(), error, dir / "plain"));
    EXPECT_FALSE(writer.recording());
    EXPECT_NE(error.find("plain/RGB_09-16-2007_143005.tv"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_EQ(bytesOf(dir / "plain").size(), 20u);
    EXPECT_FALSE(writer.append(patterned(1), error));
}

// A full disk, played by the file-size limit: the failed record is cut off, the frames before
// it stay, and the writer is idle.
TEST_F(FrameFile, AFailedWriteIsReportedAndKeepsTheWholeRecords) {
    FrameFileWriter writer;
    std::string error;
    ASSERT_TRUE(writer.startFile(dir / "full.tv", error)) << error;
    ASSERT_TRUE(writer.append(patterned(1), error)) << error;
    ASSERT_TRUE(writer.append(patterned(2), error)) << error;

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 2 * recordSize + recordSize / 2;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool written = writer.append(patterned(3), error);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    EXPECT_FALSE(writer.recording());
    EXPECT_NE(error.find("full.tv"), std::string::npos) << error;
    EXPECT_NE(error.find("2 frames kept"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    const std::vector<std::uint8_t> bytes = bytesOf(dir / "full.tv");
    ASSERT_EQ(bytes.size(), 2 * recordSize);
    const std::vector<std::uint8_t> second = frameRecord(patterned(2));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), bytes.begin() + recordSize));

    // A writer that removes files left empty: the first record fails, and no file stays.
    FrameFileWriter windows;
    windows.setRemoveEmptyFile(true);
    ASSERT_TRUE(windows.startFile(dir / "first.tv", error)) << error;
    limited.rlim_cur = recordSize / 2;
    std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool first = windows.append(patterned(1), error);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(first);
    EXPECT_NE(error.find("(no frame kept, the file is removed)"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir / "first.tv"));
}

} // namespace
} // namespace nbtv
