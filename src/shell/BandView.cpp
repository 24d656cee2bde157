#include "shell/BandView.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/Conversions.h"
#include "core/FineTuneScale.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

namespace {

constexpr float floorDb = -85.0f; // the waterfall's black
constexpr float spanDb = 75.0f;   // from black to white

// Dark blue through red and yellow to white as the level rises.
QRgb levelColour(float db) {
    const float t = std::clamp((db - floorDb) / spanDb, 0.0f, 1.0f);
    const auto channel = [](float v) { return truncateToInt(255.0 * std::clamp(v, 0.0f, 1.0f)); };
    return qRgb(channel(3.0f * t - 0.5f), channel(3.0f * t - 1.5f),
                channel(t < 0.25f ? 2.0f * t : 3.0f * t - 2.0f));
}

// A drawing area that shows an image, with the comb's marks over it, and reports presses.
class ImageArea : public QWidget {
  public:
    ImageArea(const QImage& image, std::function<void(QPainter&)> marks,
              std::function<void(int)> pressed, QWidget* parent)
        : QWidget(parent), image_(image), marks_(std::move(marks)), pressed_(std::move(pressed)) {
        setFixedSize(image.size());
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.drawImage(0, 0, image_);
        marks_(painter);
    }
    void mousePressEvent(QMouseEvent* event) override {
        if (pressed_ && event->button() == Qt::LeftButton) {
            pressed_(event->position().toPoint().x());
        }
    }

  private:
    const QImage& image_;
    std::function<void(QPainter&)> marks_;
    std::function<void(int)> pressed_;
};

} // namespace

BandView::BandView(ReceiveSession& session, std::function<void()> fineTuneMoved, QWidget* parent)
    : QWidget(parent, Qt::Window), session_(session), fineTuneMoved_(std::move(fineTuneMoved)),
      rowPower_(BandSpectrum::points, 0.0f), recentPower_(BandSpectrum::points, 0.0f),
      spectrumImage_(BandSpectrum::points, spectrumHeight, QImage::Format_RGB32),
      waterfallImage_(BandSpectrum::points, waterfallHeight, QImage::Format_RGB32) {
    setObjectName(bandViewName);
    setWindowTitle(QStringLiteral("Band view"));
    setAttribute(Qt::WA_QuitOnClose, false);
    spectrumImage_.fill(Qt::black);
    waterfallImage_.fill(Qt::black);

    const ReceiverProfile& profile = session_.profile();
    // The comb's marks: every line's tone faint, the pilots bright, where the fine tune puts them.
    auto marks = [this, &profile](QPainter& painter, int height) {
        const CarrierLayout& comb = profile.carriers;
        painter.setPen(QColor(0, 160, 0));
        for (const int bin : comb.lineBins) {
            const int x = roundHalfEven(xOfBin(bin));
            painter.drawLine(x, 0, x, height / 8);
        }
        if (comb.topCopyBin != 0) {
            const int x = roundHalfEven(xOfBin(comb.topCopyBin));
            painter.drawLine(x, 0, x, height / 8);
        }
        painter.setPen(QColor(255, 60, 255));
        for (const int bin : {comb.pilotBin, comb.secondPilotBin}) {
            if (bin != 0) {
                const int x = roundHalfEven(xOfBin(bin));
                painter.drawLine(x, 0, x, height / 4);
            }
        }
    };
    spectrumArea_ = new ImageArea(
        spectrumImage_, [marks](QPainter& p) { marks(p, spectrumHeight); }, nullptr, this);
    waterfall_ = new ImageArea(
        waterfallImage_, [marks](QPainter& p) { marks(p, waterfallHeight / 2); },
        [this](int x) { pressWaterfall(x); }, this);
    waterfall_->setObjectName(QStringLiteral("waterfall"));
    waterfall_->setCursor(Qt::CrossCursor);
    waterfall_->setToolTip(QStringLiteral("Click a pilot to tune to it"));

    speed_ = new QComboBox(this);
    speed_->setObjectName(QStringLiteral("scrollSpeed"));
    speed_->addItem(QStringLiteral("Fast"), 1);
    speed_->addItem(QStringLiteral("Medium"), 2);
    speed_->addItem(QStringLiteral("Slow"), 4);
    connect(speed_, &QComboBox::currentIndexChanged, this,
            [this](int index) { setBlocksPerRow(speed_->itemData(index).toInt()); });
    auto* speedLabel = new QLabel(QStringLiteral("&Scroll speed:"), this);
    speedLabel->setBuddy(speed_);

    auto* row = new QHBoxLayout;
    row->addWidget(speedLabel);
    row->addWidget(speed_);
    row->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(2);
    layout->addWidget(spectrumArea_);
    layout->addWidget(waterfall_);
    layout->addLayout(row);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    session_.addInputTap(this);
}

BandView::~BandView() {
    session_.removeInputTap(this);
}

void BandView::setBlocksPerRow(int blocks) {
    blocksPerRow_ = std::max(1, blocks);
    const int index = speed_->findData(blocksPerRow_);
    if (index >= 0 && index != speed_->currentIndex()) {
        speed_->setCurrentIndex(index);
    }
}

double BandView::xOfBin(int bin) const {
    const ReceiverSettings& s = session_.receiver().settings();
    return BandSpectrum::pointOfBin(bin, static_cast<double>(s.fineTuneHz), s.sampleRate);
}

void BandView::input(std::span<const std::int16_t> block) {
    if (!isVisible()) {
        return;
    }
    spectrum_.add(block);
    const std::vector<float>& power = spectrum_.power();
    for (std::size_t k = 0; k < power.size(); ++k) {
        rowPower_[k] += power[k];
        recentPower_[k] = 0.75f * recentPower_[k] + 0.25f * power[k];
    }
    if (++blocksInRow_ >= blocksPerRow_) {
        addRow();
    }
}

void BandView::addRow() {
    const float share = 1.0f / static_cast<float>(blocksInRow_);
    // The waterfall moves down a row; the newest row is the top one.
    const qsizetype rowBytes = waterfallImage_.bytesPerLine();
    std::memmove(waterfallImage_.bits() + rowBytes, waterfallImage_.bits(),
                 static_cast<std::size_t>(rowBytes * (waterfallHeight - 1)));
    auto* top = reinterpret_cast<QRgb*>(waterfallImage_.scanLine(0));
    for (std::size_t k = 0; k < rowPower_.size(); ++k) {
        const float p = rowPower_[k] * share;
        top[k] = levelColour(p > 1e-12f ? 10.0f * std::log10(p) : -120.0f);
        rowPower_[k] = 0.0f;
    }
    blocksInRow_ = 0;
    drawSpectrum();
    spectrumArea_->update();
    waterfall_->update();
}

void BandView::drawSpectrum() {
    spectrumImage_.fill(Qt::black);
    const std::vector<float>& levels = spectrum_.levels();
    for (int x = 0; x < BandSpectrum::points; ++x) {
        const float t =
            std::clamp((levels[static_cast<std::size_t>(x)] - floorDb) / spanDb, 0.0f, 1.0f);
        const int top = spectrumHeight - 1 - truncateToInt(t * (spectrumHeight - 1));
        for (int y = top; y < spectrumHeight; ++y) {
            reinterpret_cast<QRgb*>(spectrumImage_.scanLine(y))[x] = qRgb(90, 200, 255);
        }
    }
}

void BandView::pressWaterfall(int x) {
    const ReceiverProfile& profile = session_.profile();
    ReceiverSettings& settings = session_.receiver().settings();
    const CarrierLayout& comb = profile.carriers;
    // The pilot nearest the press, then its tone's peak in the recent spectrum near there.
    int pilot = comb.pilotBin;
    if (comb.secondPilotBin != 0 &&
        std::abs(x - xOfBin(comb.secondPilotBin)) < std::abs(x - xOfBin(comb.pilotBin))) {
        pilot = comb.secondPilotBin;
    }
    const double point = BandSpectrum::peakNear(recentPower_, x, 2);
    const double heardHz = point * settings.sampleRate / BandSpectrum::length;
    const double binHz = static_cast<double>(settings.sampleRate) / 256.0;
    // As the slider would: its nearest position, then the slider's own move.
    const int position = fineTuneControls(pilot * binHz - heardHz, profile).sliderPosition;
    moveFineTuneSlider(settings, profile, position);
    if (fineTuneMoved_) {
        fineTuneMoved_();
    }
    spectrumArea_->update();
    waterfall_->update();
}

} // namespace nbtv
