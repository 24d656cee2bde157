// nbtvtx: the live transmitter's window, sending any program's pictures to a sound-card output.

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shell/ProgramEntry.h"
#include "shell/TerminationSignals.h"
#include "shell/TransmitterWindow.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::puts("usage: nbtvtx\n"
                      "The live transmitter: sends a test card, picture, video, camera or the\n"
                      "desktop to a sound-card output, keying a rig through Hamlib.\n"
                      "The command-line form is 'nbtv transmit'.");
            return 0;
        }
    }
    const auto isSet = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    if (!isSet("QT_QPA_PLATFORM") && !isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY")) {
        std::fputs("nbtvtx: no display (DISPLAY and WAYLAND_DISPLAY are unset); to run without "
                   "one, set QT_QPA_PLATFORM=offscreen\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    nbtv::registerResources();
    nbtv::applyDesktopLook(app);
    QApplication::setApplicationName(QStringLiteral("nbtvtx"));
    QApplication::setDesktopFileName(QStringLiteral("io.github.nbtv.nbtvtx"));
    nbtv::TransmitterWindow window;
    // A signal stops the sending, which releases the transmitter, then ends the program.
    nbtv::TerminationSignals termination;
    int ended = 0;
    QObject::connect(&termination, &nbtv::TerminationSignals::received, &window, [&](int number) {
        ended = number;
        window.close();
    });
    QObject::connect(&window, &nbtv::TransmitterWindow::sendingEnded, &app, [&] {
        if (ended != 0) {
            QApplication::exit(128 + ended);
        }
    });
    window.show();
    const int code = QApplication::exec();
    return ended != 0 ? 128 + ended : code;
}
