#include "io/ImageFile.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>
#include <zlib.h>

#include "io/AudioFile.h"

namespace nbtv {
namespace {

namespace fs = std::filesystem;

class ImageFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "nbtv-image-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

// Every pixel different from its neighbours, so a shifted or swapped channel shows.
RgbImage pattern(int w, int h) {
    RgbImage image(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = image.pixel(x, y);
            p[0] = static_cast<std::uint8_t>(x * 7 + y * 3);
            p[1] = static_cast<std::uint8_t>(x * 13 ^ y * 29);
            p[2] = static_cast<std::uint8_t>(255 - x - 5 * y);
        }
    }
    return image;
}

void fill(RgbImage& image, int x0, int y0, int w, int h, std::uint8_t r, std::uint8_t g,
          std::uint8_t b) {
    for (int y = y0; y < y0 + h; ++y) {
        for (int x = x0; x < x0 + w; ++x) {
            std::uint8_t* p = image.pixel(x, y);
            p[0] = r;
            p[1] = g;
            p[2] = b;
        }
    }
}

std::string fileBytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t be32(const std::string& b, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        v = (v << 8) | static_cast<std::uint8_t>(b[at + i]);
    }
    return v;
}

TEST_F(ImageFileTest, PngRoundTripAtOwnSizeIsExact) {
    const RgbImage sent = pattern(37, 23);
    std::string error;
    ASSERT_TRUE(writePng(path("p.png"), sent, error)) << error;
    RgbImage got;
    ASSERT_TRUE(loadImageScaled(path("p.png"), 37, 23, got, error)) << error;
    EXPECT_EQ(got.width, 37);
    EXPECT_EQ(got.height, 23);
    EXPECT_EQ(got.rgb, sent.rgb);
    // Only the target is left: no temporary file beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(ImageFileTest, PngChunksHaveRightFieldsCrcsAndRowsFilteredUp) {
    const RgbImage sent = pattern(5, 3);
    std::string error;
    ASSERT_TRUE(writePng(path("p.png"), sent, error)) << error;
    const std::string b = fileBytes(path("p.png"));
    ASSERT_EQ(b.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    std::vector<std::string> types;
    std::string idat;
    for (std::size_t at = 8; at + 12 <= b.size();) {
        const std::uint32_t length = be32(b, at);
        ASSERT_LE(at + 12 + length, b.size());
        const std::string type = b.substr(at + 4, 4);
        const std::string data = b.substr(at + 8, length);
        const auto* typeAndData = reinterpret_cast<const Bytef*>(b.data() + at + 4);
        EXPECT_EQ(be32(b, at + 8 + length), crc32(0, typeAndData, length + 4)) << type;
        if (type == "IHDR") {
            ASSERT_EQ(length, 13u);
            EXPECT_EQ(be32(data, 0), 5u);
            EXPECT_EQ(be32(data, 4), 3u);
            EXPECT_EQ(data.substr(8), std::string("\x08\x02\x00\x00\x00", 5));
        } else if (type == "IDAT") {
            idat += data;
        }
        types.push_back(type);
        at += 12 + length;
    }
    EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    std::string raw(3 * (1 + 5 * 3), '\xff');
    uLongf rawSize = raw.size();
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(raw.data()), &rawSize,
                         reinterpret_cast<const Bytef*>(idat.data()), idat.size()),
              Z_OK);
    ASSERT_EQ(rawSize, raw.size());
    // Every row filtered "up": each byte less the one above it (the first row less zeros).
    for (int y = 0; y < 3; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * 16;
        EXPECT_EQ(raw[row], 2) << "filter byte of row " << y;
        for (int i = 0; i < 15; ++i) {
            const std::uint8_t above = y == 0 ? 0 : sent.pixel(0, y - 1)[i];
            EXPECT_EQ(static_cast<std::uint8_t>(raw[row + 1 + static_cast<std::size_t>(i)]),
                      static_cast<std::uint8_t>(sent.pixel(0, y)[i] - above))
                << "row " << y << " byte " << i;
        }
    }
}

TEST_F(ImageFileTest, HalfSizeAveragesAreas) {
    // Left: two flat colours stacked; right: columns alternating between two colours.
    RgbImage sent(40, 20);
    fill(sent, 0, 0, 20, 10, 200, 30, 90);
    fill(sent, 0, 10, 20, 10, 10, 250, 128);
    for (int x = 20; x < 40; x += 2) {
        fill(sent, x, 0, 1, 20, 0, 100, 240);
        fill(sent, x + 1, 0, 1, 20, 200, 50, 40);
    }
    std::string error;
    ASSERT_TRUE(writePng(path("h.png"), sent, error)) << error;
    RgbImage got;
    ASSERT_TRUE(loadImageScaled(path("h.png"), 20, 10, got, error)) << error;
    ASSERT_EQ(got.rgb.size(), 20u * 10u * 3u);
    const auto expectPixel = [&](int x, int y, int r, int g, int b) {
        const std::uint8_t* p = got.pixel(x, y);
        EXPECT_NEAR(p[0], r, 1) << x << "," << y;
        EXPECT_NEAR(p[1], g, 1) << x << "," << y;
        EXPECT_NEAR(p[2], b, 1) << x << "," << y;
    };
    // Away from the edges between areas, where the filter may mix neighbours.
    for (int x = 0; x < 9; ++x) {
        for (int y = 0; y < 4; ++y) {
            expectPixel(x, y, 200, 30, 90);
            expectPixel(x, y + 6, 10, 250, 128);
        }
    }
    for (int x = 11; x < 20; ++x) {
        for (int y = 0; y < 10; ++y) {
            expectPixel(x, y, 100, 75, 140);
        }
    }
}

// A 24-bit BMP, bottom row first, rows padded to four bytes.
void writeBmp(const std::string& file, const RgbImage& image) {
    const int rowBytes = (image.width * 3 + 3) / 4 * 4;
    const int dataSize = rowBytes * image.height;
    std::string b = "BM";
    const auto put = [&b](int v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            b.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
        }
    };
    put(54 + dataSize, 4);
    put(0, 4);
    put(54, 4);
    put(40, 4);
    put(image.width, 4);
    put(image.height, 4);
    put(1, 2);
    put(24, 2);
    put(0, 4);
    put(dataSize, 4);
    put(2835, 4);
    put(2835, 4);
    put(0, 4); // palette size
    put(0, 4); // important colours
    for (int y = image.height - 1; y >= 0; --y) {
        for (int x = 0; x < image.width; ++x) {
            const std::uint8_t* p = image.pixel(x, y);
            b.push_back(static_cast<char>(p[2]));
            b.push_back(static_cast<char>(p[1]));
            b.push_back(static_cast<char>(p[0]));
        }
        b.append(static_cast<std::size_t>(rowBytes - image.width * 3), '\0');
    }
    std::ofstream(file, std::ios::binary) << b;
}

TEST_F(ImageFileTest, OtherFormatsAreDecodedAndScaledToTheRequestedSize) {
    const RgbImage sent = pattern(11, 7);
    writeBmp(path("p.bmp"), sent);
    RgbImage got;
    std::string error;
    ASSERT_TRUE(loadImageScaled(path("p.bmp"), 11, 7, got, error)) << error;
    EXPECT_EQ(got.rgb, sent.rgb);
    // Enlarging a flat picture keeps it flat, at exactly the size asked for.
    RgbImage flat(3, 2);
    fill(flat, 0, 0, 3, 2, 70, 140, 210);
    writeBmp(path("flat.bmp"), flat);
    ASSERT_TRUE(loadImageScaled(path("flat.bmp"), 64, 33, got, error)) << error;
    ASSERT_EQ(got.width, 64);
    ASSERT_EQ(got.height, 33);
    ASSERT_EQ(got.rgb.size(), 64u * 33u * 3u);
    for (std::size_t i = 0; i < got.rgb.size(); i += 3) {
        ASSERT_NEAR(got.rgb[i], 70, 1) << i;
        ASSERT_NEAR(got.rgb[i + 1], 140, 1) << i;
        ASSERT_NEAR(got.rgb[i + 2], 210, 1) << i;
    }
}

TEST_F(ImageFileTest, WritingIntoMissingFolderOrABadPictureFailsAndLeavesNothing) {
    std::string error;
    EXPECT_FALSE(writePng(path("no/such/x.png"), pattern(4, 4), error));
    EXPECT_EQ(error, "cannot write '" + path("no/such/x.png") + "': No such file or directory");
    RgbImage malformed(4, 4);
    malformed.rgb.pop_back();
    EXPECT_FALSE(writePng(path("m.png"), malformed, error));
    EXPECT_FALSE(writePng(path("e.png"), RgbImage(), error));
    EXPECT_NE(error.find("e.png"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_empty(dir_));
}

// Each bad input fails cleanly with one line naming the file, and leaves `image` alone.
void expectLoadFails(const std::string& file, const std::string& expected) {
    RgbImage image = pattern(2, 2);
    std::string error;
    EXPECT_FALSE(loadImageScaled(file, 8, 8, image, error));
    EXPECT_NE(error.find(fs::path(file).filename().string()), std::string::npos) << error;
    EXPECT_NE(error.find(expected), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(image.rgb, pattern(2, 2).rgb);
}

TEST_F(ImageFileTest, FilesWithoutAPictureFailWithOneLine) {
    expectLoadFails(path("missing.png"), "No such file or directory");

    std::ofstream(path("notes.txt")) << "Some notes about the reception tonight.\n";
    expectLoadFails(path("notes.txt"), "not a recognised picture file");

    std::ofstream(path("empty.png")).close();
    expectLoadFails(path("empty.png"), "is empty");

    std::string error;
    ASSERT_TRUE(writeWavFile(path("tone.wav"), 8000, std::vector<std::int16_t>(800, 1000), error));
    expectLoadFails(path("tone.wav"), "is not a picture file");

    // A PNG cut short after its header has no picture to give.
    ASSERT_TRUE(writePng(path("whole.png"), pattern(16, 16), error)) << error;
    const std::string bytes = fileBytes(path("whole.png"));
    std::ofstream(path("cut.png"), std::ios::binary) << bytes.substr(0, 40);
    expectLoadFails(path("cut.png"), "cannot decode");

    ASSERT_TRUE(writePng(path("ok.png"), pattern(4, 4), error)) << error;
    RgbImage image;
    EXPECT_FALSE(loadImageScaled(path("ok.png"), 0, 4, image, error));
    EXPECT_NE(error.find("ok.png"), std::string::npos) << error;
}

} // namespace
} // namespace nbtv
