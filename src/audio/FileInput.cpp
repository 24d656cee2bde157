// An audio file behind the wave-input layer, played in real time at the rate the receiver opens
// with, and silence after its end so that the last picture stays on the screen.

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <memory>

#include "audio/AudioFile.h"
#include "audio/PacedInput.h"
#include "audio/Sources.h"

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
        auto reader = std::make_unique<AudioFileReader>();
        if (!reader->open(QFile::encodeName(path_).toStdString(), sampleRate)) {
            lastError_ = QString::fromStdString(reader->error());
            return false;
        }
        reader_ = std::move(reader);
        ended_ = false;
        lastError_.clear();
        beginStream(sampleRate);
        return true;
    }

    void close() override {
        PacedInput::close();
        reader_.reset();
    }

  protected:
    void produce(std::span<std::int16_t> out) override {
        std::size_t got = 0;
        if (!ended_ && reader_) {
            got = reader_->read(out.data(), out.size());
            // The end of the file, or a decoding error part way: silence from here on.
            ended_ = got < out.size();
        }
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(got), out.end(), std::int16_t{0});
    }

  private:
    QString path_;
    std::unique_ptr<AudioFileReader> reader_;
    bool ended_ = false;
};

} // namespace

std::unique_ptr<WaveIn> makeFileInput(const QString& path, QObject* parent) {
    return std::make_unique<FileInput>(path, parent);
}

} // namespace nbtv
