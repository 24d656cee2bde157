// Recording from the window: the "Record" button, the compression dialog, the status texts, and
// files whose frames are the pictures the window showed.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <fstream>
#include <iterator>

#include "dialogs/CompressionDialog.h"
#include "io/AudioFile.h"
#include "profiles/ReceiverProfile.h"
#include "recording/AviReadBack.h"
#include "shell/MainWindow.h"
#include "support/ScriptedWaveIn.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"
#include "widgets/FitText.h"
#include "widgets/Warning.h"

namespace nbtv {
namespace {

// Runs the test in a folder of its own: recordings go to the current folder.
struct InFolder {
    QTemporaryDir folder;
    QString previous = QDir::currentPath();
    InFolder() { QDir::setCurrent(folder.path()); }
    ~InFolder() { QDir::setCurrent(previous); }
    QStringList files(const QString& pattern) const {
        return QDir(folder.path()).entryList({pattern}, QDir::Files, QDir::Name);
    }
};

struct Recording {
    const ReceiverProfile& profile;
    WarningFunction previous;
    std::vector<QString> warnings;
    test::ScriptedWaveIn* source;
    MainWindow window;
    std::vector<test::Pixels> shown; // each completed picture as the view shows it, rows 1..219

    explicit Recording(const ReceiverProfile& p, int frames)
        : profile(p), source(new test::ScriptedWaveIn(signal(p, frames))),
          window(p, std::unique_ptr<WaveIn>(source)) {
        previous = setWarningFunction(
            [this](QWidget*, const QString&, const QString& text) { warnings.push_back(text); });
        source->pause(true);
        QObject::connect(&window, &MainWindow::blockHandled, [this](bool completed) {
            if (completed && window.settings().recording == 1) {
                const QImage view = window.pictureView()->image();
                test::Pixels pixels;
                for (int y = 1; y <= 219; ++y) {
                    for (int x = 0; x < 288; ++x) {
                        pixels.push_back(view.pixel(x, y) & 0xffffff);
                    }
                }
                shown.push_back(pixels);
            }
        });
        window.show();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    ~Recording() {
        window.close();
        setWarningFunction(previous);
    }

    static std::vector<std::int16_t> signal(const ReceiverProfile& p, int frames) {
        TransmitOptions options;
        options.frames = frames;
        return transmit(p, makeTestCard(TestCardKind::Bars, p.pictureColumns, p.pictureLines),
                        options);
    }
    QPushButton* button() const {
        return qobject_cast<QPushButton*>(window.control(ids::recordButton));
    }
    // The status text, which must show whole in its label.
    QString status() const {
        auto* label = qobject_cast<QLabel*>(window.control(ids::statusLabel));
        EXPECT_TRUE(captionFits(label, label->font())) << label->text().toStdString();
        return label->text();
    }
    // Clicks "Record"; for AVI the compression dialog is answered with OK (its first choice,
    // uncompressed 32-bit).
    void clickRecord() {
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->objectName() == QLatin1String(compressionDialogName) && w->isVisible()) {
                    QTest::mouseClick(w->findChild<QPushButton*>("okButton"), Qt::LeftButton);
                }
            }
        });
        answer.start(20);
        QTest::mouseClick(button(), Qt::LeftButton);
    }
    void run(long frames) {
        source->pause(false);
        for (int i = 0; i < 100000 && window.framesCompleted() < frames; ++i) {
            QCoreApplication::processEvents();
        }
        source->pause(true);
    }
};

TEST(RecordingWindow, RecordWritesTheShownPicturesToAnAviFile) {
    InFolder here;
    Recording r(nbtv48Profile(), 4);
    r.run(1);
    r.clickRecord();
    EXPECT_EQ(r.button()->text(), "Close file");
    EXPECT_TRUE(r.button()->isChecked());
    const QStringList files = here.files("NBTV_48x48_*.avi");
    ASSERT_EQ(files.size(), 1);
    EXPECT_EQ(r.status(), "0 frames saved to " + files[0]);
    r.run(3);
    EXPECT_EQ(r.status(), " 2 frames saved to " + files[0]);
    QTest::mouseClick(r.button(), Qt::LeftButton);
    EXPECT_EQ(r.button()->text(), "Record");
    EXPECT_FALSE(r.button()->isChecked());
    EXPECT_EQ(r.window.settings().framesSaved, 0);
    EXPECT_EQ(r.status(), " 2 frames saved to " + files[0]) << "keeps its last text";

    const test::AviReadBack file = test::readBack(here.folder.filePath(files[0]).toStdString());
    ASSERT_TRUE(file.opened);
    ASSERT_EQ(file.frames.size(), r.shown.size());
    for (std::size_t i = 0; i < file.frames.size(); ++i) {
        EXPECT_EQ(file.frames[i], r.shown[i]) << "frame " << i;
    }
    EXPECT_TRUE(r.warnings.empty());
}

std::vector<std::uint8_t> bytesOf(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Ends the program as "&Exit" does (signal 0) or by a real signal to the process, and waits
// for the window to close.
void leave(MainWindow& window, int signal) {
    if (signal == 0) {
        window.action(ids::exitCommand)->trigger();
    } else {
        ::raise(signal);
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 30000));
}

// "&Exit", and each of the signals that end the program, while recording: the file is finished
// (an AVI with its index and readable frames, a frame file of whole records).
TEST(RecordingWindow, LeavingWhileRecordingFinishesTheFile) {
    struct Case {
        const ReceiverProfile& profile;
        int signal;
    };
    for (const Case c :
         {Case{nbtv48Profile(), 0}, Case{nbtv48Profile(), SIGTERM}, Case{nbtv48Profile(), SIGINT},
          Case{nbtv48Profile(), SIGHUP}, Case{nbtv96rggbProfile(), SIGTERM}}) {
        SCOPED_TRACE(c.profile.name + " " + std::to_string(c.signal));
        const bool avi = c.profile.recording == RecordingKind::Avi;
        InFolder here;
        QString name;
        {
            Recording r(c.profile, 3);
            r.clickRecord();
            r.run(2);
            name = here.files(avi ? "*.avi" : "*.tv").value(0);
            leave(r.window, c.signal);
            EXPECT_FALSE(r.window.capture().isOpen());
        }
        ASSERT_FALSE(name.isEmpty());
        if (avi) {
            EXPECT_TRUE(test::readStructure(here.folder.filePath(name).toStdString()).hasIndex);
            const test::AviReadBack file = test::readBack(here.folder.filePath(name).toStdString());
            ASSERT_TRUE(file.opened);
            ASSERT_EQ(file.frames.size(), 2u);
            EXPECT_EQ(file.indexEntries, 2) << "the index was written";
            for (const test::Pixels& frame : file.frames) {
                EXPECT_EQ(frame.size(), 288u * 219u) << "decodes";
            }
        } else {
            EXPECT_EQ(bytesOf(here.folder.filePath(name)).size(), 2u * 252296u);
        }
    }
}

// A recording that never receives a frame leaves no file: stopped at once, or ended with the
// program while its compression dialog is still open. The label keeps its text.
TEST(RecordingWindow, ARecordingWithoutAFrameLeavesNoFile) {
    for (const ReceiverProfile* profile : {&nbtv48Profile(), &nbtv96rggbProfile()}) {
        SCOPED_TRACE(profile->name);
        InFolder here;
        Recording r(*profile, 2);
        r.clickRecord();
        const QStringList started = here.files("*");
        ASSERT_EQ(started.size(), 1);
        QTest::mouseClick(r.button(), Qt::LeftButton);
        EXPECT_EQ(r.button()->text(), "Record");
        EXPECT_TRUE(here.files("*").isEmpty()) << started[0].toStdString();
        EXPECT_EQ(r.status(), "0 frames saved to " + started[0]);
        EXPECT_TRUE(r.warnings.empty());
    }
    for (const int signal : {0, SIGTERM}) {
        SCOPED_TRACE(signal);
        InFolder here;
        Recording r(nbtv48Profile(), 2);
        bool dialogSeen = false;
        QTimer whileOpen;
        QObject::connect(&whileOpen, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->objectName() == QLatin1String(compressionDialogName) && w->isVisible() &&
                    !dialogSeen) {
                    dialogSeen = true;
                    EXPECT_EQ(here.files("*.avi").size(), 1) << "the file is made first";
                    if (signal == 0) {
                        r.window.action(ids::exitCommand)->trigger();
                    } else {
                        ::raise(signal);
                    }
                }
            }
        });
        whileOpen.start(20);
        QTest::mouseClick(r.button(), Qt::LeftButton);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !r.window.isVisible(); }, 30000));
        EXPECT_TRUE(dialogSeen);
        EXPECT_EQ(r.window.settings().recording, 0);
        EXPECT_TRUE(here.files("*").isEmpty()) << here.files("*").join(' ').toStdString();
    }
}

TEST(RecordingWindow, Nbtv96SaysRecordingAndThenFinished) {
    InFolder here;
    Recording r(nbtv96Profile(), 2);
    EXPECT_EQ(r.window.control(ids::recordingState), nullptr) << "not before the first recording";
    r.clickRecord();
    auto* state = qobject_cast<QLabel*>(r.window.control(ids::recordingState));
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->text(), "Recording: ");
    EXPECT_EQ(state->geometry(), QRect(5, 398, 85, 14));
    EXPECT_EQ(here.files("NBTV_96x72_*.avi").size(), 1);
    QTest::mouseClick(r.button(), Qt::LeftButton);
    EXPECT_EQ(state->text(), "Finished:");
    r.clickRecord();
    EXPECT_EQ(state->text(), "Recording: ") << "again in the same place";
    QTest::mouseClick(r.button(), Qt::LeftButton);
}

TEST(RecordingWindow, Nbtv96rggbWritesItsFrameFileAndClosesItOnExit) {
    InFolder here;
    std::vector<std::vector<std::uint32_t>> surfaces;
    QString name;
    {
        Recording r(nbtv96rggbProfile(), 4);
        QObject::connect(&r.window, &MainWindow::blockHandled, [&](bool completed) {
            if (completed && r.window.settings().recording == 1) {
                surfaces.push_back(r.window.receiver().pictureSurface().pixels);
            }
        });
        r.run(1);
        QTest::mouseClick(r.button(), Qt::LeftButton);
        EXPECT_EQ(r.button()->text(), "Close file");
        name = here.files("RGB_*.tv").value(0);
        ASSERT_FALSE(name.isEmpty());
        EXPECT_EQ(r.status(), "0 frames saved to " + name);
        r.run(3);
        EXPECT_EQ(r.status(), " 2 frames saved to " + name);
        // The picture is drawn 1:1: the view shows the surface as recorded.
        const QImage view = r.window.pictureView()->image();
        EXPECT_EQ(view.pixel(100, 100) & 0xffffff, surfaces.back()[100 * 288 + 100]);
        // The slider's readouts take the plain number form.
        auto* slider = qobject_cast<QSlider*>(r.window.control(ids::fineTuneSlider));
        slider->setFocus();
        QTest::keyClick(slider, Qt::Key_Right);
        EXPECT_EQ(qobject_cast<QLabel*>(r.window.control(ids::positiveReadout))->text(),
                  " 0.06666667Hz");
        r.window.action(ids::exitCommand)->trigger();
    }
    const std::vector<std::uint8_t> bytes = bytesOf(here.folder.filePath(name));
    ASSERT_EQ(bytes.size(), surfaces.size() * 252296);
    for (std::size_t f = 0; f < surfaces.size(); ++f) {
        const std::uint8_t* record = bytes.data() + f * 252296;
        EXPECT_EQ(record[0] | record[1] << 8, 288);
        EXPECT_EQ(record[4] | record[5] << 8, 219);
        for (std::size_t p = 0; p < surfaces[f].size(); p += 997) {
            const std::uint8_t* px = record + 8 + 4 * p;
            const std::uint32_t value = px[2] << 16 | px[1] << 8 | px[0];
            ASSERT_EQ(value, surfaces[f][p]) << "frame " << f << " pixel " << p;
            ASSERT_EQ(px[3], 0);
        }
    }
}

// The recorded audio, in either format, goes back through the receive road as the tool decodes
// a file, to the very pictures the window showed.
TEST(RecordingWindow, RecordedAudioDecodesToThePicturesTheWindowShowed) {
    for (const bool wav : {false, true}) {
        SCOPED_TRACE(wav ? "wav" : "flac");
        InFolder here;
        std::vector<std::vector<std::uint32_t>> shown;
        Recording r(nbtv48Profile(), 3);
        QObject::connect(&r.window, &MainWindow::blockHandled, [&](bool completed) {
            if (completed) {
                shown.push_back(r.window.receiver().pictureSurface().pixels);
            }
        });
        if (wav) {
            r.window.action(ids::recordAudioAsWav)->trigger();
        }
        r.window.action(ids::recordAudio)->trigger();
        EXPECT_TRUE(r.window.action(ids::recordAudio)->isChecked());
        const QStringList files = here.files(wav ? "NBTV_AUDIO_*.wav" : "NBTV_AUDIO_*.flac");
        ASSERT_EQ(files.size(), 1);
        r.run(3);
        ASSERT_GE(shown.size(), 3u);
        r.window.action(ids::recordAudio)->trigger();
        EXPECT_FALSE(r.window.action(ids::recordAudio)->isChecked());

        std::vector<std::int16_t> samples;
        std::string error;
        ASSERT_TRUE(
            readAudioFile(here.folder.filePath(files[0]).toStdString(), 11025, samples, error))
            << error;
        const auto blocks = static_cast<std::size_t>(r.window.blocksHandled());
        EXPECT_EQ(samples.size(), blocks * 768) << "every block, nothing else";
        ReceiveSession session(nbtv48Profile());
        std::vector<std::vector<std::uint32_t>> decoded;
        session.setPictureListener(
            [&](const SessionPicture& picture) { decoded.push_back(picture.surface.pixels); });
        session.replay(samples);
        ASSERT_EQ(decoded.size(), shown.size());
        for (std::size_t f = 0; f < shown.size(); ++f) {
            EXPECT_TRUE(decoded[f] == shown[f]) << "picture " << f;
        }
    }
}

} // namespace
} // namespace nbtv
