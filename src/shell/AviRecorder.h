#pragma once
// Records the received pictures to an AVI file: one key frame per completed picture, the image
// the picture view shows at that moment, stored for playback at the chosen frame rate.

#include <QImage>
#include <QString>

#include <functional>
#include <memory>

class QWidget;

namespace nbtv {

struct ReceiverProfile;
struct ReceiverSettings;

// The record button's caption for the recording state: "Close file" while recording, "Record"
// otherwise.
QString recordButtonCaption(bool recording);

class AviRecorder {
  public:
    // What the recorder touches of the window.
    struct View {
        std::function<void(const QString&)> setStatus; // the status label
        std::function<void()> recordingChanged;        // settings.recording changed
        std::function<QImage()> pictureImage;          // the picture view's image
    };

    AviRecorder(ReceiverSettings& settings, const ReceiverProfile& profile, View view,
                QWidget* dialogParent = nullptr);
    ~AviRecorder();
    AviRecorder(const AviRecorder&) = delete;
    AviRecorder& operator=(const AviRecorder&) = delete;

    // The record button while idle: asks for the compression, opens the file.
    void startRecording();
    // Every completed frame; writes only while recording.
    void writeFrame();
    // The record button while recording, and on leaving or restarting: finishes the file, or
    // removes it when it never received a frame. A start still waiting on the compression
    // dialog ends without a recording and without a file.
    void stopRecording();

    bool isRecording() const;
    QString fileName() const; // the open (or last) file

  private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace nbtv
