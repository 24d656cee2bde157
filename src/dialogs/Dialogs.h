#pragma once
// The settings dialogs (sound card, calibration, picture, frame rate) and the help and about
// windows, opened by the main window's commands.

#include <QStringList>

#include <functional>

class QDialog;
class QWidget;

namespace nbtv {

struct ReceiverProfile;
struct ReceiverSettings;

// What the dialogs need of the window that opens them.
struct DialogContext {
    ReceiverSettings& settings;
    const ReceiverProfile& profile;
    // The device names for the sound-card list, in device order.
    std::function<QStringList()> listDevices;
    // Closes the running capture (finishing a recording) and opens it again with the settings.
    std::function<void()> restartCapture;
};

// Object names of the dialog windows, so the shell can find and end them.
inline constexpr const char* soundCardDialogName = "soundCardDialog";
inline constexpr const char* calibrationDialogName = "calibrationDialog";
inline constexpr const char* pictureDialogName = "pictureDialog";
inline constexpr const char* frameRateDialogName = "frameRateDialog";
inline constexpr const char* helpWindowName = "helpWindow";
inline constexpr const char* aboutWindowName = "aboutWindow";

// "Select soundcard": runs its own loop until closed; the main window stays usable meanwhile.
void runSoundCardDialog(DialogContext& context);
// "calibrate soundcard": likewise.
void runCalibrationDialog(DialogContext& context);
// "Save AVI frame rate": likewise.
void runFrameRateDialog(DialogContext& context);
// "Picture": modeless; returns at once with the open dialog (it deletes itself when closed).
QDialog* openPictureDialog(DialogContext& context);

// The help notes and the about window: owned by `owner` and modal to it.
void showHelp(QWidget* owner, const ReceiverProfile& profile);
void showAbout(QWidget* owner, const ReceiverProfile& profile);

} // namespace nbtv
