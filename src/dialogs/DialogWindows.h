#pragma once
// The window pieces the dialogs share: the small always-on-top tool window, a push button whose
// text wraps, the dialogs' own loop, and placement on the screen.

#include <QDialog>
#include <QIcon>
#include <QPushButton>
#include <QRect>

namespace nbtv {

// A settings dialog: a top-level tool window kept on top, with a title bar and a close box, no
// owner. Like the platform windows it stands for, it closes only through its own buttons and
// its close box (Escape does nothing), and it never keeps the program running on its own.
class SettingsDialog : public QDialog {
    Q_OBJECT
  public:
    SettingsDialog(const char* objectName, const QString& caption);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// A push button whose text is broken into lines at word boundaries to fit its width.
class WrapButton : public QPushButton {
    Q_OBJECT
  public:
    using QPushButton::QPushButton;

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// Shows `dialog` and runs an event loop of its own until the dialog closes or the application
// quits, so that other windows go on receiving their events; then deletes the dialog.
void runUntilClosed(QDialog* dialog);

// The top-left corner that centres a `size` window in `area`.
QPoint centredIn(const QRect& area, const QSize& size);
// The screen's whole area and its work area (without panels).
QRect screenArea();
QRect workArea();

// The program's icon.
QIcon programIcon();

} // namespace nbtv
