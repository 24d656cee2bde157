#include "shell/AviRecorder.h"

#include <QDateTime>
#include <QFile>
#include <QPointer>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/NumberText.h"
#include "core/ReceiverSettings.h"
#include "dialogs/CompressionDialog.h"
#include "io/AviWriter.h"
#include "profiles/ReceiverProfile.h"
#include "widgets/Warning.h"

namespace nbtv {

namespace {

const QString errorCaption = QStringLiteral("Error");
constexpr int maxNameSuffix = 100000;
constexpr std::uint32_t colourBits = 0x00ffffffu; // the fourth byte is 0 in the file

QString setUpMessage(AviWriter::Result result) {
    switch (result) {
    case AviWriter::Result::StreamFailed:
        return QStringLiteral("error creating uncompressed stream");
    case AviWriter::Result::CompressorFailed:
        return QStringLiteral("error creating compressed stream");
    case AviWriter::Result::FormatFailed:
        return QStringLiteral("error setting stream format");
    default:
        return QStringLiteral("error creating output file");
    }
}

} // namespace

QString recordButtonCaption(bool recording) {
    return recording ? QStringLiteral("Close file") : QStringLiteral("Record");
}

struct AviRecorder::State {
    ReceiverSettings& settings;
    const ReceiverProfile& profile;
    View view;
    QWidget* dialogParent;

    AviWriter writer;
    QString fileName;
    int framesWritten = 0;           // into the open file
    bool abandoned = false;          // stopped while the start waited on its dialog
    std::vector<std::uint32_t> rows; // the frame being written, bottom row first
    // Cleared by the destructor, so that a start whose dialog outlived the recorder stops.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    QPointer<CompressionDialog> dialog;

    State(ReceiverSettings& s, const ReceiverProfile& p, View v, QWidget* parent)
        : settings(s), profile(p), view(std::move(v)), dialogParent(parent) {}

    int width() const { return profile.surfaceWidth; }
    int height() const { return profile.pictureSurfaceHeight; }

    void setStatus(const QString& text) const {
        if (view.setStatus) {
            view.setStatus(text);
        }
    }
    void announce() const {
        if (view.recordingChanged) {
            view.recordingChanged();
        }
    }

    // The idle state after a stop or a failure.
    void becomeIdle() {
        settings.recording = 0;
        settings.streamReady = 0;
        announce();
    }

    // Ends the open file: finished with its index, or removed when it never received a frame
    // (it holds nothing to lose). False when finishing failed.
    bool endFile() {
        if (framesWritten == 0) {
            writer.discard();
            return true;
        }
        framesWritten = 0;
        return writer.finish();
    }

    // The write failure in one line: the file, the reason and what the file keeps.
    QString writeFailure(int kept) const {
        const QString what = kept > 0 ? QStringLiteral("%1 frames kept").arg(kept)
                                      : QStringLiteral("no frame kept, the file is removed");
        return QStringLiteral("error writing to output file '%1': %2 (%3)")
            .arg(fileName, QString::fromStdString(writer.error()), what);
    }

    void failSetUp(AviWriter::Result result) {
        settings.streamReady = 0;
        announce();
        showWarning(dialogParent, errorCaption, setUpMessage(result));
    }

    // "NBTV_48x48_" + MM-DD-YYYY + "_" + hhmmss, local time; the C locale's digits.
    QString baseName() const {
        const QDateTime now = QDateTime::currentDateTime();
        return QString::fromStdString(profile.aviFilePrefix) +
               now.toString(QStringLiteral("MM-dd-yyyy_HHmmss"));
    }

    // The first free name: the base, then the base with "-2", "-3", ... before ".avi".
    AviWriter::Result createFile() {
        const QString base = baseName();
        for (int n = 1; n <= maxNameSuffix; ++n) {
            const QString name =
                n == 1 ? base + QStringLiteral(".avi") : base + QStringLiteral("-%1.avi").arg(n);
            const AviWriter::Result result =
                writer.createFile(QFile::encodeName(name).toStdString());
            if (result != AviWriter::Result::NameTaken) {
                fileName = name;
                return result;
            }
        }
        return AviWriter::Result::FileFailed;
    }

    // The picture view's image, rows 219 down to 1, as 32-bit pixels with a 0 fourth byte.
    void takePicture() {
        QImage image = view.pictureImage ? view.pictureImage() : QImage();
        if (!image.isNull() && image.format() != QImage::Format_RGB32) {
            image = image.convertToFormat(QImage::Format_RGB32);
        }
        const int w = width();
        const int h = height();
        rows.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0);
        const int columns = std::min(w, image.width());
        for (int k = 0; k < h; ++k) {
            const int source = h - k; // turned upside down; view row 0 is left out
            if (source >= image.height() || columns <= 0) {
                continue;
            }
            const auto* in = reinterpret_cast<const std::uint32_t*>(image.constScanLine(source));
            std::uint32_t* out = rows.data() + static_cast<std::size_t>(k) * w;
            for (int x = 0; x < columns; ++x) {
                out[x] = in[x] & colourBits;
            }
        }
    }
};

AviRecorder::AviRecorder(ReceiverSettings& settings, const ReceiverProfile& profile, View view,
                         QWidget* dialogParent)
    : state_(std::make_unique<State>(settings, profile, std::move(view), dialogParent)) {}

// Finishes an open file so that it keeps its index; the window and the settings may already
// be gone, so neither is touched.
AviRecorder::~AviRecorder() {
    *state_->alive = false;
    if (state_->dialog) {
        state_->dialog->reject();
    }
    if (state_->writer.isReady()) {
        state_->endFile();
    } else {
        state_->writer.discard();
    }
}

void AviRecorder::startRecording() {
    State& s = *state_;
    const std::shared_ptr<bool> alive = s.alive;
    if (s.writer.isOpen()) {
        // A file left open (the settings were reset under it) is finished, not lost.
        s.endFile();
    }
    s.framesWritten = 0;
    s.abandoned = false;

    // The frame rate is read now; the muxer stores it as given only up to its limit.
    const int asked = s.settings.aviFrameRate;
    const int framesPerSecond = std::clamp(asked, 1, maxAviFrameRate);
    if (framesPerSecond != asked) {
        showWarning(s.dialogParent, QStringLiteral("Frame rate"),
                    QStringLiteral("Frame rate %1 is outside the 1 to %2 frames per second an "
                                   "AVI file can be written at: recording at %3.")
                        .arg(asked)
                        .arg(maxAviFrameRate)
                        .arg(framesPerSecond));
        if (!*alive) {
            return;
        }
    }

    AviWriter::Result result = s.createFile();
    if (result == AviWriter::Result::Ok) {
        result = s.writer.createStream(s.width(), s.height(), framesPerSecond);
    }
    if (result != AviWriter::Result::Ok) {
        s.failSetUp(result);
        return;
    }

    // The dialog's answer is not looked at: the next step uses whatever the record holds.
    {
        CompressionDialog dialog(runCompressionOptions(), s.width(), s.height());
        s.dialog = &dialog;
        dialog.exec();
        if (!*alive) {
            return; // the recorder went while the dialog was open
        }
        s.dialog = nullptr;
    }
    if (s.abandoned) {
        // Stopped (the program is ending) while the dialog was open: no recording, no file.
        s.abandoned = false;
        s.writer.discard();
        s.becomeIdle();
        return;
    }

    result = s.writer.createCompressor(runCompressionOptions());
    if (result == AviWriter::Result::Ok) {
        result = s.writer.setFormat();
    }
    if (result != AviWriter::Result::Ok) {
        s.failSetUp(result);
        return;
    }

    s.settings.streamReady = 1;
    s.setStatus(QStringLiteral("0 frames saved to ") + s.fileName);
    s.settings.recording = 1;
    s.settings.framesSaved = 0;
    s.announce();
}

void AviRecorder::writeFrame() {
    State& s = *state_;
    if (s.settings.recording != 1 || s.settings.streamReady != 1 || !s.writer.isReady()) {
        return;
    }
    s.takePicture();
    const auto* data = reinterpret_cast<const std::uint8_t*>(s.rows.data());
    if (!s.writer.writeFrame(data, static_cast<std::ptrdiff_t>(s.width()) * 4)) {
        // Keep what was written, readable with its index, and say so once.
        const QString message = s.writeFailure(s.framesWritten);
        s.endFile();
        s.becomeIdle();
        s.settings.framesSaved = 0;
        showWarning(s.dialogParent, errorCaption, message);
        return;
    }
    ++s.framesWritten;
    ++s.settings.framesSaved;
    s.setStatus(QString::fromStdString(numberText(s.settings.framesSaved)) +
                QStringLiteral(" frames saved to ") + s.fileName);
}

void AviRecorder::stopRecording() {
    State& s = *state_;
    if (s.dialog) {
        // A start still waiting on its dialog ends there, without a file.
        s.abandoned = true;
        s.dialog->reject();
        return;
    }
    const bool wasOpen = s.writer.isReady();
    const int kept = s.framesWritten;
    const bool finished = s.endFile();
    s.becomeIdle();
    if (wasOpen && !finished) {
        showWarning(s.dialogParent, errorCaption, s.writeFailure(kept));
    }
}

bool AviRecorder::isRecording() const {
    return state_->settings.recording == 1 && state_->writer.isReady();
}

QString AviRecorder::fileName() const {
    return state_->fileName;
}

} // namespace nbtv
