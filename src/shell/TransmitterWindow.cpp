#include "shell/TransmitterWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/Conversions.h"
#include "display/Display.h"
#include "display/SurfaceView.h"
#include "io/PictureFeeds.h"
#include "picture/PixelSurface.h"
#include "station/RigKey.h"
#include "station/SoundServer.h"
#include "widgets/Warning.h"

namespace nbtv {

namespace {

const char* const clientName = "nbtvtx";
// The receivers show a picture pixel as three samples across and three rows down.
constexpr int previewScale = 3;
constexpr int meterFloorDb = -60;

struct SourceChoice {
    const char* label;
    const char* card; // nullptr: the path field's file
};
constexpr SourceChoice sourceChoices[] = {
    {"Colour bars", "bars"},     {"Grey ramp", "ramp"}, {"Detail", "detail"},
    {"Image or video", nullptr}, {"Camera", "camera"},  {"Screen", "screen"},
};

const ReceiverProfile* profileByIndex(int index) {
    const std::vector<std::string> names = profileNames();
    if (index < 0 || static_cast<std::size_t>(index) >= names.size()) {
        return nullptr;
    }
    return findProfile(names[static_cast<std::size_t>(index)]);
}

} // namespace

TransmitterWindow::TransmitterWindow(QWidget* parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("NBTV Transmitter"));
    auto* form = new QFormLayout;

    program_ = new QComboBox(this);
    program_->setObjectName(QStringLiteral("program"));
    for (const std::string& name : profileNames()) {
        program_->addItem(QString::fromStdString(name));
    }
    mode_ = new QComboBox(this);
    mode_->setObjectName(QStringLiteral("mode"));
    mode_->addItems({QStringLiteral("Colour"), QStringLiteral("Mono")});
    auto* programRow = new QHBoxLayout;
    programRow->addWidget(program_);
    programRow->addWidget(mode_);
    form->addRow(QStringLiteral("Program"), programRow);

    source_ = new QComboBox(this);
    source_->setObjectName(QStringLiteral("source"));
    for (const SourceChoice& choice : sourceChoices) {
        source_->addItem(QString::fromLatin1(choice.label));
    }
    path_ = new QLineEdit(this);
    path_->setObjectName(QStringLiteral("path"));
    path_->setPlaceholderText(QStringLiteral("picture, video or frame-%03d.png"));
    auto* sourceRow = new QHBoxLayout;
    sourceRow->addWidget(source_);
    sourceRow->addWidget(path_, 1);
    form->addRow(QStringLiteral("Source"), sourceRow);

    device_ = new QComboBox(this);
    device_->setObjectName(QStringLiteral("device"));
    device_->setEditable(true);
    form->addRow(QStringLiteral("Output"), device_);

    level_ = new QSpinBox(this);
    level_->setObjectName(QStringLiteral("level"));
    level_->setRange(meterFloorDb, 0);
    level_->setValue(-3);
    level_->setSuffix(QStringLiteral(" dBFS"));
    meter_ = new QProgressBar(this);
    meter_->setObjectName(QStringLiteral("meter"));
    meter_->setRange(meterFloorDb, 0);
    meter_->setValue(meterFloorDb);
    meter_->setFormat(QStringLiteral("%v dBFS"));
    auto* levelRow = new QHBoxLayout;
    levelRow->addWidget(level_);
    levelRow->addWidget(meter_, 1);
    form->addRow(QStringLiteral("Level"), levelRow);

    rigModel_ = new QSpinBox(this);
    rigModel_->setObjectName(QStringLiteral("rigModel"));
    rigModel_->setRange(0, 1'000'000);
    rigModel_->setSpecialValueText(QStringLiteral("no rig"));
    rigPort_ = new QLineEdit(this);
    rigPort_->setObjectName(QStringLiteral("rigPort"));
    rigPort_->setPlaceholderText(QStringLiteral("rig port"));
    auto* rigRow = new QHBoxLayout;
    rigRow->addWidget(rigModel_);
    rigRow->addWidget(rigPort_, 1);
    form->addRow(QStringLiteral("Hamlib rig"), rigRow);

    transmit_ = new QPushButton(QStringLiteral("Transmit"), this);
    transmit_->setObjectName(QStringLiteral("transmit"));
    ptt_ = new QLabel(QStringLiteral("PTT off"), this);
    ptt_->setObjectName(QStringLiteral("ptt"));
    progress_ = new QLabel(this);
    progress_->setObjectName(QStringLiteral("progress"));
    auto* actionRow = new QHBoxLayout;
    actionRow->addWidget(transmit_);
    actionRow->addWidget(ptt_);
    actionRow->addWidget(progress_, 1);

    // Room for the largest picture of any program.
    int width = 0;
    int height = 0;
    for (const std::string& name : profileNames()) {
        const ReceiverProfile* p = findProfile(name);
        width = std::max(width, p->pictureColumns * previewScale);
        height = std::max(height, p->pictureLines * previewScale);
    }
    preview_ = new SurfaceView(0, width, height, this);
    preview_->setObjectName(QStringLiteral("preview"));

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(actionRow);
    layout->addWidget(preview_, 0, Qt::AlignHCenter);

    connect(transmit_, &QPushButton::clicked, this, [this] { sending() ? stop() : start(); });
    listDevices();
}

TransmitterWindow::~TransmitterWindow() {
    stopping_ = true;
    if (worker_.joinable()) {
        worker_.join();
    }
}

void TransmitterWindow::closeEvent(QCloseEvent* event) {
    stop();
    event->accept();
}

const ReceiverProfile& TransmitterWindow::profile() const {
    const ReceiverProfile* chosen = profileByIndex(program_->currentIndex());
    return chosen != nullptr ? *chosen : nbtv48Profile();
}

void TransmitterWindow::listDevices() {
    device_->clear();
    device_->addItem(QStringLiteral("Default output"), QString());
    std::vector<SoundDevice> outputs;
    std::string error;
    if (listOutputs(clientName, outputs, error)) {
        for (const SoundDevice& output : outputs) {
            device_->addItem(QString::fromStdString(output.description),
                             QString::fromStdString(output.name));
        }
    }
}

void TransmitterWindow::start() {
    if (sending()) {
        return;
    }
    const ReceiverProfile& p = profile();
    LiveOptions options;
    options.mono = mode_->currentIndex() == 1;
    if (options.mono && !p.hasMonochrome) {
        showWarning(this, windowTitle(),
                    QString::fromStdString(p.name) + QStringLiteral(" sends colour only"));
        return;
    }
    options.levelDb = level_->value();

    FeedRequest request;
    const SourceChoice& choice = sourceChoices[std::clamp(
        source_->currentIndex(), 0, static_cast<int>(std::size(sourceChoices)) - 1)];
    request.card = choice.card != nullptr ? choice.card : path_->text().toStdString();
    request.width = p.pictureColumns;
    request.height = p.pictureLines;
    request.repeat = true;
    std::string error;
    std::shared_ptr<PictureFeed> feed = openPictureFeed(request, error);
    if (!feed) {
        showWarning(this, windowTitle(), QString::fromStdString(error));
        return;
    }
    // A device typed in is taken by name or description; a listed one by its name.
    const int listed = device_->findText(device_->currentText());
    const std::string device = listed >= 0 ? device_->itemData(listed).toString().toStdString()
                                           : device_->currentText().toStdString();
    auto sink = std::make_shared<PlaybackSink>(clientName);
    if (!sink->open(device, p.sampleRate)) {
        showWarning(this, windowTitle(), QString::fromStdString(sink->error()));
        return;
    }
    std::shared_ptr<RigKey> key;
    if (rigModel_->value() > 0) {
        RigSettings rig;
        rig.model = rigModel_->value();
        rig.port = rigPort_->text().toStdString();
        key = std::make_shared<RigKey>();
        if (!key->open(rig)) {
            showWarning(this, windowTitle(), QString::fromStdString(key->error()));
            return;
        }
    }

    frames_ = 0;
    rate_ = p.sampleRate;
    stopping_ = false;
    transmit_->setText(QStringLiteral("Stop"));
    for (QWidget* w : std::initializer_list<QWidget*>{program_, mode_, source_, path_, device_,
                                                      level_, rigModel_, rigPort_}) {
        w->setEnabled(false);
    }
    progress_->clear();
    worker_ = std::thread([this, &p, options, feed, sink, key] {
        std::int64_t sent = 0;
        LiveObserver observer;
        observer.frameStarted = [this](const RgbImage& picture, std::int64_t frame) {
            QMetaObject::invokeMethod(
                this, [this, picture, frame] { showPicture(picture, frame); },
                Qt::QueuedConnection);
        };
        observer.sent = [this, &sent](std::span<const std::int16_t> samples) {
            sent += static_cast<std::int64_t>(samples.size());
            int peak = 0;
            for (const std::int16_t s : samples) {
                peak = std::max(peak, std::abs(static_cast<int>(s)));
            }
            const double peakDb = peak > 0 ? 20.0 * std::log10(peak / 32767.0) : meterFloorDb;
            QMetaObject::invokeMethod(
                this, [this, sent, peakDb] { showSent(sent, peakDb); }, Qt::QueuedConnection);
        };
        observer.keyed = [this](bool on) {
            QMetaObject::invokeMethod(
                this, [this, on] { showKey(on); }, Qt::QueuedConnection);
        };
        LiveResult result;
        try {
            result = transmitLive(
                p, options, *feed, *sink, key.get(), [this] { return stopping_.load(); }, observer);
        } catch (const std::exception& e) {
            result.error = e.what();
        }
        QMetaObject::invokeMethod(
            this, [this, result] { finished(result); }, Qt::QueuedConnection);
    });
}

void TransmitterWindow::stop() {
    stopping_ = true;
}

void TransmitterWindow::finished(const LiveResult& result) {
    if (worker_.joinable()) {
        worker_.join();
    }
    transmit_->setText(QStringLiteral("Transmit"));
    for (QWidget* w : std::initializer_list<QWidget*>{program_, mode_, source_, path_, device_,
                                                      level_, rigModel_, rigPort_}) {
        w->setEnabled(true);
    }
    meter_->setValue(meterFloorDb);
    showKey(false);
    progress_->setText(progress_->text() + QStringLiteral("  underruns %1").arg(result.underruns));
    if (!result.error.empty()) {
        showWarning(this, windowTitle(), QString::fromStdString(result.error));
    }
    emit sendingEnded();
}

void TransmitterWindow::showPicture(const RgbImage& picture, std::int64_t frame) {
    frames_ = frame + 1;
    // As a receiver's picture area: every pixel three samples across and three rows down.
    PixelSurface surface(picture.width * previewScale, picture.height * previewScale);
    for (int y = 0; y < surface.height; ++y) {
        for (int x = 0; x < surface.width; ++x) {
            const std::uint8_t* p = picture.pixel(x / previewScale, y / previewScale);
            surface.at(x, y) = rgbPixel(p[0], p[1], p[2]);
        }
    }
    QImage& image = preview_->image();
    image.fill(Qt::black);
    const QImage shown = surfaceImage(surface);
    for (int y = 0; y < std::min(image.height(), shown.height()); ++y) {
        std::memcpy(image.scanLine(y), shown.constScanLine(y),
                    static_cast<std::size_t>(std::min(image.width(), shown.width())) * 4);
    }
    preview_->update();
}

void TransmitterWindow::showSent(std::int64_t samples, double peakDb) {
    const std::int64_t seconds = samples / rate_;
    progress_->setText(QStringLiteral("%1:%2 on air, %3 frames")
                           .arg(seconds / 60)
                           .arg(seconds % 60, 2, 10, QLatin1Char('0'))
                           .arg(frames_));
    meter_->setValue(std::clamp(roundHalfEven(peakDb), meterFloorDb, 0));
}

void TransmitterWindow::showKey(bool keyed) {
    ptt_->setText(keyed ? QStringLiteral("PTT on") : QStringLiteral("PTT off"));
}

} // namespace nbtv
