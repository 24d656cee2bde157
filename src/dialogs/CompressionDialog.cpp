#include "dialogs/CompressionDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include <map>
#include <utility>

namespace nbtv {

namespace {

constexpr int defaultDataRateKBps = 300;
constexpr int maxDataRateKBps = 100000;

} // namespace

AviCompression& runCompressionOptions() {
    static AviCompression options;
    return options;
}

const std::vector<const AviCodec*>& workingAviCodecs(int width, int height) {
    static std::map<std::pair<int, int>, std::vector<const AviCodec*>> tried;
    auto [entry, fresh] = tried.try_emplace({width, height});
    if (fresh) {
        for (const AviCodec& codec : aviCodecCandidates()) {
            if (AviWriter::works(codec, width, height)) {
                entry->second.push_back(&codec);
            }
        }
    }
    return entry->second;
}

CompressionDialog::CompressionDialog(AviCompression& options, int width, int height)
    : QDialog(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      options_(options), codecs_(workingAviCodecs(width, height)) {
    setObjectName(QString::fromLatin1(compressionDialogName));
    setWindowTitle(tr("Video Compression"));
    // Closing the main window ends the program even while this dialog is open.
    setAttribute(Qt::WA_QuitOnClose, false);

    auto* grid = new QGridLayout(this);
    auto* compressorLabel = new QLabel(tr("&Compressor:"), this);
    grid->addWidget(compressorLabel, 0, 0);
    compressor_ = new QComboBox(this);
    compressorLabel->setBuddy(compressor_); // Alt+C goes to the list; the '&' is not shown
    compressor_->setObjectName("compressor");
    for (const AviCodec* codec : codecs_) {
        compressor_->addItem(
            QString::fromUtf8(codec->label.data(), static_cast<qsizetype>(codec->label.size())),
            QString::fromUtf8(codec->id.data(), static_cast<qsizetype>(codec->id.size())));
    }
    grid->addWidget(compressor_, 0, 1, 1, 2);

    details_ = new QLabel(this);
    details_->setObjectName("compressorDetails");
    grid->addWidget(details_, 1, 1, 1, 2);

    // Every completed picture is stored whole, so the interval is fixed at one frame.
    keyFrames_ = new QCheckBox(tr("&Key frame every"), this);
    keyFrames_->setObjectName("keyFrames");
    keyFrames_->setChecked(true);
    keyFrames_->setEnabled(false);
    keyFrameEvery_ = new QSpinBox(this);
    keyFrameEvery_->setObjectName("keyFrameEvery");
    keyFrameEvery_->setRange(1, 1);
    keyFrameEvery_->setValue(1);
    keyFrameEvery_->setEnabled(false);
    const QString whole = tr("Every received picture is stored as a key frame of its own.");
    keyFrames_->setToolTip(whole);
    keyFrameEvery_->setToolTip(whole);
    grid->addWidget(keyFrames_, 2, 0);
    grid->addWidget(keyFrameEvery_, 2, 1);
    grid->addWidget(new QLabel(tr("frames"), this), 2, 2);

    dataRate_ = new QCheckBox(tr("&Data rate"), this);
    dataRate_->setObjectName("dataRate");
    dataRateValue_ = new QSpinBox(this);
    dataRateValue_->setObjectName("dataRateValue");
    dataRateValue_->setRange(1, maxDataRateKBps);
    dataRateValue_->setValue(options.dataRateKBps > 0 ? options.dataRateKBps : defaultDataRateKBps);
    dataRate_->setChecked(options.dataRateKBps > 0);
    grid->addWidget(dataRate_, 3, 0);
    grid->addWidget(dataRateValue_, 3, 1);
    grid->addWidget(new QLabel(tr("KB/sec"), this), 3, 2);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* ok = new QPushButton(tr("OK"), this);
    ok->setObjectName("okButton");
    ok->setDefault(true);
    auto* cancel = new QPushButton(tr("Cancel"), this);
    cancel->setObjectName("cancelButton");
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    grid->addLayout(buttons, 4, 0, 1, 3);

    const int current = compressor_->findData(QString::fromStdString(options.codec));
    compressor_->setCurrentIndex(current >= 0 ? current : 0);
    showCompressor();

    connect(compressor_, &QComboBox::currentIndexChanged, this, [this] { showCompressor(); });
    connect(dataRate_, &QCheckBox::toggled, this, [this] { showCompressor(); });
    connect(ok, &QPushButton::clicked, this, [this] { keep(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

AviCompression CompressionDialog::choice() const {
    AviCompression chosen;
    chosen.codec = compressor_->currentData().toString().toStdString();
    chosen.dataRateKBps = dataRate_->isChecked() ? dataRateValue_->value() : 0;
    return chosen;
}

// The data rate applies to the lossy compressors only; the details say what to expect.
void CompressionDialog::showCompressor() {
    const AviCodec* codec = findAviCodec(choice().codec);
    const bool rated = codec != nullptr && codec->takesDataRate;
    dataRate_->setEnabled(rated);
    dataRateValue_->setEnabled(rated && dataRate_->isChecked());
    if (codec == nullptr) {
        details_->setText(tr("No compressor works here."));
    } else if (codec->lossless) {
        details_->setText(tr("Lossless: every picture is kept exactly."));
    } else {
        details_->setText(tr("Lossy: pictures are kept close to what was shown."));
    }
}

void CompressionDialog::keep() {
    if (!codecs_.empty()) {
        options_ = choice();
    }
    accept();
}

} // namespace nbtv
