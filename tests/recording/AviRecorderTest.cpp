// The AVI recorder: files read back with libavformat/libavcodec, the compression dialog driven
// while it runs its own loop, set-up and write failures on real filesystems, and pictures from
// the whole receive chain.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <numeric>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include <sys/mount.h>

#include "dialogs/CompressionDialog.h"
#include "display/Display.h"
#include "display/SurfaceView.h"
#include "io/AviWriter.h"
#include "profiles/ReceiverProfile.h"
#include "recording/AviReadBack.h"
#include "session/Receiver.h"
#include "shell/AviRecorder.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"
#include "widgets/Warning.h"

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace nbtv {
namespace {

using test::AviReadBack;
using test::AviStructure;
using test::Pixels;

constexpr int width = 288, height = 219, viewHeight = 220;

// A view image that differs in every row and from frame to frame, with gradients that lossy
// codecs keep well, a moving box, and the fourth byte 0xff as Qt draws it.
QImage viewPicture(int frame) {
    QImage image(width, viewHeight, QImage::Format_RGB32);
    for (int y = 0; y < viewHeight; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixel(x, y, qRgb(x * 255 / (width - 1), y, (40 * frame + x / 3) & 0xff));
        }
    }
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 24; ++x) {
            image.setPixel(20 + 30 * frame % 240 + x, 30 + 20 * frame % 160 + y, 0xffffffffu);
        }
    }
    return image;
}

// What the file should show, decoded the right way up: the view's rows 1..219.
Pixels recordedPart(const QImage& view) {
    Pixels p;
    for (int y = 1; y <= height; ++y) {
        for (int x = 0; x < width; ++x) {
            p.push_back(view.pixel(x, y) & 0xffffffu);
        }
    }
    return p;
}

// The bytes the raw stream stores: rows 219 down to 1; blue, green, red, 0.
std::vector<std::uint8_t> storedBytes(const QImage& view) {
    std::vector<std::uint8_t> bytes;
    for (int y = height; y >= 1; --y) {
        for (int x = 0; x < width; ++x) {
            const QRgb v = view.pixel(x, y);
            bytes.insert(bytes.end(),
                         {static_cast<std::uint8_t>(qBlue(v)), static_cast<std::uint8_t>(qGreen(v)),
                          static_cast<std::uint8_t>(qRed(v)), 0});
        }
    }
    return bytes;
}

// The frames, all key frames in order (flagged in the index, each decoded on its own), equal
// to the pictures shown (lossless) or close to them.
void expectRecorded(const std::string& file, const std::vector<QImage>& shown, bool lossless) {
    const AviStructure s = test::readStructure(file);
    const AviReadBack back = test::readBack(file);
    ASSERT_TRUE(back.opened) << file;
    EXPECT_TRUE(s.hasIndex);
    EXPECT_EQ(back.indexEntries, static_cast<int>(shown.size()));
    EXPECT_EQ(s.totalFrames, shown.size());
    EXPECT_EQ(s.length, shown.size());
    ASSERT_EQ(back.frames.size(), shown.size());
    ASSERT_EQ(s.indexFlags.size(), shown.size());
    for (std::size_t i = 0; i < shown.size(); ++i) {
        EXPECT_NE(s.indexFlags[i] & 0x10u, 0u) << i; // AVIIF_KEYFRAME
        EXPECT_TRUE(back.keyFrames[i]) << i;
        EXPECT_EQ(back.timestamps[i], static_cast<std::int64_t>(i));
        if (lossless) {
            EXPECT_TRUE(back.frames[i] == recordedPart(shown[i])) << "frame " << i;
        } else {
            EXPECT_GT(test::psnr(back.frames[i], recordedPart(shown[i])), 30.0) << i;
        }
    }
}

QStringList aviFiles() {
    return QDir().entryList({"*.avi"}, QDir::Files, QDir::Name);
}

// ---- The compression dialog, answered while it runs ----

struct DialogAnswer {
    std::string codec;                     // select this compressor ("": leave it)
    std::optional<int> dataRate;           // KB/s, 0 to uncheck
    bool ok = true;                        // OK or Cancel
    bool expected = true;                  // whether the dialog should show at all
    std::function<void(QDialog&)> inspect; // looks at the dialog first
};

DialogAnswer choose(std::string codec, bool ok = true, std::optional<int> dataRate = {}) {
    DialogAnswer a;
    a.codec = std::move(codec);
    a.ok = ok;
    a.dataRate = dataRate;
    return a;
}

// Finds the dialog by its object name and answers it with clicks; a watchdog closes a dialog
// that stays open, so that a test fails instead of hanging.
class DialogDriver {
  public:
    explicit DialogDriver(DialogAnswer answer) : answer_(std::move(answer)) {
        QObject::connect(&poll_, &QTimer::timeout, [this] { respond(); });
        poll_.start(5);
        watchdog_.setSingleShot(true);
        QObject::connect(&watchdog_, &QTimer::timeout, [] {
            if (QDialog* d = find()) {
                ADD_FAILURE() << "the compression dialog stayed open";
                d->reject();
            }
        });
        watchdog_.start(120000);
    }
    ~DialogDriver() { EXPECT_EQ(seen_, answer_.expected) << "whether the dialog showed"; }

  private:
    static QDialog* find() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->objectName() == QLatin1String(compressionDialogName) && w->isVisible()) {
                return qobject_cast<QDialog*>(w);
            }
        }
        return nullptr;
    }

    void respond() {
        QDialog* dialog = find();
        if (dialog == nullptr) {
            return;
        }
        seen_ = true;
        poll_.stop();
        if (answer_.inspect) {
            answer_.inspect(*dialog);
        }
        if (!dialog->isVisible()) {
            return;
        }
        if (!answer_.codec.empty()) {
            auto* compressor = dialog->findChild<QComboBox*>("compressor");
            const int index = compressor->findData(QString::fromStdString(answer_.codec));
            EXPECT_GE(index, 0) << answer_.codec << " is not offered";
            compressor->setCurrentIndex(index);
        }
        if (answer_.dataRate) {
            auto* check = dialog->findChild<QCheckBox*>("dataRate");
            if (check->isChecked() != (*answer_.dataRate > 0)) {
                QTest::mouseClick(check, Qt::LeftButton);
            }
            dialog->findChild<QSpinBox*>("dataRateValue")->setValue(std::max(1, *answer_.dataRate));
        }
        QTest::mouseClick(dialog->findChild<QPushButton*>(answer_.ok ? "okButton" : "cancelButton"),
                          Qt::LeftButton);
    }

    DialogAnswer answer_;
    QTimer poll_;
    QTimer watchdog_;
    bool seen_ = false;
};

// A tmpfs of `size` mounted on a new folder (root only), made the current folder.
class SmallDisk {
  public:
    SmallDisk(const QString& folder, const char* size) : folder_(folder.toStdString()) {
        QDir().mkpath(folder);
        mounted_ = ::mount("tmpfs", folder_.c_str(), "tmpfs", 0,
                           (std::string("size=") + size).c_str()) == 0;
        why_ = mounted_ ? "" : std::strerror(errno);
        mounted_ = mounted_ && QDir::setCurrent(folder);
    }
    ~SmallDisk() {
        QDir::setCurrent(QFileInfo(QString::fromStdString(folder_)).path());
        if (mounted_) {
            ::umount2(folder_.c_str(), MNT_DETACH);
        }
    }
    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }

  private:
    std::string folder_;
    bool mounted_ = false;
    std::string why_;
};

// Fills the current folder's filesystem to the last block.
void fillDisk() {
    QFile filler("filler");
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
    while (filler.write(QByteArray(512, 'x')) == 512 && filler.flush()) {
    }
}

// ---- The recorder with a window of its own ----

class RecorderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        previousFolder_ = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(folder_.path()));
        previousWarning_ =
            setWarningFunction([this](QWidget*, const QString& title, const QString& text) {
                warnings.push_back(title + "|" + text);
            });
        runCompressionOptions() = AviCompression{};
    }
    void TearDown() override {
        QDir::setCurrent(previousFolder_);
        setWarningFunction(previousWarning_);
        runCompressionOptions() = AviCompression{};
    }

    AviRecorder::View view(std::function<QImage()> image = {}) {
        return {[this](const QString& text) { statuses.push_back(text); },
                [this] { caption = recordButtonCaption(settings.recording == 1); },
                image ? std::move(image) : [this] { return picture; }};
    }
    std::unique_ptr<AviRecorder> recorder() {
        return std::make_unique<AviRecorder>(settings, profile, view());
    }
    // Presses "Record" and answers the dialog.
    static void start(AviRecorder& r, DialogAnswer answer = {}) {
        DialogDriver driver(std::move(answer));
        r.startRecording();
    }
    std::vector<QImage> record(AviRecorder& r, int count) {
        std::vector<QImage> shown;
        for (int i = 0; i < count; ++i) {
            picture = viewPicture(i);
            r.writeFrame();
            shown.push_back(picture);
        }
        return shown;
    }
    std::string path(const AviRecorder& r) const {
        return QDir(folder_.path()).filePath(r.fileName()).toStdString();
    }
    void expectIdle() {
        EXPECT_EQ(settings.recording, 0);
        EXPECT_EQ(settings.streamReady, 0);
        EXPECT_EQ(caption, "Record");
    }

    const ReceiverProfile& profile = nbtv48Profile();
    ReceiverSettings settings = entrySettings(nbtv48Profile());
    QImage picture = viewPicture(0);
    std::vector<QString> statuses;
    QString caption = "Record";
    std::vector<QString> warnings;
    QTemporaryDir folder_;

  private:
    QString previousFolder_;
    WarningFunction previousWarning_;
};

TEST_F(RecorderTest, RawRecordingHoldsTheViewTurnedUpsideDownInTheDeclaredFormat) {
    auto r = recorder();
    start(*r);
    const std::vector<QImage> shown = record(*r, 3);
    r->stopRecording();

    const AviStructure s = test::readStructure(path(*r));
    EXPECT_EQ(s.fccType, "vids");
    EXPECT_EQ(s.fccHandler, 0u);
    EXPECT_EQ(s.scale, 1u);
    EXPECT_EQ(s.rate, 10u);
    EXPECT_EQ(s.bufferSize, 252288u);
    EXPECT_EQ(s.biSize, 40u);
    EXPECT_EQ(s.biWidth, 288);
    EXPECT_EQ(s.biHeight, 219); // positive: bottom row first
    EXPECT_EQ(s.biPlanes, 1);
    EXPECT_EQ(s.biBitCount, 32);
    EXPECT_EQ(s.biCompression, 0u); // BI_RGB
    EXPECT_EQ(s.biSizeImage, 252288u);
    ASSERT_EQ(s.frames.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(s.frames[i] == storedBytes(shown[i])) << "frame " << i;
    }
    const AviReadBack back = test::readBack(path(*r));
    EXPECT_EQ(back.codec, "rawvideo");
    EXPECT_EQ(back.codecTag, 0u);
    EXPECT_EQ(back.bitsPerCodedSample, 32);
    EXPECT_EQ(back.width, 288);
    EXPECT_EQ(back.height, 219);
    EXPECT_EQ(back.timeBase.num, 1);
    EXPECT_EQ(back.timeBase.den, 10);
    EXPECT_EQ(back.frameRate.num, 10);
    EXPECT_EQ(back.frameRate.den, 1);
    expectRecorded(path(*r), shown, true); // decoded the right way up
}

TEST_F(RecorderTest, StatusCaptionAndCountRestartWithEachRecording) {
    auto r = recorder();
    r->writeFrame(); // idle: nothing happens
    r->stopRecording();
    EXPECT_TRUE(aviFiles().isEmpty());
    EXPECT_TRUE(statuses.empty());
    for (int round = 0; round < 2; ++round) {
        statuses.clear();
        start(*r);
        const QString name = r->fileName();
        EXPECT_TRUE(r->isRecording());
        EXPECT_EQ(caption, "Close file");
        EXPECT_EQ(settings.recording, 1);
        EXPECT_EQ(settings.streamReady, 1);
        EXPECT_EQ(settings.framesSaved, 0);
        record(*r, 2);
        EXPECT_EQ(settings.framesSaved, 2);
        EXPECT_EQ(statuses,
                  (std::vector<QString>{"0 frames saved to " + name, " 1 frames saved to " + name,
                                        " 2 frames saved to " + name}));
        r->stopRecording();
        settings.framesSaved = 0; // as the window does after the stop
        expectIdle();
        EXPECT_EQ(statuses.size(), 3u); // the label keeps its last text
        r->writeFrame();
        r->stopRecording();
        EXPECT_EQ(test::readStructure(path(*r)).frames.size(), 2u);
    }
    EXPECT_TRUE(warnings.empty());
}

TEST_F(RecorderTest, FileNamesCarryDateAndTimeAndNeverOverwrite) {
    // The names of the coming seconds are taken, so that both recordings collide whichever
    // second they start in.
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1000);
    std::set<QString> bases;
    for (int s = 0; s < 30; ++s) {
        bases.insert("NBTV_48x48_" + before.addSecs(s).toString("MM-dd-yyyy_HHmmss"));
        for (const QString& name : {*bases.rbegin() + ".avi", *bases.rbegin() + "-2.avi"}) {
            QFile file(name);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("keep");
        }
    }
    auto r = recorder();
    QStringList names;
    for (int i = 0; i < 2; ++i) {
        start(*r);
        record(*r, 1);
        r->stopRecording();
        names << r->fileName();
    }
    const QDateTime after = QDateTime::currentDateTime();

    const QRegularExpression form(R"(^NBTV_48x48_(\d\d-\d\d-\d{4}_\d{6})-(\d+)\.avi$)");
    const QRegularExpressionMatch first = form.match(names[0]), second = form.match(names[1]);
    ASSERT_TRUE(first.hasMatch() && second.hasMatch()) << names.join(' ').toStdString();
    const QDateTime stamp = QDateTime::fromString(first.captured(1), "MM-dd-yyyy_HHmmss");
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(first.captured(2), "3");
    // Within the same second the next number; in a later second that second's first free one.
    EXPECT_EQ(second.captured(2), first.captured(1) == second.captured(1) ? "4" : "3");
    for (const QString& name : names) {
        EXPECT_EQ(test::readBack(name.toStdString()).frames.size(), 1u);
    }
    for (const QString& base : bases) {
        for (const QString& name : {base + ".avi", base + "-2.avi"}) {
            QFile file(name);
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            EXPECT_EQ(file.readAll(), "keep") << name.toStdString();
        }
    }
}

TEST_F(RecorderTest, FrameRateIsReadAtStartAndKeptWithinWhatTheMuxerStores) {
    auto r = recorder();
    // Above 1000 the muxer would quietly store 600 frames a second; the frame-rate dialog
    // stores any positive 32-bit number.
    struct Case {
        int asked;
        std::uint32_t stored;
    };
    for (const Case c :
         {Case{25, 25}, Case{1000, 1000}, Case{1001, 1000}, Case{2147483647, 1000}, Case{0, 1}}) {
        SCOPED_TRACE(c.asked);
        warnings.clear();
        settings.aviFrameRate = c.asked;
        start(*r);
        settings.aviFrameRate = 30; // takes effect with the next recording
        record(*r, 2);
        r->stopRecording();
        const AviStructure s = test::readStructure(path(*r));
        EXPECT_EQ(s.scale, 1u);
        EXPECT_EQ(s.rate, c.stored);
        EXPECT_EQ(test::readBack(path(*r)).timeBase.den, static_cast<int>(c.stored));
        EXPECT_EQ(s.frames.size(), 2u);
        if (c.asked == static_cast<int>(c.stored)) {
            EXPECT_TRUE(warnings.empty());
        } else {
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_TRUE(warnings[0].startsWith("Frame rate|Frame rate " + QString::number(c.asked) +
                                               " is outside"));
            EXPECT_TRUE(warnings[0].endsWith(QString("recording at %1.").arg(c.stored)));
        }
    }
}

TEST_F(RecorderTest, EveryOfferedCodecRecordsAHundredReceivedFramesOfTheBarsCard) {
    // The window's picture at each completed frame of 100 colour frames of the bars card.
    std::vector<QImage> pictures;
    {
        Receiver receiver(profile);
        SurfaceView pictureView(ids::pictureView, width, viewHeight, nullptr);
        TransmitOptions options;
        options.frames = 100;
        const std::vector<std::int16_t> signal = transmit(
            profile, makeTestCard(TestCardKind::Bars, profile.pictureColumns, profile.pictureLines),
            options);
        const auto length = static_cast<std::size_t>(receiver.settings().blockLength);
        for (std::size_t at = 0; at + length <= signal.size(); at += length) {
            if (receiver.processBlock(std::span(signal).subspan(at, length))) {
                drawPicture(pictureView, receiver.pictureSurface(), profile, 0);
                pictures.push_back(pictureView.image().copy());
            }
        }
    }
    ASSERT_EQ(pictures.size(), 100u);
    std::size_t next = 0;
    AviRecorder r(settings, profile, view([&] { return pictures[next]; }));

    // The dialog: an always-on-top tool window without owner, uncompressed first, the key
    // frame fixed at every frame, the data rate for the lossy codecs only.
    std::vector<std::string> offered;
    DialogAnswer look;
    look.inspect = [&](QDialog& dialog) {
        EXPECT_EQ(dialog.parent(), nullptr);
        EXPECT_TRUE(dialog.windowFlags().testFlags(Qt::Tool | Qt::WindowStaysOnTopHint));
        EXPECT_TRUE(dialog.isModal());
        EXPECT_TRUE(dialog.findChild<QCheckBox*>("keyFrames")->isChecked());
        EXPECT_EQ(dialog.findChild<QSpinBox*>("keyFrameEvery")->value(), 1);
        auto* compressor = dialog.findChild<QComboBox*>("compressor");
        // Its label names it with a mnemonic, so the label shows no '&'.
        bool labelled = false;
        for (const QLabel* label : dialog.findChildren<QLabel*>()) {
            labelled =
                labelled || (label->text() == "&Compressor:" && label->buddy() == compressor);
        }
        EXPECT_TRUE(labelled);
        for (int i = 0; i < compressor->count(); ++i) {
            compressor->setCurrentIndex(i);
            offered.push_back(compressor->itemData(i).toString().toStdString());
            const AviCodec* codec = findAviCodec(offered.back());
            ASSERT_NE(codec, nullptr);
            EXPECT_EQ(dialog.findChild<QCheckBox*>("dataRate")->isEnabled(), codec->takesDataRate);
        }
        compressor->setCurrentIndex(0);
    };
    start(r, look);
    r.stopRecording();
    std::vector<std::string> working;
    for (const AviCodec* codec : workingAviCodecs(width, height)) {
        working.emplace_back(codec->id);
    }
    EXPECT_EQ(offered, working);
    for (const char* id : {"raw", "ffv1", "huffyuv", "utvideo", "png", "zmbv", "mjpeg", "mpeg4"}) {
        EXPECT_NE(std::find(offered.begin(), offered.end(), id), offered.end()) << id;
    }
    ASSERT_EQ(offered.at(0), "raw");

    std::int64_t rawSize = 0;
    for (const AviCodec* codec : workingAviCodecs(width, height)) {
        SCOPED_TRACE(codec->id);
        DialogAnswer answer;
        answer.codec = std::string(codec->id);
        start(r, answer);
        for (next = 0; next < pictures.size(); ++next) {
            r.writeFrame();
        }
        r.stopRecording();
        const AviStructure s = test::readStructure(path(r));
        EXPECT_EQ(s.biWidth, 288);
        EXPECT_EQ(s.biHeight, 219);
        EXPECT_EQ(s.rate, 10u);
        EXPECT_EQ(s.fccHandler, s.biCompression); // the codec's tag, 0 for uncompressed
        EXPECT_EQ(s.biCompression == 0, codec->id == "raw");
        EXPECT_EQ(test::readBack(path(r)).height, 219);
        expectRecorded(path(r), pictures, codec->lossless);
        const std::int64_t size = QFileInfo(r.fileName()).size();
        rawSize = rawSize == 0 ? size : rawSize;
        EXPECT_TRUE(!codec->lossless || codec->id == "raw" || size < rawSize);
        std::cout << "[   size   ] " << codec->label << ": " << size << " bytes\n";
    }
    EXPECT_TRUE(warnings.empty());
}

TEST_F(RecorderTest, OkKeepsTheChoiceForTheRunAndCancelKeepsThePreviousOne) {
    auto r = recorder();
    DialogAnswer pick = choose("ffv1");
    DialogAnswer cancelled = choose("png", false);
    cancelled.inspect = [](QDialog& dialog) {
        EXPECT_EQ(dialog.findChild<QComboBox*>("compressor")->currentData().toString(), "ffv1");
    };
    DialogAnswer closed = choose("png");
    closed.inspect = [](QDialog& dialog) { dialog.close(); }; // the close box: a cancel
    for (const DialogAnswer& answer : {pick, cancelled, closed}) {
        start(*r, answer);
        EXPECT_TRUE(r->isRecording());
        record(*r, 1);
        r->stopRecording();
        EXPECT_EQ(runCompressionOptions().codec, "ffv1");
        EXPECT_EQ(test::readBack(path(*r)).codec, "ffv1");
    }
}

TEST_F(RecorderTest, DataRateLowersWhatTheLossyCodecsWrite) {
    auto r = recorder();
    for (const AviCodec* codec : workingAviCodecs(width, height)) {
        if (!codec->takesDataRate) {
            continue;
        }
        // The mean size of the last frames, once the rate control has settled.
        std::vector<std::size_t> settled;
        for (const int rate : {0, 4}) { // 4 KB/s at 10 frames a second: ~400 bytes a frame
            SCOPED_TRACE(std::string(codec->id) + " at " + std::to_string(rate));
            start(*r, choose(std::string(codec->id), true, rate));
            EXPECT_EQ(runCompressionOptions().dataRateKBps, rate);
            record(*r, 12);
            r->stopRecording();
            const std::vector<std::size_t> sizes = test::readBack(path(*r)).packetSizes;
            ASSERT_EQ(sizes.size(), 12u);
            settled.push_back(std::accumulate(sizes.begin() + 6, sizes.end(), std::size_t{0}) / 6);
        }
        EXPECT_LT(settled[1], settled[0]) << codec->id;
    }
}

TEST_F(RecorderTest, SetUpFailuresShowTheirMessageReleaseTheFileAndStayIdle) {
    auto r = recorder();
    {
        // A current folder that no longer exists: the dialog is never reached.
        ASSERT_TRUE(QDir().mkdir("gone") && QDir::setCurrent("gone") && QDir().rmdir("../gone"));
        DialogAnswer none;
        none.expected = false;
        start(*r, none);
        EXPECT_EQ(warnings, std::vector<QString>{"Error|error creating output file"});
        expectIdle();
        ASSERT_TRUE(QDir::setCurrent(folder_.path()));
    }
    {
        warnings.clear();
        runCompressionOptions().codec = "no-such-codec"; // kept through a cancelled dialog
        start(*r, choose("", false));
        EXPECT_EQ(warnings, std::vector<QString>{"Error|error creating compressed stream"});
        expectIdle();
        EXPECT_TRUE(aviFiles().isEmpty());
        runCompressionOptions().codec = "raw";
    }
    {
        warnings.clear();
        SmallDisk disk(folder_.filePath("full"), "64k");
        if (disk.mounted()) {
            // No room left for the header.
            fillDisk();
            start(*r);
            EXPECT_EQ(warnings, std::vector<QString>{"Error|error setting stream format"});
            expectIdle();
            EXPECT_TRUE(aviFiles().isEmpty());
        } else {
            std::cout << "no tmpfs for the header failure: " << disk.why() << "\n";
        }
    }
    // The user can try again.
    warnings.clear();
    start(*r);
    EXPECT_TRUE(r->isRecording());
    EXPECT_TRUE(warnings.empty());
    EXPECT_TRUE(statuses.size() == 1 && caption == "Close file");
}

TEST_F(RecorderTest, FullDiskFinishesTheFileWarnsOnceAndReturnsToIdle) {
    SmallDisk disk(folder_.filePath("disk"), "1m");
    if (!disk.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs: " << disk.why();
    }
    auto r = recorder();
    start(*r);
    std::vector<QImage> written;
    for (int i = 0; i < 8 && r->isRecording(); ++i) { // 1 MiB holds a few raw frames
        picture = viewPicture(i);
        r->writeFrame();
        if (r->isRecording()) {
            written.push_back(picture);
        }
    }
    // The message names the file, the reason and what the file keeps.
    EXPECT_EQ(warnings, std::vector<QString>{"Error|error writing to output file '" +
                                             r->fileName() + "': No space left on device (" +
                                             QString::number(written.size()) + " frames kept)"});
    expectIdle();
    ASSERT_GE(written.size(), 1u);
    ASSERT_LT(written.size(), 8u);
    // The label names what the file holds, not the frame that failed.
    EXPECT_EQ(statuses.back(),
              " " + QString::number(written.size()) + " frames saved to " + r->fileName());
    expectRecorded(r->fileName().toStdString(), written, true);
    r->writeFrame(); // idle now: nothing more, no second message
    r->stopRecording();
    EXPECT_EQ(warnings.size(), 1u);
    EXPECT_EQ(test::readStructure(r->fileName().toStdString()).frames.size(), written.size());

    // Full before the first frame: nothing to keep, so no file is left.
    QFile::remove(r->fileName());
    warnings.clear();
    start(*r);
    ASSERT_TRUE(r->isRecording());
    fillDisk();
    r->writeFrame();
    expectIdle();
    EXPECT_EQ(warnings,
              std::vector<QString>{"Error|error writing to output file '" + r->fileName() +
                                   "': No space left on device (no frame kept, the "
                                   "file is removed)"});
    EXPECT_TRUE(aviFiles().isEmpty());
}

TEST_F(RecorderTest, EveryFrameReachesTheSystemAtOnce) {
    // What is on disk while the file is open is what a killed program would leave.
    auto r = recorder();
    start(*r, choose("ffv1"));
    std::vector<QImage> shown;
    for (int i = 0; i < 3; ++i) {
        shown.push_back(picture = viewPicture(i));
        r->writeFrame();
        QFile::remove("snapshot.avi");
        ASSERT_TRUE(QFile::copy(r->fileName(), "snapshot.avi"));
        const AviReadBack snapshot = test::readBack("snapshot.avi");
        ASSERT_EQ(snapshot.frames.size(), shown.size());
        for (std::size_t k = 0; k < shown.size(); ++k) {
            EXPECT_TRUE(snapshot.frames[k] == recordedPart(shown[k])) << i << ", " << k;
        }
    }
    EXPECT_FALSE(test::readStructure("snapshot.avi").hasIndex); // the trailer comes last
}

TEST_F(RecorderTest, DestroyingTheRecorderFinishesTheFileOrReleasesAHalfMadeOne) {
    auto r = recorder();
    start(*r, choose("ffv1"));
    const std::vector<QImage> shown = record(*r, 3);
    const std::string file = path(*r);
    r.reset(); // leaving the program while recording
    expectRecorded(file, shown, true);

    // Gone while its dialog is open: the start ends, and the file it had made goes.
    QFile::remove(QString::fromStdString(file));
    r = recorder();
    DialogAnswer answer;
    answer.inspect = [&](QDialog&) { r.reset(); };
    start(*r, answer);
    EXPECT_TRUE(aviFiles().isEmpty());
    EXPECT_TRUE(warnings.empty());
}

// ---- Pictures from the whole receive chain ----

struct Received {
    std::vector<QImage> shown;       // the view at each recorded frame
    std::vector<std::size_t> blocks; // the block that completed it
};

// Runs the receiver over the signal; at each completed frame draws the picture and records
// it, as the window does.
Received receiveAndRecord(Receiver& receiver, std::span<const std::int16_t> signal,
                          SurfaceView& view, AviRecorder& recorder) {
    Received out;
    const auto length = static_cast<std::size_t>(receiver.settings().blockLength);
    for (std::size_t at = 0; at + length <= signal.size(); at += length) {
        if (receiver.processBlock(signal.subspan(at, length))) {
            receiver.settings().bigPicture = out.shown.size() >= 2 ? 1 : 0;
            drawPicture(view, receiver.pictureSurface(), receiver.profile(),
                        receiver.settings().bigPicture);
            recorder.writeFrame();
            out.shown.push_back(view.image().copy());
            out.blocks.push_back(at / length);
        }
    }
    return out;
}

TEST_F(RecorderTest, ReceivedPicturesAreRecordedAsShownRightWayUpInTheirColours) {
    // Red over the top left, green over the top right, blue below.
    RgbImage card(profile.pictureColumns, profile.pictureLines);
    for (int y = 0; y < card.height; ++y) {
        for (int x = 0; x < card.width; ++x) {
            const bool top = y < card.height / 2, left = x < card.width / 2;
            card.pixel(x, y)[top ? (left ? 0 : 1) : 2] = 255;
        }
    }
    for (const bool mono : {false, true}) {
        SCOPED_TRACE(mono ? "mono" : "colour");
        Receiver receiver(profile);
        receiver.settings().colourMode = mono ? 0 : 1;
        SurfaceView pictureView(ids::pictureView, width, viewHeight, nullptr);
        AviRecorder r(receiver.settings(), profile, view([&] { return pictureView.image(); }));
        start(r);
        TransmitOptions options;
        options.mono = mono;
        options.frames = 4;
        // The big view from the third frame on: the recording shows what the view shows.
        const Received got =
            receiveAndRecord(receiver, transmit(profile, card, options), pictureView, r);
        r.stopRecording();
        ASSERT_GE(got.shown.size(), 3u);
        for (std::size_t i = 1; i < got.blocks.size(); ++i) {
            EXPECT_EQ(got.blocks[i] - got.blocks[i - 1], mono ? 16u : 48u);
        }
        EXPECT_TRUE(recordedPart(got.shown[1]) != recordedPart(got.shown[2]));
        expectRecorded(path(r), got.shown, true);
        if (mono) {
            continue;
        }
        // The mean of each colour over 8 x 8 picture pixels of the second (natural) frame;
        // file row y holds the view's row y + 1.
        const Pixels frame = test::readBack(path(r)).frames.at(1);
        const PixelRect crop = profile.geometry.pictureCrop;
        auto mean = [&](int px, int py, int shift) {
            std::uint32_t sum = 0;
            for (int y = 3 * py; y < 3 * (py + 8); ++y) {
                for (int x = 3 * px; x < 3 * (px + 8); ++x) {
                    const auto at =
                        static_cast<std::size_t>((crop.y0 + y - 1) * width + crop.x0 + x);
                    sum += (frame.at(at) >> shift) & 0xffu;
                }
            }
            return sum / (24 * 24);
        };
        const int red = 16, green = 8, blue = 0;
        const std::tuple<int, int, int> areas[] = {{8, 8, red}, {32, 8, green}, {20, 32, blue}};
        for (const auto& [px, py, bright] : areas) {
            for (const int shift : {red, green, blue}) {
                if (shift == bright) {
                    EXPECT_GT(mean(px, py, shift), 160u) << px << "," << py;
                } else {
                    EXPECT_LT(mean(px, py, shift), 96u) << px << "," << py;
                }
            }
        }
    }
}

} // namespace
} // namespace nbtv
