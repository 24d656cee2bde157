#pragma once
// A window of its own with the band of the input: the spectrum from 0 to half the sample rate
// and a waterfall of it, the comb's carriers and pilots marked where the fine tune in use puts
// them. A click on the waterfall tunes so that the pilot clicked lands on its bin, through the
// fine-tune scale as the slider does. It takes the input from the session, as every output.

#include <QImage>
#include <QWidget>

#include <functional>
#include <span>
#include <vector>

#include "demod/BandSpectrum.h"
#include "session/ReceiveSession.h"

class QComboBox;

namespace nbtv {

inline constexpr const char* bandViewName = "bandView";

class BandView : public QWidget, public InputTap {
    Q_OBJECT
  public:
    // `fineTuneMoved` runs after a click has set the fine tune (the window shows it).
    BandView(ReceiveSession& session, std::function<void()> fineTuneMoved,
             QWidget* parent = nullptr);
    ~BandView() override;

    static constexpr int spectrumHeight = 120;
    static constexpr int waterfallHeight = 200;

    void input(std::span<const std::int16_t> block) override;

    // Blocks averaged into one waterfall row: 1, 2 or 4 ("Fast", "Medium", "Slow").
    int blocksPerRow() const { return blocksPerRow_; }
    void setBlocksPerRow(int blocks);
    QWidget* waterfall() const { return waterfall_; }
    QComboBox* speedChoice() const { return speed_; }
    // The waterfall's x of a transform bin's tone with the fine tune in use.
    double xOfBin(int bin) const;
    // A press on the waterfall at x.
    void pressWaterfall(int x);
    // What is drawn, for the window and for looking at.
    const QImage& spectrumImage() const { return spectrumImage_; }
    const QImage& waterfallImage() const { return waterfallImage_; }

  private:
    void addRow();
    void drawSpectrum();

    ReceiveSession& session_;
    std::function<void()> fineTuneMoved_;
    BandSpectrum spectrum_;
    std::vector<float> rowPower_;    // the row being averaged
    std::vector<float> recentPower_; // a running average, for finding the clicked peak
    int blocksInRow_ = 0;
    int blocksPerRow_ = 1;
    QImage spectrumImage_;
    QImage waterfallImage_;
    QWidget* spectrumArea_ = nullptr;
    QWidget* waterfall_ = nullptr;
    QComboBox* speed_ = nullptr;
};

} // namespace nbtv
