// The nbtv tool run as a user runs it: real processes, real files.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "Progress.h"
#include "io/AudioFile.h"
#include "io/AviWriter.h"
#include "io/FrameFile.h"
#include "io/FrameFileReader.h"
#include "io/ImageFile.h"
#include "profiles/ReceiverProfile.h"
#include "support/Reception.h"
#include "support/TuningSupport.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace nbtv {
namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status = -1;
    std::string errors; // standard error
};

// Standard input from `input` (none: /dev/null), standard output into `output` (none: dropped).
ToolRun nbtv(const std::string& arguments, const fs::path& folder, const std::string& input = "",
             const std::string& output = "") {
    const fs::path errFile = folder / "stderr.txt";
    const std::string command = std::string(NBTV_TOOL) + " " + arguments + " 2>" +
                                errFile.string() + " >" + (output.empty() ? "/dev/null" : output) +
                                " <" + (input.empty() ? "/dev/null" : input);
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

// --enhanced gives the same outputs, with the enhanced picture in them: as many pictures as
// the ordinary decode, and the card back all but exactly; --denoise needs --enhanced.
TEST_F(NbtvTool, EnhancedDecodeGivesTheCardBack) {
    const std::string wav = path("bars.wav");
    ASSERT_EQ(nbtv("encode --program nbtv48 --card bars --frames 3 -o " + wav, dir).status, 0);
    fs::create_directories(dir / "plain");
    fs::create_directories(dir / "enhanced");
    ASSERT_EQ(nbtv("decode --program nbtv48 -o " + path("plain") + " " + wav, dir).status, 0);
    const ToolRun decode = nbtv("decode --program nbtv48 --enhanced --denoise --surface --tv " +
                                    path("e.tv") + " -o " + path("enhanced") + " " + wav,
                                dir);
    ASSERT_EQ(decode.status, 0) << decode.errors;
    EXPECT_EQ(decode.errors, "nbtv: 3 pictures from '" + wav + "'\n");
    ASSERT_EQ(filesIn("enhanced"), filesIn("plain"));
    EXPECT_TRUE(fs::exists(path("e.tv")));

    const ReceiverProfile& profile = nbtv48Profile();
    const RgbImage surface =
        picture("enhanced/picture-0002.png", profile.surfaceWidth, profile.pictureSurfaceHeight);
    const PixelRect& crop = profile.geometry.pictureCrop;
    RgbImage shown(crop.width, crop.height);
    for (int y = 0; y < crop.height; ++y) {
        for (int x = 0; x < crop.width; ++x) {
            std::copy_n(surface.pixel(crop.x0 + x, crop.y0 + y), 3, shown.pixel(x, y));
        }
    }
    const RgbImage card = makeTestCard(TestCardKind::Bars, 48, 48);
    EXPECT_GE(test::psnr(shown, test::enlarge(card, 3)), 55.0);

    const ToolRun lonely =
        nbtv("decode --program nbtv48 --denoise -o " + path("out") + " " + wav, dir);
    EXPECT_EQ(lonely.status, 2);
    EXPECT_EQ(lonely.errors,
              "nbtv: --denoise works on the enhanced picture: give --enhanced too\n");
}

// --auto tunes a mistuned recording from a sound card running slow and says what it found as
// the last line, also when quiet; the pictures then equal a decode with those settings given.
TEST_F(NbtvTool, AutoDecodeFindsTheTuningAndSaysSo) {
    const RgbImage photo = test::syntheticPhoto(96, 72, 5);
    std::string error;
    ASSERT_TRUE(writePng(path("photo.png"), photo, error)) << error;
    const std::string wav = path("photo.wav");
    ASSERT_EQ(nbtv("encode --program nbtv96rggb --card " + path("photo.png") +
                       " --frames 5 --snr 25 --freq-offset -6.5 --rate-error 0.003 -o " + wav,
                   dir)
                  .status,
              0);
    const ToolRun run =
        nbtv("decode --program nbtv96rggb --auto --quiet -o " + path("out") + " " + wav, dir);
    ASSERT_EQ(run.status, 0) << run.errors;
    double fineTune = 0.0;
    double rateOffset = 0.0;
    int phaseBlock = -1;
    ASSERT_EQ(std::sscanf(run.errors.c_str(), "auto: fine-tune=%lf rate-offset=%lf phase-block=%d",
                          &fineTune, &rateOffset, &phaseBlock),
              3)
        << run.errors;
    EXPECT_EQ(run.errors.find('\n'), run.errors.size() - 1) << "one line only when quiet";
    EXPECT_NEAR(fineTune, 6.5, 0.1);
    EXPECT_NEAR(rateOffset, 0.003, 1e-4);
    EXPECT_GE(phaseBlock, 0);
    EXPECT_LT(phaseBlock, 64);
    ASSERT_GE(filesIn("out"), 4u);
    // Once tuned, the picture is the photo (colours and field boundary are right here).
    const RgbImage last = picture("out/picture-0004.png", 288, 216);
    EXPECT_GE(test::psnr(last, test::enlarge(photo, 3)), 17.0);
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
        {"decode --program nbtv48 -o " + path("missing/deeper") + " " + path("ok.wav"), 1,
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
        {"transmit --program nbtv48 --frames 2 --seconds 1", 2, "give one of them"},
        {"transmit --program nbtv96rggb --mono", 2, "colour only"},
        {"transmit --program nbtv48 --level 3", 2, "--level"},
        {"transmit --program nbtv48 --ptt-port /dev/null --ptt DSR", 2, "RTS or DTR"},
        {"transmit --program nbtv48 --ptt RTS", 2, "--ptt-port DEVICE and --ptt"},
        {"transmit --program nbtv48 -o " + path("missing/x.wav"), 1, "missing/x.wav"},
        // A camera that is not there, through libavdevice's V4L2 input.
        {"transmit --program nbtv48 --card /dev/video99 -o " + path("x.wav"), 1,
         "cannot open v4l2 input '/dev/video99'"},
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

std::vector<std::uint8_t> fileBytes(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string fileText(const std::string& name) {
    std::ifstream in(name);
    return {std::istreambuf_iterator<char>(in), {}};
}

// What an AVI file holds, read back with libavformat/libavcodec: the video stream's size, codec,
// frame rate and every picture decoded (top row first, bytes blue, green, red, x).
struct AviContents {
    int width = 0;
    int height = 0;
    std::string codec;
    AVRational frameRate{0, 1};
    std::vector<std::vector<std::uint32_t>> pictures;
};

AviContents readAvi(const std::string& name) {
    AviContents contents;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, name.c_str(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << "cannot open " << name;
        return contents;
    }
    std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> closeFormat(
        &format, avformat_close_input);
    EXPECT_GE(avformat_find_stream_info(format, nullptr), 0);
    const AVCodec* codec = nullptr;
    const int stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream < 0 || codec == nullptr) {
        ADD_FAILURE() << name << " has no video stream";
        return contents;
    }
    const AVStream* st = format->streams[stream];
    contents.width = st->codecpar->width;
    contents.height = st->codecpar->height;
    contents.codec = codec->name;
    contents.frameRate = st->avg_frame_rate;

    AVCodecContext* decoder = avcodec_alloc_context3(codec);
    std::unique_ptr<AVCodecContext*, void (*)(AVCodecContext**)> freeDecoder(&decoder,
                                                                             avcodec_free_context);
    EXPECT_GE(avcodec_parameters_to_context(decoder, st->codecpar), 0);
    EXPECT_GE(avcodec_open2(decoder, codec, nullptr), 0);
    AVPacket* packet = av_packet_alloc();
    std::unique_ptr<AVPacket*, void (*)(AVPacket**)> freePacket(&packet, av_packet_free);
    AVFrame* frame = av_frame_alloc();
    std::unique_ptr<AVFrame*, void (*)(AVFrame**)> freeFrame(&frame, av_frame_free);
    auto takeFrames = [&] {
        while (avcodec_receive_frame(decoder, frame) >= 0) {
            std::vector<std::uint32_t> picture;
            // Only the 32-bit formats are compared pixel by pixel.
            if (frame->format == AV_PIX_FMT_BGRA || frame->format == AV_PIX_FMT_BGR0) {
                for (int y = 0; y < frame->height; ++y) {
                    const auto* row = reinterpret_cast<const std::uint32_t*>(
                        frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0]);
                    picture.insert(picture.end(), row, row + frame->width);
                }
            }
            contents.pictures.push_back(std::move(picture));
        }
    };
    while (av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == stream) {
            EXPECT_GE(avcodec_send_packet(decoder, packet), 0);
            takeFrames();
        }
        av_packet_unref(packet);
    }
    avcodec_send_packet(decoder, nullptr);
    takeFrames();
    return contents;
}

// The 16-bit samples of a WAV file the tool wrote, as raw little-endian bytes.
void writeRaw(const std::string& wav, int rate, const std::string& raw) {
    std::vector<std::int16_t> samples;
    std::string error;
    ASSERT_TRUE(readAudioFile(wav, rate, samples, error)) << error;
    std::ofstream out(raw, std::ios::binary);
    for (const std::int16_t v : samples) {
        const auto u = static_cast<std::uint16_t>(v);
        out.put(static_cast<char>(u & 0xff)).put(static_cast<char>(u >> 8));
    }
}

TEST_F(NbtvTool, StandardInputDecodesAsTheFileDoes) {
    ASSERT_EQ(
        nbtv("encode --program nbtv96 --card ramp --frames 2 -o " + path("in.wav"), dir).status, 0);
    writeRaw(path("in.wav"), 8000, path("in.raw"));
    for (const std::string folder : {"file", "wav", "raw"}) {
        fs::create_directories(dir / folder);
    }
    const std::string decode = "decode --program nbtv96 -o ";
    ASSERT_EQ(nbtv(decode + path("file") + " " + path("in.wav"), dir).status, 0);
    const ToolRun wav = nbtv(decode + path("wav") + " -", dir, path("in.wav"));
    ASSERT_EQ(wav.status, 0) << wav.errors;
    EXPECT_NE(wav.errors.find("standard input"), std::string::npos) << wav.errors;
    const ToolRun raw = nbtv(decode + path("raw") + " --raw -", dir, path("in.raw"));
    ASSERT_EQ(raw.status, 0) << raw.errors;
    ASSERT_EQ(filesIn("file"), 2u);
    for (const std::string folder : {"wav", "raw"}) {
        ASSERT_EQ(filesIn(folder), 2u) << folder;
        for (const std::string picture : {"/picture-0001.png", "/picture-0002.png"}) {
            EXPECT_EQ(fileBytes(path(folder + picture)), fileBytes(path("file" + picture)))
                << folder << picture;
        }
    }
}

TEST_F(NbtvTool, AviHoldsEveryPictureSurfaceAsTheProgramsRecordIt) {
    ASSERT_EQ(
        nbtv("encode --program nbtv48 --card bars --frames 3 -o " + path("in.wav"), dir).status, 0);
    // No -o: the AVI and the frame file are outputs enough.
    const ToolRun run = nbtv("decode --program nbtv48 --avi " + path("bars.avi") + " --tv " +
                                 path("bars.tv") + " " + path("in.wav"),
                             dir);
    ASSERT_EQ(run.status, 0) << run.errors;
    const AviContents avi = readAvi(path("bars.avi"));
    EXPECT_EQ(avi.width, 288);
    EXPECT_EQ(avi.height, 219);
    EXPECT_EQ(avi.codec, "rawvideo");
    EXPECT_EQ(av_cmp_q(avi.frameRate, AVRational{10, 1}), 0) << "ten frames a second by default";
    ASSERT_EQ(avi.pictures.size(), 3u);

    // The programs record the picture view from its row 1 down: surface row y + 1 at row y, and
    // the view's undrawn last row at the bottom.
    const std::vector<std::uint8_t> tv = fileBytes(path("bars.tv"));
    ASSERT_EQ(tv.size(), 3u * 252296u);
    for (std::size_t i = 0; i < 3; ++i) {
        const std::uint8_t* record = tv.data() + i * 252296u + 8;
        const std::vector<std::uint32_t>& got = avi.pictures[i];
        ASSERT_EQ(got.size(), 288u * 219u);
        for (std::size_t y = 0; y < 219; ++y) {
            for (std::size_t x = 0; x < 288; ++x) {
                std::uint32_t want = 0;
                if (y + 1 < 219) {
                    std::memcpy(&want, record + ((y + 1) * 288 + x) * 4, 4);
                }
                ASSERT_EQ(got[y * 288 + x] & 0xffffffu, want) << i << " " << x << "," << y;
            }
        }
    }
    EXPECT_NE(std::count(avi.pictures[2].begin(), avi.pictures[2].end(), 0u),
              static_cast<std::ptrdiff_t>(avi.pictures[2].size()))
        << "the pictures are not black";
}

TEST_F(NbtvTool, AviCodecAndFrameRateAreChosen) {
    ASSERT_EQ(nbtv("encode --program nbtv96rggb --frames 2 -o " + path("in.wav"), dir).status, 0);
    const ToolRun run = nbtv("decode --program nbtv96rggb --quiet --avi " + path("c.avi") +
                                 " --codec ffv1 --fps 25 " + path("in.wav"),
                             dir);
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.errors, "") << "--quiet says nothing";
    const AviContents avi = readAvi(path("c.avi"));
    EXPECT_EQ(avi.codec, "ffv1");
    EXPECT_EQ(av_cmp_q(avi.frameRate, AVRational{25, 1}), 0);
    EXPECT_EQ(avi.width, 288);
    EXPECT_EQ(avi.height, 219);
    EXPECT_EQ(avi.pictures.size(), 2u);
}

TEST_F(NbtvTool, FrameFileUnderEitherNameHoldsWholeRecords) {
    ASSERT_EQ(nbtv("encode --program nbtv96 --frames 3 -o " + path("in.wav"), dir).status, 0);
    ASSERT_EQ(
        nbtv("decode --program nbtv96 --tv " + path("a.tv") + " " + path("in.wav"), dir).status, 0);
    ASSERT_EQ(
        nbtv("decode --program nbtv96 --frame-file " + path("b.tv") + " " + path("in.wav"), dir)
            .status,
        0);
    const auto size = fs::file_size(path("a.tv"));
    EXPECT_GT(size, 0u);
    EXPECT_EQ(size % 252296u, 0u);
    EXPECT_EQ(fileBytes(path("a.tv")), fileBytes(path("b.tv")));
}

TEST_F(NbtvTool, ProgressStaysOffTheLogWhenNotATerminal) {
    ASSERT_EQ(nbtv("encode --program nbtv48 --frames 2 -o " + path("in.wav"), dir).status, 0);
    const ToolRun plain =
        nbtv("decode --program nbtv48 -o " + path("out") + " " + path("in.wav"), dir);
    ASSERT_EQ(plain.status, 0) << plain.errors;
    EXPECT_EQ(plain.errors.find('\r'), std::string::npos) << plain.errors;
    EXPECT_EQ(plain.errors.find("real time"), std::string::npos) << plain.errors;
    EXPECT_EQ(std::count(plain.errors.begin(), plain.errors.end(), '\n'), 1) << "a summary only";
    const ToolRun quiet =
        nbtv("decode --program nbtv48 --quiet --overwrite -o " + path("out") + " " + path("in.wav"),
             dir);
    ASSERT_EQ(quiet.status, 0) << quiet.errors;
    EXPECT_EQ(quiet.errors, "");
}

TEST(NbtvProgress, TextGivesPercentageFramesAndSpeed) {
    EXPECT_EQ(cli::progressText(0.5, 12, 2345.4), "  50%  12 frames  2345x real time");
    EXPECT_EQ(cli::progressText(std::nullopt, 1, 3.0), "1 frame  3x real time");
    EXPECT_EQ(cli::progressText(1.7, 0, 0.0), " 100%  0 frames  0x real time");
}

TEST_F(NbtvTool, HelpAndVersionGoToStandardOutput) {
    struct Case {
        std::string arguments;
        std::string says;
    };
    const std::vector<Case> cases = {
        {"--help", "nbtv COMMAND --help"},
        {"decode --help", "--avi FILE"},
        {"decode --program nbtv48 -h", "--codec NAME"},
        {"encode --help", "--card"},
        {"--version", std::string("nbtv ") + NBTV_VERSION + "\n"},
    };
    for (const Case& c : cases) {
        const ToolRun run = nbtv(c.arguments, dir, "", path("stdout.txt"));
        EXPECT_EQ(run.status, 0) << c.arguments;
        EXPECT_EQ(run.errors, "") << c.arguments;
        EXPECT_NE(fileText(path("stdout.txt")).find(c.says), std::string::npos) << c.arguments;
    }
    const ToolRun bare = nbtv("", dir, "", path("stdout.txt"));
    EXPECT_EQ(bare.status, 2) << "no command is a usage error";
    EXPECT_NE(bare.errors.find("usage:"), std::string::npos);
}

TEST_F(NbtvTool, BadDecodeInputsGiveOneLineAndNoOutputs) {
    ASSERT_EQ(nbtv("encode --program nbtv48 --frames 2 -o " + path("ok.wav"), dir).status, 0);
    std::ofstream(path("notes.wav")) << "not audio\n";
    std::ofstream(path("empty.raw")).close();
    struct Case {
        std::string arguments;
        std::string input; // standard input
        int status;
        std::string says;
    };
    const std::string outputs = " --avi " + path("x.avi") + " --tv " + path("x.tv") + " ";
    const std::vector<Case> cases = {
        {"decode --program nbtv48" + outputs + "-", path("empty.raw"), 1, "standard input"},
        {"decode --program nbtv48 --raw" + outputs + "-", path("empty.raw"), 1,
         "standard input holds no audio"},
        {"decode --program nbtv48" + outputs + path("notes.wav"), "", 1, "notes.wav"},
        {"decode --program nbtv48 --avi " + path("x.avi") + " --fps 100000 " + path("ok.wav"), "",
         2, "--fps"},
        {"decode --program nbtv48 --avi " + path("x.avi") + " --fps ten " + path("ok.wav"), "", 2,
         "--fps"},
        {"decode --program nbtv48 --avi " + path("x.avi") + " --codec divx " + path("ok.wav"), "",
         2, "unknown codec 'divx'"},
        {"decode --program nbtv48 --codec ffv1 -o " + path("out") + " " + path("ok.wav"), "", 2,
         "--avi"},
        {"decode --program nbtv48 " + path("ok.wav"), "", 2, "an output is required"},
        {"decode --program nbtv48 --avi " + path("missing/x.avi") + " " + path("ok.wav"), "", 1,
         "missing/x.avi"},
        {"decode --program nbtv48 --tv " + path("a.tv") + " --frame-file " + path("b.tv") + " " +
             path("ok.wav"),
         "", 2, "--frame-file"},
    };
    for (const Case& c : cases) {
        const ToolRun run = nbtv(c.arguments, dir, c.input);
        EXPECT_EQ(run.status, c.status) << c.arguments << ": " << run.errors;
        EXPECT_EQ(run.errors.rfind("nbtv: ", 0), 0u) << c.arguments << ": " << run.errors;
        EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
        EXPECT_NE(run.errors.find(c.says), std::string::npos) << c.arguments << ": " << run.errors;
    }
    // Nothing half-made is left, under its own name or a hidden one.
    EXPECT_EQ(filesIn("out"), 0u);
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "out" || name == "ok.wav" || name == "notes.wav" || name == "empty.raw")
            << name;
    }
}

TEST_F(NbtvTool, ANumberedImageSequenceSendsOnePictureAFrame) {
    // Three frames: red, green and blue all over.
    for (int n = 1; n <= 3; ++n) {
        RgbImage image(64, 64);
        for (std::size_t i = 0; i < image.rgb.size(); i += 3) {
            image.rgb[i + static_cast<std::size_t>(n - 1)] = 220;
        }
        char name[32];
        std::snprintf(name, sizeof name, "frame-%03d.png", n);
        std::string error;
        ASSERT_TRUE(writePng(path(name), image, error)) << error;
    }
    const ToolRun encode = nbtv(
        "encode --program nbtv48 --card " + path("frame-%03d.png") + " -o " + path("seq.wav"), dir);
    ASSERT_EQ(encode.status, 0) << encode.errors;
    std::vector<std::int16_t> samples;
    std::string error;
    ASSERT_TRUE(readAudioFile(path("seq.wav"), 11025, samples, error)) << error;
    EXPECT_EQ(samples.size(), 3u * 3u * 256u * 48u) << "one frame a picture";

    ASSERT_EQ(nbtv("decode --program nbtv48 -o " + path("out") + " " + path("seq.wav"), dir).status,
              0);
    ASSERT_EQ(filesIn("out"), 3u);
    // Each picture is mostly its own primary colour (the edges soften, so the middle is read).
    for (int n = 1; n <= 3; ++n) {
        const RgbImage got = picture("out/picture-000" + std::to_string(n) + ".png", 144, 144);
        const std::uint8_t* middle = got.pixel(72, 72);
        const int own = n - 1;
        EXPECT_GT(middle[own], 150) << n;
        EXPECT_LT(middle[(own + 1) % 3], 90) << n;
        EXPECT_LT(middle[(own + 2) % 3], 90) << n;
    }
}

TEST_F(NbtvTool, FramesRepeatASequenceFromItsStart) {
    for (int n = 1; n <= 2; ++n) {
        RgbImage image(48, 48);
        std::fill(image.rgb.begin(), image.rgb.end(), static_cast<std::uint8_t>(n == 1 ? 30 : 220));
        std::string error;
        ASSERT_TRUE(writePng(path("f" + std::to_string(n) + ".png"), image, error)) << error;
    }
    ASSERT_EQ(nbtv("encode --program nbtv96 --mono --frames 4 --card " + path("f%d.png") + " -o " +
                       path("seq.wav"),
                   dir)
                  .status,
              0);
    ASSERT_EQ(nbtv("decode --program nbtv96 --mono -o " + path("out") + " " + path("seq.wav"), dir)
                  .status,
              0);
    ASSERT_EQ(filesIn("out"), 4u);
    const double dark = meanLevel(picture("out/picture-0003.png", 288, 216));
    const double light = meanLevel(picture("out/picture-0004.png", 288, 216));
    EXPECT_GT(light, dark + 100) << "frame 3 is the first picture again, frame 4 the second";
}

TEST(NbtvTransmitSequence, RepeatingOnePictureGivesWhatTransmitGives) {
    const ReceiverProfile& profile = nbtv96rggbProfile();
    const RgbImage detail =
        makeTestCard(TestCardKind::Detail, profile.pictureColumns, profile.pictureLines);
    const RgbImage bars =
        makeTestCard(TestCardKind::Bars, profile.pictureColumns, profile.pictureLines);
    TransmitOptions options;
    options.frames = 3;
    options.channel.snrDb = 20.0;
    const std::vector<std::int16_t> still = transmit(profile, detail, options);
    EXPECT_EQ(transmitSequence(profile, {detail, detail}, options), still);
    const std::vector<std::int16_t> moving = transmitSequence(profile, {detail, bars}, options);
    EXPECT_EQ(moving.size(), still.size());
    EXPECT_NE(moving, still);
    EXPECT_THROW(transmitSequence(profile, {}, options), std::exception);
}

TEST_F(NbtvTool, EncodeToStandardOutputWritesTheSameWav) {
    ASSERT_EQ(
        nbtv("encode --program nbtv96 --card ramp --frames 2 -o " + path("file.wav"), dir).status,
        0);
    const ToolRun piped =
        nbtv("encode --program nbtv96 --card ramp --frames 2 -o -", dir, "", path("piped.wav"));
    ASSERT_EQ(piped.status, 0) << piped.errors;
    const std::vector<std::uint8_t> file = fileBytes(path("file.wav"));
    EXPECT_GT(file.size(), 44u);
    EXPECT_EQ(fileBytes(path("piped.wav")), file);
}

TEST_F(NbtvTool, AnUnreadableSequenceOrVideoGivesOneLine) {
    std::ofstream(path("clip.mp4")) << "not a video\n";
    for (const std::string& card : {path("none-%03d.png"), path("clip.mp4")}) {
        const ToolRun run =
            nbtv("encode --program nbtv48 --card " + card + " -o " + path("x.wav"), dir);
        EXPECT_EQ(run.status, 1) << card;
        EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
        EXPECT_NE(run.errors.find(card), std::string::npos) << run.errors;
    }
    EXPECT_FALSE(fs::exists(path("x.wav")));
}

TEST_F(NbtvTool, AVideoFileSendsOnePictureAFrame) {
    // Two frames of a small uncompressed AVI: dark, then light.
    {
        AviWriter writer;
        ASSERT_EQ(writer.open(path("clip.avi"), 32, 24, 10, AviCompression{}),
                  AviWriter::Result::Ok)
            << writer.error();
        for (const std::uint32_t grey : {0x202020u, 0xe0e0e0u}) {
            const std::vector<std::uint32_t> rows(32u * 24u, grey);
            ASSERT_TRUE(
                writer.writeFrame(reinterpret_cast<const std::uint8_t*>(rows.data()), 32 * 4));
        }
        ASSERT_TRUE(writer.finish()) << writer.error();
    }
    const ToolRun encode = nbtv(
        "encode --program nbtv48 --mono --card " + path("clip.avi") + " -o " + path("v.wav"), dir);
    ASSERT_EQ(encode.status, 0) << encode.errors;
    ASSERT_EQ(
        nbtv("decode --program nbtv48 --mono -o " + path("out") + " " + path("v.wav"), dir).status,
        0);
    ASSERT_EQ(filesIn("out"), 2u) << "one frame a picture of the video";
    EXPECT_GT(meanLevel(picture("out/picture-0002.png", 144, 144)),
              meanLevel(picture("out/picture-0001.png", 144, 144)) + 100);
}

// Runs the tool with standard error on a terminal (a pseudo-terminal) and returns what it showed.
std::string runOnTerminal(const std::vector<std::string>& arguments, int& status) {
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        std::vector<char*> argv{const_cast<char*>(NBTV_TOOL)};
        for (const std::string& a : arguments) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(NBTV_TOOL, argv.data());
        ::_exit(127);
    }
    std::string shown;
    if (child < 0) {
        ADD_FAILURE() << "forkpty failed";
        return shown;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got <= 0) {
            break; // EIO once the tool has exited and closed the terminal
        }
        shown.append(buffer, static_cast<std::size_t>(got));
    }
    int raw = 0;
    ::waitpid(child, &raw, 0);
    ::close(master);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return shown;
}

TEST_F(NbtvTool, ProgressShowsOnATerminalUnlessQuiet) {
    ASSERT_EQ(nbtv("encode --program nbtv48 --frames 3 -o " + path("in.wav"), dir).status, 0);
    int status = -1;
    const std::string shown = runOnTerminal(
        {"decode", "--program", "nbtv48", "--tv", path("a.tv"), path("in.wav")}, status);
    EXPECT_EQ(status, 0) << shown;
    EXPECT_NE(shown.find(" 100%  3 frames  "), std::string::npos) << shown;
    EXPECT_NE(shown.find("x real time"), std::string::npos) << shown;
    const std::string quiet = runOnTerminal(
        {"decode", "--program", "nbtv48", "--quiet", "--tv", path("b.tv"), path("in.wav")}, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(quiet, "");
    EXPECT_EQ(fileBytes(path("a.tv")), fileBytes(path("b.tv")));
}

// Entries of the test folder whose names begin with a dot: temporary files left behind.
std::vector<std::string> hiddenFiles(const fs::path& folder) {
    std::vector<std::string> hidden;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind('.', 0) == 0) {
            hidden.push_back(name);
        }
    }
    return hidden;
}

// A shell command line's exit status (for pipes and process substitution).
int shell(const std::string& command) {
    const int raw = std::system(("bash -c '" + command + "'").c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// Opens the named pipe `fifo` for writing once a reader has opened it: -1 when none did within a
// minute. The pipe stays non-blocking.
int openPipeForWriting(const std::string& fifo) {
    for (int tries = 0; tries < 6000; ++tries) {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            return fd;
        }
        ::usleep(10000); // ENXIO: no reader yet
    }
    return -1;
}

// Writes all of `bytes` into the pipe, waiting at most a minute for the reader to take them.
bool writeToPipe(int fd, const std::uint8_t* bytes, std::size_t size) {
    std::size_t at = 0;
    for (int waits = 0; at < size && waits < 6000;) {
        const ssize_t done = ::write(fd, bytes + at, size - at);
        if (done > 0) {
            at += static_cast<std::size_t>(done);
        } else if (done < 0 && errno == EAGAIN) {
            ::usleep(10000);
            ++waits;
        } else {
            break; // the reader is gone
        }
    }
    return at == size;
}

// Feeds `bytes` into the named pipe `fifo` once a reader has opened it, then closes it.
std::thread feedPipe(const std::string& fifo, std::vector<std::uint8_t> bytes) {
    return std::thread([fifo, bytes = std::move(bytes)] {
        const int fd = openPipeForWriting(fifo);
        if (fd >= 0) {
            writeToPipe(fd, bytes.data(), bytes.size());
            ::close(fd);
        }
    });
}

void expectSamePictures(const fs::path& a, const fs::path& b, int count) {
    for (int n = 1; n <= count; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "picture-%04d.png", n);
        ASSERT_TRUE(fs::exists(b / name)) << (b / name);
        EXPECT_EQ(fileBytes((a / name).string()), fileBytes((b / name).string())) << (b / name);
    }
    char next[32];
    std::snprintf(next, sizeof next, "picture-%04d.png", count + 1);
    EXPECT_FALSE(fs::exists(b / next));
}

TEST_F(NbtvTool, OutputsNeverTakeThePlaceOfAnInputOrOfWhatIsNotARegularFile) {
    ASSERT_EQ(nbtv("encode --program nbtv48 --frames 2 -o " + path("in.wav"), dir).status, 0);
    std::string error;
    ASSERT_TRUE(writePng(path("card.png"), makeTestCard(TestCardKind::Bars, 48, 48), error));
    const std::vector<std::uint8_t> input = fileBytes(path("in.wav"));
    ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0644), 0);
    fs::create_directories(dir / "folder.avi");
    fs::create_symlink(path("in.wav"), path("link.tv"));
    std::ofstream(path("taken.tv")) << "taken";
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::mknod(path("node").c_str(), S_IFCHR | 0644, ::makedev(1, 3)), 0);
    }
    struct Case {
        std::string arguments;
        int status;
        std::string says;
    };
    const std::string in = " " + path("in.wav");
    std::vector<Case> cases = {
        {"decode --program nbtv48 --avi" + in + in, 1, "in.wav' is an input"},
        {"decode --program nbtv48 --overwrite --avi" + in + in, 1, "in.wav' is an input"},
        {"decode --program nbtv48 -y --tv " + path("link.tv") + in, 1, "link.tv' is an input"},
        {"decode --program nbtv48 --tv " + path("pipe") + in, 1, "pipe' is not a regular file"},
        {"decode --program nbtv48 -y --avi " + path("folder.avi") + in, 1, "is a folder"},
        {"decode --program nbtv48 --tv " + path("taken.tv") + in, 1,
         "taken.tv' already exists (--overwrite replaces it)"},
        {"decode --program nbtv48 --tv " + path("a.tv") + " --avi " + dir.string() + "/./a.tv" + in,
         2, "named for two outputs"},
        {"decode --program nbtv48 -o" + in + in, 1, "in.wav' is not a folder"},
        {"encode --program nbtv48 --card " + path("card.png") + " -y -o " + path("card.png"), 1,
         "card.png' is an input"},
        {"encode --program nbtv48 -o " + path("taken.tv"), 1, "already exists"},
    };
    if (root) {
        cases.push_back(
            {"decode --program nbtv48 -y --tv " + path("node") + in, 1, "is not a regular file"});
    }
    for (const Case& c : cases) {
        const ToolRun run = nbtv(c.arguments, dir);
        EXPECT_EQ(run.status, c.status) << c.arguments << ": " << run.errors;
        EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
        EXPECT_NE(run.errors.find(c.says), std::string::npos) << c.arguments << ": " << run.errors;
    }
    // Nothing was touched: what was there still is, as it was, and nothing else appeared.
    EXPECT_EQ(fileBytes(path("in.wav")), input);
    EXPECT_EQ(fileText(path("taken.tv")), "taken");
    EXPECT_TRUE(fs::is_fifo(path("pipe")));
    EXPECT_TRUE(fs::is_symlink(path("link.tv")));
    EXPECT_TRUE(fs::is_empty(dir / "folder.avi"));
    if (root) {
        EXPECT_TRUE(fs::is_character_file(path("node")));
    }
    EXPECT_FALSE(fs::exists(path("a.tv")));
    EXPECT_TRUE(hiddenFiles(dir).empty());

    // Asked to, an output replaces a regular file (and only that).
    const ToolRun replaced =
        nbtv("decode --program nbtv48 --overwrite --tv " + path("taken.tv") + in, dir);
    EXPECT_EQ(replaced.status, 0) << replaced.errors;
    EXPECT_EQ(fs::file_size(path("taken.tv")), 2 * frameRecordBytes);
    EXPECT_EQ(nbtv("encode --program nbtv48 --frames 1 -y -o " + path("taken.tv"), dir).status, 0);
    EXPECT_EQ(nbtv("decode --program nbtv48 -o " + path("pictures") + in, dir).status, 0)
        << "the folder is made";
    EXPECT_EQ(filesIn("pictures"), 2u);
    const ToolRun again = nbtv("decode --program nbtv48 -o " + path("pictures") + in, dir);
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.errors.find("already holds pictures"), std::string::npos) << again.errors;
    EXPECT_EQ(nbtv("decode --program nbtv48 -y -o " + path("pictures") + in, dir).status, 0);
}

TEST_F(NbtvTool, ASignalLeavesNoTemporaryFileAndEndsAsTheSignalDoes) {
    ASSERT_EQ(nbtv("encode --program nbtv48 --frames 8 -o " + path("in.wav"), dir).status, 0);
    const std::vector<std::uint8_t> signal = fileBytes(path("in.wav"));
    std::signal(SIGPIPE, SIG_IGN); // a write to the pipe of a tool that is gone only fails
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        fs::create_directories(dir / "pictures");
        int feed[2];
        ASSERT_EQ(::pipe2(feed, O_CLOEXEC), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(feed[0], STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            ::close(feed[1]);
            const std::string avi = path("x.avi");
            const std::string tv = path("x.tv");
            const std::string pictures = path("pictures");
            ::execl(NBTV_TOOL, NBTV_TOOL, "decode", "--program", "nbtv48", "--avi", avi.c_str(),
                    "--tv", tv.c_str(), "-o", pictures.c_str(), "-", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ASSERT_GT(child, 0);
        ::close(feed[0]);
        // Half the signal, and the pipe kept open: the decode waits for more, mid-way.
        const int fd = feed[1];
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        EXPECT_TRUE(writeToPipe(fd, signal.data(), signal.size() / 2))
            << "the tool stopped reading";
        bool writing = false;
        for (int tries = 0; tries < 3000 && !writing; ++tries) {
            writing = hiddenFiles(dir).size() >= 2 && filesIn("pictures") >= 1;
            ::usleep(10000);
        }
        EXPECT_TRUE(writing) << "the decode never got under way";
        ::kill(child, sig);
        int raw = 0;
        ASSERT_EQ(::waitpid(child, &raw, 0), child);
        ::close(fd);
        EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == sig) << raw;
        const std::vector<std::string> left = hiddenFiles(dir);
        EXPECT_TRUE(left.empty()) << left.front();
        EXPECT_FALSE(fs::exists(path("x.avi")));
        EXPECT_FALSE(fs::exists(path("x.tv")));
        fs::remove_all(path("pictures"));
    }
}

TEST_F(NbtvTool, RecordingsCutShortAreReadAsFarAsTheyGo) {
    ASSERT_EQ(nbtv("encode --program nbtv48 --frames 3 -o " + path("in.wav"), dir).status, 0);
    // What a recorder killed before it could write its sizes leaves: a header promising
    // 2147479552 bytes of samples.
    std::vector<std::uint8_t> bytes = fileBytes(path("in.wav"));
    const auto putLe32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
        }
    };
    putLe32(4, 0x7ffff000u + 36u);
    putLe32(40, 0x7ffff000u);
    {
        std::ofstream out(path("killed.wav"), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    ASSERT_EQ(
        nbtv("decode --program nbtv48 -o " + path("whole") + " " + path("in.wav"), dir).status, 0);
    const ToolRun file =
        nbtv("decode --program nbtv48 -o " + path("file") + " " + path("killed.wav"), dir);
    EXPECT_EQ(file.status, 0) << file.errors;
    const ToolRun piped =
        nbtv("decode --program nbtv48 -o " + path("piped") + " -", dir, path("killed.wav"));
    EXPECT_EQ(piped.status, 0) << piped.errors;
    EXPECT_EQ(shell("cat " + path("killed.wav") + " | " + NBTV_TOOL +
                    " decode --program nbtv48 --quiet -o " + path("streamed") + " - 2>" +
                    path("streamed.txt")),
              0);
    const std::string streamed = fileText(path("streamed.txt"));
    const std::string told = "is shorter than its header says (" +
                             std::to_string(bytes.size() - 44) + " bytes of samples, not " +
                             "2147479552)";
    for (const std::string& errors : {file.errors, piped.errors, streamed}) {
        EXPECT_NE(errors.find(told), std::string::npos) << errors;
        EXPECT_EQ(errors.find(told), errors.rfind(told)) << "said once: " << errors;
    }
    for (const std::string folder : {"file", "piped", "streamed"}) {
        expectSamePictures(dir / "whole", dir / folder, 3);
    }
    ASSERT_EQ(nbtv("info " + path("in.wav"), dir, "", path("whole.txt")).status, 0);
    const std::string whole = fileText(path("whole.txt"));
    const std::string duration = whole.substr(whole.find("duration: "), 17);
    for (const std::string source : {"", "cat "}) {
        const std::string info = path("info.txt");
        EXPECT_EQ(shell(source.empty()
                            ? std::string(NBTV_TOOL) + " info " + path("killed.wav") + " >" + info
                            : source + path("killed.wav") + " | " + NBTV_TOOL + " info - >" + info),
                  0);
        const std::string said = fileText(info);
        EXPECT_NE(said.find("truncated: its header gives 2147479552 bytes of samples, the file "
                            "holds " +
                            std::to_string(bytes.size() - 44)),
                  std::string::npos)
            << said;
        EXPECT_NE(said.find(duration), std::string::npos) << duration << " in " << said;
        EXPECT_NE(said.find("suits: nbtv48"), std::string::npos) << said;
    }

    // An uncompressed AVI cut inside its third frame: the two whole ones are there.
    ASSERT_EQ(
        nbtv("decode --program nbtv48 --avi " + path("a.avi") + " " + path("in.wav"), dir).status,
        0);
    std::vector<std::uint8_t> avi = fileBytes(path("a.avi"));
    avi.resize(avi.size() - frameRecordPixelBytes / 2);
    {
        std::ofstream out(path("cut.avi"), std::ios::binary);
        out.write(reinterpret_cast<const char*>(avi.data()),
                  static_cast<std::streamsize>(avi.size()));
    }
    ASSERT_EQ(nbtv("info " + path("cut.avi"), dir, "", path("cut.txt")).status, 0);
    EXPECT_NE(fileText(path("cut.txt")).find("frames: 2 (its header gives 3"), std::string::npos)
        << fileText(path("cut.txt"));
    const ToolRun cut = nbtv("convert " + path("cut.avi") + " " + path("cut.tv"), dir);
    EXPECT_EQ(cut.status, 0) << cut.errors;
    EXPECT_NE(cut.errors.find("1 incomplete frame left out"), std::string::npos) << cut.errors;
    ASSERT_EQ(nbtv("convert " + path("a.avi") + " " + path("a.tv"), dir).status, 0);
    std::vector<std::uint8_t> first = fileBytes(path("a.tv"));
    first.resize(2 * frameRecordBytes);
    EXPECT_EQ(fileBytes(path("cut.tv")), first);
}

TEST_F(NbtvTool, PipesAndStandardInputAreReadOnceAsFilesAre) {
    ASSERT_EQ(nbtv("encode --program nbtv48 --frames 2 -o " + path("in.wav"), dir).status, 0);
    ASSERT_EQ(nbtv("decode --program nbtv48 -o " + path("file") + " " + path("in.wav"), dir).status,
              0);
    const std::string decode = std::string(NBTV_TOOL) + " decode --program nbtv48 --quiet -o ";
    EXPECT_EQ(shell(decode + path("substituted") + " <(cat " + path("in.wav") + ")"), 0);
    EXPECT_EQ(shell("cat " + path("in.wav") + " | " + decode + path("stdin") + " /dev/stdin"), 0);
    const std::string fifo = path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    std::thread feeder = feedPipe(fifo, fileBytes(path("in.wav")));
    EXPECT_EQ(shell("timeout 120 " + decode + path("fifo-pictures") + " " + fifo), 0);
    feeder.join();
    for (const std::string folder : {"substituted", "stdin", "fifo-pictures"}) {
        expectSamePictures(dir / "file", dir / folder, 2);
    }
    // info reads a pipe once too, instead of waiting for ever for a second opening.
    feeder = feedPipe(fifo, fileBytes(path("in.wav")));
    EXPECT_EQ(
        shell("timeout 120 " + std::string(NBTV_TOOL) + " info " + fifo + " >" + path("fifo.txt")),
        0);
    feeder.join();
    EXPECT_EQ(shell("cat " + path("in.wav") + " | " + NBTV_TOOL + " info - >" + path("stdin.txt")),
              0);
    for (const std::string& said : {fileText(path("fifo.txt")), fileText(path("stdin.txt"))}) {
        EXPECT_NE(said.find(": audio\nformat: wav (pcm_s16le)\n"), std::string::npos) << said;
        EXPECT_NE(said.find("suits: nbtv48"), std::string::npos) << said;
    }
    ASSERT_EQ(
        nbtv("decode --program nbtv48 --tv " + path("in.tv") + " " + path("in.wav"), dir).status,
        0);
    EXPECT_EQ(shell("cat " + path("in.tv") + " | " + NBTV_TOOL + " info - >" + path("tv.txt")), 0);
    EXPECT_NE(fileText(path("tv.txt")).find("frame file\nrecords: 2 of 288 x 219"),
              std::string::npos)
        << fileText(path("tv.txt"));
}

// --phase-click presses the monitor strip and --scope-click the pilot scope in every program,
// whatever the window's pixels there would be (x = 300 lies in the 96-column programs' scope).
TEST_F(NbtvTool, PressOptionsMeanTheMonitorStripAndTheScopeInEveryProgram) {
    for (const ReceiverProfile* profile :
         {&nbtv48Profile(), &nbtv96Profile(), &nbtv96rggbProfile()}) {
        const std::string name = profile->name;
        const std::string wav = path(name + ".wav");
        ASSERT_EQ(
            nbtv("encode --program " + name + " --card bars --frames 3 -o " + wav, dir).status, 0);
        const std::string pressed = path(name + "-pressed.tv");
        ASSERT_EQ(
            nbtv("decode --program " + name + " --phase-click 300 --tv " + pressed + " " + wav, dir)
                .status,
            0);
        std::vector<std::int16_t> samples;
        std::string error;
        ASSERT_TRUE(readAudioFile(wav, profile->sampleRate, samples, error)) << error;
        Receiver receiver(*profile);
        ASSERT_TRUE(receiver.pressMonitor(300));
        std::vector<std::uint8_t> expected;
        const auto length = static_cast<std::size_t>(receiver.settings().blockLength);
        for (std::size_t at = 0; at + length <= samples.size(); at += length) {
            if (receiver.processBlock(std::span(samples).subspan(at, length))) {
                const std::vector<std::uint8_t> record = frameRecord(receiver.pictureSurface());
                expected.insert(expected.end(), record.begin(), record.end());
            }
        }
        EXPECT_EQ(fileBytes(pressed), expected) << name;
    }
    for (const ReceiverProfile* profile :
         {&nbtv48Profile(), &nbtv96Profile(), &nbtv96rggbProfile()}) {
        const std::string name = profile->name;
        const std::string wav = path(name + ".wav");
        // A press on the scope's row 10 below its zero row is a fine tune of +2 Hz.
        const std::string scope = path(name + "-scope.tv");
        const std::string tuned = path(name + "-tuned.tv");
        const std::string row = std::to_string(profile->pilotMarkerZero + 10);
        ASSERT_EQ(nbtv("decode --program " + name + " --scope-click " + row + " --tv " + scope +
                           " " + wav,
                       dir)
                      .status,
                  0);
        ASSERT_EQ(nbtv("decode --program " + name + " --fine-tune 2 --tv " + tuned + " " + wav, dir)
                      .status,
                  0);
        EXPECT_EQ(fileBytes(scope), fileBytes(tuned)) << name;
        EXPECT_NE(fileBytes(scope), fileBytes(path(name + "-pressed.tv"))) << name;
    }
}

} // namespace
} // namespace nbtv
