// The nbtv tool run as a user runs it: real processes, real files.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "audio/AudioFile.h"
#include "picture/ImageFile.h"
#include "profiles/ReceiverProfile.h"
#include "recording/FrameFile.h"
#include "support/Reception.h"
#include "tx/TestCard.h"

namespace nbtv {
namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status = -1;
    std::string errors; // standard error
};

ToolRun nbtv(const std::string& arguments, const fs::path& folder) {
    const fs::path errFile = folder / "stderr.txt";
    const std::string command =
        std::string(NBTV_TOOL) + " " + arguments + " 2>" + errFile.string() + " >/dev/null";
    ToolRun run;
    const int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream in(errFile);
    run.errors.assign(std::istreambuf_iterator<char>(in), {});
    fs::remove(errFile);
    return run;
}

class NbtvTool : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("nbtv-tool-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "out");
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }
    std::size_t filesIn(const std::string& name) const {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir / name)) {
            ++n;
        }
        return n;
    }
    RgbImage picture(const std::string& name, int width, int height) const {
        RgbImage image;
        std::string error;
        EXPECT_TRUE(loadImageScaled(path(name), width, height, image, error)) << error;
        return image;
    }

    fs::path dir;
};

double meanLevel(const RgbImage& image) {
    double sum = 0;
    for (std::uint8_t v : image.rgb) {
        sum += v;
    }
    return sum / static_cast<double>(image.rgb.size());
}

TEST_F(NbtvTool, EncodeThenDecodeWritesEveryPictureAsTheCoreReceivesIt) {
    for (const ReceiverProfile* profile : {&nbtv48Profile(), &nbtv96Profile()}) {
        const std::string name = profile->name;
        const std::string wav = path(name + ".wav");
        fs::create_directories(dir / name);
        const ToolRun encode =
            nbtv("encode --program " + name + " --card bars --frames 3 -o " + wav, dir);
        ASSERT_EQ(encode.status, 0) << encode.errors;
        const ToolRun decode =
            nbtv("decode --program " + name + " -o " + path(name) + " " + wav, dir);
        ASSERT_EQ(decode.status, 0) << decode.errors;
        ASSERT_EQ(filesIn(name), 3u);

        std::vector<std::int16_t> samples;
        std::string error;
        ASSERT_TRUE(readAudioFile(wav, profile->sampleRate, samples, error)) << error;
        EXPECT_EQ(samples.size(),
                  3u * 3u * 256u * static_cast<std::size_t>(profile->pictureColumns));
        Receiver receiver(*profile);
        const auto expected = test::receive(receiver, samples);
        ASSERT_EQ(expected.size(), 3u);
        const PixelRect& crop = profile->geometry.pictureCrop;
        for (int i = 0; i < 3; ++i) {
            const RgbImage got = picture(name + "/picture-000" + std::to_string(i + 1) + ".png",
                                         crop.width, crop.height);
            EXPECT_EQ(got.rgb, expected[static_cast<std::size_t>(i)].rgb) << name << " " << i;
        }
    }
}

TEST_F(NbtvTool, Nbtv96rggbRoundTripsAndTheFrameFileHoldsEverySurface) {
    ASSERT_EQ(nbtv("encode --program nbtv96rggb --card bars --frames 3 -o " + path("rggb.wav"), dir)
                  .status,
              0);
    const ToolRun decode = nbtv("decode --program nbtv96rggb --frame-file " + path("rggb.tv") +
                                    " -o " + path("out") + " " + path("rggb.wav"),
                                dir);
    ASSERT_EQ(decode.status, 0) << decode.errors;
    ASSERT_EQ(filesIn("out"), 3u);

    std::vector<std::int16_t> samples;
    std::string error;
    ASSERT_TRUE(readAudioFile(path("rggb.wav"), 8000, samples, error)) << error;
    Receiver receiver(nbtv96rggbProfile());
    std::vector<std::uint8_t> records;
    for (std::size_t at = 0; at + 768 <= samples.size(); at += 768) {
        if (receiver.processBlock(std::span(samples).subspan(at, 768))) {
            const std::vector<std::uint8_t> record = frameRecord(receiver.pictureSurface());
            records.insert(records.end(), record.begin(), record.end());
        }
    }
    std::ifstream in(path("rggb.tv"), std::ios::binary);
    const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(file.size(), 3u * 252296u);
    EXPECT_TRUE(file == records) << "the frame file holds the surfaces as composed";
    // The pictures are the rows that carry lines: 288 x 216.
    const RgbImage card = test::enlarge(makeTestCard(TestCardKind::Bars, 96, 72), 3);
    EXPECT_GE(test::psnr(picture("out/picture-0002.png", 288, 216), card), 20.0);
}

TEST_F(NbtvTool, EveryProgramCanWriteAFrameFile) {
    ASSERT_EQ(nbtv("encode --program nbtv48 --frames 2 -o " + path("in.wav"), dir).status, 0);
    const ToolRun run = nbtv("decode --program nbtv48 --frame-file " + path("f.tv") + " -o " +
                                 path("out") + " " + path("in.wav"),
                             dir);
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(filesIn("out"), 2u);
    EXPECT_EQ(fs::file_size(path("f.tv")), 2u * 252296u);
}

TEST_F(NbtvTool, DecodeOptionsReachTheReceiver) {
    ASSERT_EQ(nbtv("encode --program nbtv48 --mono --card ramp --frames 6 --snr 30 --seed 9 "
                   "--freq-offset +2 -o " +
                       path("ramp.wav"),
                   dir)
                  .status,
              0);
    auto decode = [&](const std::string& folder, const std::string& options) {
        fs::create_directories(dir / folder);
        const ToolRun run = nbtv("decode --program nbtv48 --mono " + options + " -o " +
                                     path(folder) + " " + path("ramp.wav"),
                                 dir);
        EXPECT_EQ(run.status, 0) << options << ": " << run.errors;
        EXPECT_EQ(filesIn(folder), 6u) << options;
    };
    decode("plain", "--fine-tune -2");
    decode("bright", "--fine-tune -2 --brightness 200 --contrast 60");
    decode("surface", "--surface --noise-filter heavy --phase-click 20");
    EXPECT_GT(meanLevel(picture("bright/picture-0006.png", 144, 144)),
              meanLevel(picture("plain/picture-0006.png", 144, 144)) + 30);
    const RgbImage surface = picture("surface/picture-0006.png", 288, 219);
    EXPECT_EQ(surface.pixel(10, 10)[0], 0) << "the border of the surface is black";
    EXPECT_EQ(surface.pixel(150, 178)[0], 0) << "and so is the row below the picture";
}

TEST_F(NbtvTool, RateErrorIsCorrectedByTheRateOffset) {
    ASSERT_EQ(nbtv("encode --program nbtv48 --card bars --frames 2 --rate-error 0.005 -o " +
                       path("slow.wav"),
                   dir)
                  .status,
              0);
    const ToolRun run = nbtv("decode --program nbtv48 --rate-offset 0.005 -o " + path("out") + " " +
                                 path("slow.wav"),
                             dir);
    ASSERT_EQ(run.status, 0) << run.errors;
    ASSERT_EQ(filesIn("out"), 2u);
    const RgbImage card = test::enlarge(makeTestCard(TestCardKind::Bars, 48, 48), 3);
    EXPECT_GE(test::psnr(picture("out/picture-0002.png", 144, 144), card), 17.0);
}

TEST_F(NbtvTool, AnImageFileCanBeTheCard) {
    RgbImage image(200, 100);
    for (int y = 0; y < 100; ++y) {
        for (int x = 0; x < 200; ++x) {
            std::uint8_t* p = image.pixel(x, y);
            p[0] = x < 100 ? 230 : 20; // red on the left, blue on the right
            p[2] = x < 100 ? 20 : 230;
        }
    }
    std::string error;
    ASSERT_TRUE(writePng(path("card.png"), image, error)) << error;
    ASSERT_EQ(nbtv("encode --program nbtv48 --card " + path("card.png") + " --frames 2 -o " +
                       path("card.wav"),
                   dir)
                  .status,
              0);
    ASSERT_EQ(
        nbtv("decode --program nbtv48 -o " + path("out") + " " + path("card.wav"), dir).status, 0);
    const RgbImage got = picture("out/picture-0002.png", 144, 144);
    EXPECT_GT(got.pixel(30, 70)[0], 180);
    EXPECT_LT(got.pixel(30, 70)[2], 80);
    EXPECT_GT(got.pixel(110, 70)[2], 180);
    EXPECT_LT(got.pixel(110, 70)[0], 80);
}

TEST_F(NbtvTool, MistakesGiveOneLineAndNoFiles) {
    ASSERT_EQ(nbtv("encode --program nbtv48 --frames 1 -o " + path("ok.wav"), dir).status, 0);
    std::ofstream(path("notes.txt")) << "not audio\n";
    struct Case {
        std::string arguments;
        int status;
        std::string says;
    };
    const std::string out = " -o " + path("out") + " ";
    const std::vector<Case> cases = {
        {"decode --program nbtv48 --bogus" + out + path("ok.wav"), 2, "unknown option '--bogus'"},
        {"frobnicate", 2, "unknown command 'frobnicate'"},
        {"decode --program nbtv99" + out + path("ok.wav"), 2, "unknown program 'nbtv99'"},
        {"decode" + out + path("ok.wav"), 2, "--program is required"},
        {"decode --program nbtv48 -o " + path("missing") + " " + path("ok.wav"), 1,
         "does not exist"},
        {"decode --program nbtv48" + out + path("notes.txt"), 1, "notes.txt"},
        {"decode --program nbtv48" + out + path("absent.wav"), 1, "absent.wav"},
        {"decode --program nbtv48" + out, 2, "input audio file is required"},
        {"decode --program nbtv48 --noise-filter loud" + out + path("ok.wav"), 2, "loud"},
        {"decode --program nbtv48 --rate-offset 0.5" + out + path("ok.wav"), 2, "--rate-offset"},
        {"decode --program nbtv48 --brightness 300" + out + path("ok.wav"), 2, "--brightness"},
        {"decode --program nbtv48 --fine-tune nan" + out + path("ok.wav"), 2, "--fine-tune"},
        {"decode --program nbtv48 --phase-click", 2, "needs a value"},
        {"encode --program nbtv48 --frames 0 -o " + path("x.wav"), 2, "--frames"},
        {"encode --program nbtv48 --card " + path("notes.txt") + " -o " + path("x.wav"), 1,
         "notes.txt"},
        {"encode --program nbtv48 -o " + path("missing/x.wav"), 1, "missing/x.wav"},
        {"encode --program nbtv48 --snr abc -o " + path("x.wav"), 2, "--snr"},
        {"encode --program nbtv96rggb --mono -o " + path("x.wav"), 2, "colour only"},
        {"decode --program nbtv96rggb --mono" + out + path("ok.wav"), 2, "colour only"},
        {"decode --program nbtv48 --frame-file " + path("missing/f.tv") + out + path("ok.wav"), 1,
         "missing/f.tv"},
        {"decode --program nbtv48 --frame-file " + path("f.tv") + out + path("absent.wav"), 1,
         "absent.wav"},
    };
    for (const Case& c : cases) {
        const ToolRun run = nbtv(c.arguments, dir);
        EXPECT_EQ(run.status, c.status) << c.arguments << ": " << run.errors;
        EXPECT_EQ(run.errors.rfind("nbtv: ", 0), 0u) << c.arguments << ": " << run.errors;
        EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
        EXPECT_NE(run.errors.find(c.says), std::string::npos) << c.arguments << ": " << run.errors;
    }
    EXPECT_EQ(filesIn("out"), 0u);
    EXPECT_FALSE(fs::exists(path("x.wav")));
    EXPECT_FALSE(fs::exists(path("f.tv")));
}

} // namespace
} // namespace nbtv
