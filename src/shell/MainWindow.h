#pragma once
// The receiver's one top-level window: controls and menus laid out by the profile, the receive
// core, sound capture, and the dispatch of every event in a fixed order.

#include <QMainWindow>

#include <memory>
#include <vector>

#include "capture/SoundCapture.h"
#include "capture/WaveIn.h"
#include "dialogs/Dialogs.h"
#include "display/SurfaceView.h"
#include "io/FrameFile.h"
#include "session/ReceiveSession.h"
#include "shell/AudioRecording.h"
#include "shell/AviRecorder.h"
#include "shell/BandView.h"
#include "shell/EnhancedWorker.h"
#include "tuning/AutoTuner.h"

class QAction;
class QCheckBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSlider;

namespace nbtv {

class TerminationSignals;

// The slider's readout of a fine tune: "05.53 Hz", "-00.07 Hz".
QString fineTuneReadout(float fineTuneHz);

class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    // `source` feeds the capture: the sound card, an audio file or the built-in transmitter.
    MainWindow(const ReceiverProfile& profile, std::unique_ptr<WaveIn> source,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    const ReceiverProfile& profile() const { return profile_; }
    ReceiveSession& session() { return session_; }
    Receiver& receiver() { return receiver_; }
    ReceiverSettings& settings() { return receiver_.settings(); }
    SoundCapture& capture() { return *capture_; }
    AviRecorder& recorder() { return *recorder_; }
    AutoTuner& tuner() { return tuner_; }
    AudioRecording& audioRecording() { return *audio_; }
    // The band view, once "Band view" opened it (nullptr before).
    BandView* bandView() const { return bandView_.get(); }

    // Records the audio into `path` from the next block on (the command line's
    // --record-audio); false with a one-line reason.
    bool startAudioRecording(const QString& path, QString& error);
    // Runs the last minute of input through the receiver again; returns the frames completed.
    int replayLastMinute();

    // The controls with this identifier, in creation order.
    std::vector<QWidget*> controls(int id) const;
    // The first control with this identifier, or nullptr.
    QWidget* control(int id) const;
    SurfaceView* pictureView() const { return pictureView_; }
    SurfaceView* pilotScope() const { return pilotScope_; }
    SurfaceView* monitorStrip() const { return monitorStrip_; }
    // The menu command of this identifier, or nullptr.
    QAction* action(int id) const;

    // Sets the run-time settings to their start values and opens capture.
    void initialiseReceiver();
    // One command of a menu item or control.
    void dispatchCommand(int id);
    // A left-button press at client pixel (x, y).
    void onLeftButtonDown(int x, int y);
    // The work of a block after its spectra and the re-queue: demodulation, placing, assembly,
    // and the drawing (the picture only when the block completed a frame).
    void finishBlock();

    // Whether the picture view shows (and records) the enhanced picture.
    bool enhancedPicture() const { return session_.enhanced(); }
    // Enhanced pictures shown since start, and blocks the enhanced path has still to fit.
    long enhancedPicturesShown() const { return enhancedShown_; }
    int enhancedBacklog() const { return enhanced_->backlog(); }

    // Blocks handled and frames completed since start.
    long blocksHandled() const { return blocksHandled_; }
    long framesCompleted() const { return framesCompleted_; }

  signals:
    void blockHandled(bool frameCompleted);
    // SIGTERM, SIGINT or SIGHUP arrived; the window then closes as "&Exit" closes it.
    void terminationRequested(int signalNumber);

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void createControls();
    void createMenus();
    void addMenuEntries(class QMenu* menu, const std::vector<struct MenuEntry>& entries);
    void onDeviceLost();
    void onDeviceReturned(const QString& name);
    void onTerminationSignal(int signalNumber);
    void onFineTuneScrolled(int code, int position);
    void setFineTuneReadouts(const QString& text);
    void selectColourMode(int mode);
    void restartCapture();
    void toggleRecording();
    void setRecordingState(const QString& text);
    void setStatus(const QString& text);
    void showRecordButton();
    void writeFrame(const PixelSurface& surface);
    void toggleEnhancedPicture();
    void toggleAutomatic(int id);
    void showFineTune();
    void applyTuning(const AutoTuneChange& change);
    void showColourGuess();
    void showPicture(const SessionPicture& picture);
    void shutdown();
    void toggleAudioRecording();
    void showAudioRecording();
    void saveLastMinute();

    const ReceiverProfile& profile_;
    ReceiveSession session_;
    Receiver& receiver_; // the session's
    AutoTuner& tuner_;   // the session's
    std::unique_ptr<WaveIn> source_;
    std::unique_ptr<SoundCapture> capture_;
    DialogContext dialogs_;
    std::unique_ptr<AviRecorder> recorder_;
    FrameFileWriter frameFile_;             // the recorder of programs that write frame files
    std::unique_ptr<AudioRecording> audio_; // taps the session's input
    std::unique_ptr<BandView> bandView_;    // so does the band view

    QWidget* client_ = nullptr;
    std::vector<QWidget*> controls_;
    std::vector<QAction*> actions_;
    SurfaceView* pictureView_ = nullptr;
    SurfaceView* pilotScope_ = nullptr;
    SurfaceView* monitorStrip_ = nullptr;

    TerminationSignals* terminationSignals_ = nullptr;

    std::unique_ptr<EnhancedWorker> enhanced_; // the enhanced fit, beside the window
    long enhancedShown_ = 0;

    bool initialised_ = false;
    bool shutDown_ = false;
    bool lossReported_ = false;
    bool statusShowsRecording_ = false; // the status line holds a recording's text
    // The frame-phase search's colour order is a guess, and where the window says so: on the
    // status line, or (while a recording's text holds it) in the "Rotate colours" item.
    bool colourGuessShown_ = false;
    bool statusShowsGuess_ = false;
    long blocksHandled_ = 0;
    long framesCompleted_ = 0;
};

} // namespace nbtv
