#pragma once
// ShowWarning: the program's modal warning window, through one replaceable function so that
// tests record warnings instead of blocking on a modal window.

#include <QString>

#include <functional>

class QWidget;

namespace nbtv {

using WarningFunction =
    std::function<void(QWidget* owner, const QString& caption, const QString& text)>;

// Shows a warning through the current function (the warning window unless replaced).
void showWarning(QWidget* owner, const QString& caption, const QString& text);

// Replaces the function; returns the previous one.
WarningFunction setWarningFunction(WarningFunction function);

// The warning window itself: a tool window kept on top, 260 x 30 dialog units, centred, with
// the text centred in white on red in 14-point Arial. A text too long for one line is wrapped
// inside that width and the window grows taller to hold it. Returns when the user closes it.
void showWarningWindow(QWidget* owner, const QString& caption, const QString& text);

} // namespace nbtv
