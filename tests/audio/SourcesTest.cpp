// The file and built-in transmitter sources behind the wave-input layer: buffers in order, full,
// at the pace of real time; reset; failures; the transmitter's signal through the receiver.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "capture/PacedInput.h"
#include "capture/SoundCapture.h"
#include "capture/Sources.h"
#include "io/AudioFile.h"
#include "support/Reception.h"
#include "tx/TestCard.h"
#include "tx/TransmitterLoop.h"

namespace nbtv {
namespace {

constexpr int rate = 11025;
constexpr std::size_t block = 768;
constexpr std::size_t frameSamples = 36864; // a colour frame of nbtv48

struct Returned {
    int number = 0;
    std::vector<std::int16_t> samples;
    qint64 atMs = 0;
};

// Drives a source as the capture does: two buffers, events taken from the queue, each buffer
// queued again as it comes back while `requeue` holds.
struct Driver {
    explicit Driver(WaveIn& s, std::size_t length = block) : source(s) {
        headers[0] = {std::vector<std::int16_t>(length), 1};
        headers[1] = {std::vector<std::int16_t>(length), 2};
        QObject::connect(
            &source, &WaveIn::opened, &context, [this] { ++opened; }, Qt::QueuedConnection);
        QObject::connect(
            &source, &WaveIn::bufferFull, &context,
            [this](WaveHeader* h) {
                returned.push_back({h->number, h->samples, clock.elapsed()});
                if (requeue) {
                    source.addBuffer(h);
                }
            },
            Qt::QueuedConnection);
    }
    void queueBothAndStart() {
        source.addBuffer(&headers[0]);
        source.addBuffer(&headers[1]);
        clock.start();
        source.start();
    }
    bool waitFor(std::size_t count) {
        return QTest::qWaitFor([&] { return returned.size() >= count; }, 30000);
    }

    WaveIn& source;
    QObject context;
    WaveHeader headers[2];
    int opened = 0;
    bool requeue = true;
    std::vector<Returned> returned;
    QElapsedTimer clock;
};

bool silent(const std::vector<std::int16_t>& s, std::size_t from = 0) {
    return std::all_of(s.begin() + static_cast<long>(from), s.end(), [](auto v) { return v == 0; });
}

class FileSourceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Distinct, never-zero samples, so that order, loss and padding all show.
        for (std::size_t i = 0; i < file_.size(); ++i) {
            file_[i] = static_cast<std::int16_t>(1 + (i * 7919) % 30000);
        }
        std::string error;
        ASSERT_TRUE(writeWavFile(path_.toStdString(), rate, file_, error)) << error;
    }

    QTemporaryDir dir_;
    QString path_ = dir_.filePath(QStringLiteral("pattern.wav"));
    std::vector<std::int16_t> file_ = std::vector<std::int16_t>(20 * block + 300);
};

TEST_F(FileSourceTest, PlaysTheFileInOrderAtTheRealTimePaceThenSilence) {
    const auto source = makeFileInput(path_);
    EXPECT_EQ(source->deviceNames(), QStringList{QStringLiteral("File: pattern.wav")});
    Driver driver(*source);
    ASSERT_TRUE(source->open(-1, rate)) << source->lastError().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return driver.opened == 1; }, 5000));
    driver.queueBothAndStart();
    const std::size_t wanted = 24; // past the end of the file
    ASSERT_TRUE(driver.waitFor(wanted));
    source->close();

    std::vector<std::int16_t> stream;
    for (std::size_t k = 0; k < wanted; ++k) {
        const Returned& r = driver.returned[k];
        EXPECT_EQ(r.number, 1 + static_cast<int>(k % 2)) << "buffer " << k;
        stream.insert(stream.end(), r.samples.begin(), r.samples.end());
        // Never before its last sample would have been recorded.
        EXPECT_GE(r.atMs, static_cast<qint64>((k + 1) * block * 1000 / rate)) << "buffer " << k;
    }
    std::vector<std::int16_t> expected = file_;
    expected.resize(wanted * block, 0);
    EXPECT_EQ(stream, expected);
    // Without drift: the last buffer is not far behind its time either (generous bound).
    EXPECT_LE(driver.returned.back().atMs,
              static_cast<qint64>(wanted * block * 1000 / rate) + 3000);
}

TEST_F(FileSourceTest, ResetHandsBackTheQueuedBuffersInOrder) {
    const auto source = makeFileInput(path_);
    const std::size_t length = 4096; // time enough to reset before the second buffer is due
    Driver driver(*source, length);
    ASSERT_TRUE(source->open(0, rate));
    driver.queueBothAndStart();
    ASSERT_TRUE(driver.waitFor(1)); // buffer 1 is queued again, behind buffer 2
    driver.requeue = false;
    source->reset();
    ASSERT_TRUE(driver.waitFor(3));
    QTest::qWait(300);
    ASSERT_EQ(driver.returned.size(), 3u) << "nothing comes back after a reset";
    EXPECT_EQ(driver.returned[1].number, 2);
    EXPECT_EQ(driver.returned[2].number, 1);
    EXPECT_FALSE(driver.headers[0].queued || driver.headers[1].queued);
    // Buffer 2 keeps what had been recorded into it, then silence; buffer 1 is silent.
    const auto& partial = driver.returned[1].samples;
    const auto recorded = static_cast<std::size_t>(
        std::find(partial.begin(), partial.end(), std::int16_t{0}) - partial.begin());
    EXPECT_TRUE(std::equal(partial.begin(), partial.begin() + static_cast<long>(recorded),
                           file_.begin() + length));
    EXPECT_TRUE(silent(partial, recorded));
    EXPECT_TRUE(silent(driver.returned[2].samples));

    // Started again, the file goes on where the reset left it.
    driver.requeue = true;
    driver.queueBothAndStart();
    ASSERT_TRUE(driver.waitFor(4));
    EXPECT_TRUE(std::equal(driver.returned[3].samples.begin(), driver.returned[3].samples.end(),
                           file_.begin() + static_cast<long>(length + recorded)));
    source->close();
}

TEST_F(FileSourceTest, OpenFailsWithAOneLineReason) {
    const QString missing = dir_.filePath(QStringLiteral("missing.wav"));
    const auto source = makeFileInput(missing);
    Driver driver(*source);
    EXPECT_FALSE(source->open(-1, rate));
    EXPECT_EQ(source->lastError(),
              QStringLiteral("cannot open '%1': No such file or directory").arg(missing));
    const auto good = makeFileInput(path_);
    EXPECT_FALSE(good->open(1, rate)); // the file is the only device
    EXPECT_EQ(good->lastError(), QStringLiteral("No suitable device found"));
    const auto transmitter = makeTransmitterInput(nbtv48Profile());
    EXPECT_FALSE(transmitter->open(-1, 8000));
    EXPECT_EQ(transmitter->lastError(),
              QStringLiteral("The built-in transmitter sends 11025 samples a second, not 8000"));
    QTest::qWait(50);
    EXPECT_EQ(driver.opened, 0);
}

TEST(TransmitterSource, SendsTheBarsCardInRealTime) {
    const ReceiverProfile& profile = nbtv48Profile();
    const auto source = makeTransmitterInput(profile);
    EXPECT_EQ(source->deviceNames(), QStringList{QStringLiteral("Built-in transmitter")});
    Receiver receiver(profile);
    receiver.settings().fineTuneHz = -2.0f; // undo the transmitter's offset
    std::vector<std::int16_t> stream;
    std::vector<RgbImage> pictures;
    SoundCapture capture(receiver.settings(), *source,
                         {[&](std::span<const std::int16_t> samples) {
                              stream.insert(stream.end(), samples.begin(), samples.end());
                              receiver.analyseBlock(samples);
                          },
                          [&] {
                              if (receiver.completeBlock()) {
                                  pictures.push_back(toRgbImage(receiver.pictureSurface(),
                                                                profile.geometry.pictureCrop));
                              }
                          }});
    ASSERT_TRUE(capture.open()) << source->lastError().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return pictures.size() >= 3; }, 60000));
    capture.shutdown();

    const RgbImage card = test::enlarge(makeTestCard(TestCardKind::Bars, 48, 48), 3);
    for (std::size_t i = 1; i < pictures.size(); ++i) {
        EXPECT_GE(test::psnr(pictures[i], card), 17.0) << "picture " << i;
    }
    // The loop's very samples, in order, none lost.
    const std::vector<std::int16_t> loop = transmitterLoop(profile);
    ASSERT_GE(loop.size(), stream.size());
    EXPECT_TRUE(std::equal(stream.begin(), stream.end(), loop.begin()));
}

// Mean absolute difference in the worst picture column: a seam shows as a stripe.
double worstColumn(const RgbImage& a, const RgbImage& b) {
    double worst = 0.0;
    for (int x = 0; x < a.width; ++x) {
        double sum = 0.0;
        for (int y = 0; y < a.height; ++y) {
            for (int c = 0; c < 3; ++c) {
                sum += std::abs(a.pixel(x, y)[c] - b.pixel(x, y)[c]);
            }
        }
        worst = std::max(worst, sum / (3.0 * a.height));
    }
    return worst;
}

TEST(TransmitterSource, TheLoopSeamCostsNothingVisible) {
    const std::vector<std::int16_t> loop = transmitterLoop(nbtv48Profile());
    ASSERT_EQ(loop.size() % frameSamples, 0u) << "the loop holds whole frames";
    const std::size_t frames = loop.size() / frameSamples;
    ASSERT_GE(frames, 4u) << "too short a loop to compare frames away from the seam";
    // The seam between two frames (start 0) or in the middle of one (start half a frame).
    for (const std::size_t start : {std::size_t{0}, frameSamples / 2}) {
        std::vector<std::int16_t> stream;
        for (std::size_t n = 0; n < loop.size() + 2 * frameSamples; ++n) {
            stream.push_back(loop[(start + n) % loop.size()]);
        }
        Receiver receiver(nbtv48Profile());
        receiver.settings().fineTuneHz = -2.0f;
        const std::vector<RgbImage> pictures = test::receive(receiver, stream);
        ASSERT_GE(pictures.size(), frames + 1);
        // Frames 2 .. frames - 2 against frame 1 show the noise; the seam falls in frame
        // `frames` - 1, or for start 0 at the very beginning of frame `frames`.
        double noise = 0.0;
        for (std::size_t k = 2; k + 1 < frames; ++k) {
            noise = std::max(noise, worstColumn(pictures[k], pictures[1]));
        }
        const std::size_t across = start == 0 ? frames : frames - 1;
        EXPECT_LE(worstColumn(pictures[across], pictures[1]), noise + 4.0) << "start " << start;
    }
}

// main() points the sound server at a socket where nothing listens.
TEST(SoundCardSource, WithoutASoundServerThereIsNoDeviceToOpen) {
    const auto source = makeSoundCardInput();
    EXPECT_TRUE(source->deviceNames().isEmpty());
    for (const int device : {-1, 0}) {
        EXPECT_FALSE(source->open(device, rate));
        EXPECT_EQ(source->lastError(), QStringLiteral("No suitable device found"));
    }
}

} // namespace
} // namespace nbtv

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // No sound server here, and none started on our behalf: a private client configuration
    // without autospawn and a server address where nothing listens.
    std::string folder = (std::filesystem::temp_directory_path() / "nbtv-nopulse-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        return 1;
    }
    std::ofstream(folder + "/client.conf") << "autospawn = no\n";
    setenv("PULSE_CLIENTCONFIG", (folder + "/client.conf").c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + folder + "/none").c_str(), 1);
    int result = 0;
    {
        QCoreApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    std::filesystem::remove_all(folder);
    return result;
}
