// An audio file behind the wave-input layer, played in real time at the rate the receiver opens
// with, and silence after its end so that the last picture stays on the screen.

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <memory>
#include <optional>

#include "capture/PacedInput.h"
#include "capture/Sources.h"
#include "io/RecordingSource.h"

namespace nbtv {

namespace {

class FileInput final : public PacedInput {
  public:
    FileInput(const QString& path, QObject* parent) : PacedInput(parent), path_(path) {}
    ~FileInput() override { FileInput::close(); }

    QStringList deviceNames() const override {
        return {QStringLiteral("File: ") + QFileInfo(path_).fileName()};
    }

    bool open(int deviceIndex, int sampleRate) override {
        if (isOpen()) {
            lastError_ = QStringLiteral("The file is already open");
            return false;
        }
        if (deviceIndex != -1 && deviceIndex != 0) {
            lastError_ = QStringLiteral("No suitable device found");
            return false;
        }
        auto reader = std::make_unique<RecordingSource>();
        if (!reader->open(QFile::encodeName(path_).toStdString(), sampleRate)) {
            lastError_ = QString::fromStdString(reader->error());
            return false;
        }
        // A file that opens but does not decode would play as silence: its first sample is
        // decoded now, so that the reason shows at once.
        std::int16_t first = 0;
        if (reader->produce(std::span(&first, 1)) == 0) {
            const std::string why = reader->error();
            lastError_ = why.empty() ? QStringLiteral("'%1' holds no sound").arg(path_)
                                     : QString::fromStdString(why);
            return false;
        }
        first_ = first;
        reader_ = std::move(reader);
        ended_ = false;
        lastError_.clear();
        beginStream(sampleRate);
        return true;
    }

    void close() override {
        PacedInput::close();
        reader_.reset();
        first_.reset();
    }

  protected:
    void produce(std::span<std::int16_t> out) override {
        std::size_t got = 0;
        if (first_ && !out.empty()) {
            out[0] = *first_;
            first_.reset();
            got = 1;
        }
        if (!ended_ && reader_ && got < out.size()) {
            got += reader_->produce(out.subspan(got));
            // The end of the file, or a decoding error part way: silence from here on.
            ended_ = got < out.size();
        }
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(got), out.end(), std::int16_t{0});
    }

  private:
    QString path_;
    std::unique_ptr<RecordingSource> reader_;
    std::optional<std::int16_t> first_; // decoded at open, not yet handed out
    bool ended_ = false;
};

} // namespace

std::unique_ptr<WaveIn> makeFileInput(const QString& path, QObject* parent) {
    return std::make_unique<FileInput>(path, parent);
}

} // namespace nbtv
