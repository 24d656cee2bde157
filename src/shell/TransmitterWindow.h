#pragma once
// The live transmitter's window: program and mode, picture source, output device, level and its
// meter, "Transmit"/"Stop", the push-to-talk state, a preview of the picture on air drawn as the
// receivers draw theirs, and the time on air and frames sent. The sending itself runs on a
// thread of its own through the live transmitter the tool uses.

#include <QWidget>

#include <atomic>
#include <memory>
#include <thread>

#include "tx/LiveTransmitter.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace nbtv {

class SurfaceView;

class TransmitterWindow : public QWidget {
    Q_OBJECT
  public:
    explicit TransmitterWindow(QWidget* parent = nullptr);
    ~TransmitterWindow() override; // stops a sending and releases the key

    bool sending() const { return worker_.joinable(); }
    // Frames begun and samples sent in the present (or last) sending.
    std::int64_t framesShown() const { return frames_; }
    const SurfaceView& preview() const { return *preview_; }

  signals:
    // A sending ended (stopped, done or failed).
    void sendingEnded();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void listDevices();
    void start();
    void stop();
    void finished(const LiveResult& result);
    void showPicture(const RgbImage& picture, std::int64_t frame);
    void showSent(std::int64_t samples, double peak);
    void showKey(bool keyed);
    const ReceiverProfile& profile() const;

    QComboBox* program_ = nullptr;
    QComboBox* mode_ = nullptr;
    QComboBox* source_ = nullptr;
    QLineEdit* path_ = nullptr;
    QComboBox* device_ = nullptr;
    QSpinBox* level_ = nullptr;
    QProgressBar* meter_ = nullptr;
    QSpinBox* rigModel_ = nullptr;
    QLineEdit* rigPort_ = nullptr;
    QPushButton* transmit_ = nullptr;
    QLabel* ptt_ = nullptr;
    QLabel* progress_ = nullptr;
    SurfaceView* preview_ = nullptr;

    std::thread worker_;
    std::atomic<bool> stopping_{false};
    std::int64_t frames_ = 0;
    int rate_ = 1;
};

} // namespace nbtv
