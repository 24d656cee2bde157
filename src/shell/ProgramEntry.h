#pragma once
// The entry of a receiver program: the application, its look, the chosen source, the main
// window; returns the exit code once the window is gone.

#include "profiles/ReceiverProfile.h"

class QApplication;

namespace nbtv {

// Registers the icons compiled into the library (once per program).
void registerResources();

// Fonts and style that keep the controls' small fixed rectangles legible on any desktop.
void applyDesktopLook(QApplication& app);

// Runs the receiver of `profile`. Options (none are needed): --demo (the built-in transmitter),
// --input FILE (an audio file played in real time), --help, and Qt's own. They are read before
// Qt starts: help and mistakes need no display. Returns 0 when the window was closed, 1 without
// a display, 2 for a wrong command line, 128 + N after signal N (SIGTERM, SIGINT, SIGHUP).
int runReceiver(const ReceiverProfile& profile, int argc, char** argv);

} // namespace nbtv
