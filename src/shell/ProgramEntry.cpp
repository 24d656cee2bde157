#include "shell/ProgramEntry.h"

#include <QApplication>
#include <QFont>
#include <QStringList>
#include <QStyleFactory>

#include <cstdio>

#include "audio/Sources.h"
#include "shell/MainWindow.h"

// Resources compiled into a static library are registered by the program; the macro must stand
// outside any namespace.
static void registerLibraryResources() {
    Q_INIT_RESOURCE(nbtv);
}

namespace nbtv {

namespace {

void printUsage(const ReceiverProfile& profile, std::FILE* to) {
    std::fprintf(to,
                 "usage: %s [--demo | --input FILE]\n"
                 "  --demo        receive the built-in transmitter's test card\n"
                 "  --input FILE  receive an audio file (any format) played in real time\n"
                 "Without options the receiver captures from the sound card.\n",
                 profile.name.c_str());
}

} // namespace

void registerResources() {
    registerLibraryResources();
}

void applyDesktopLook(QApplication& app) {
    app.setStyle(QStyleFactory::create("Fusion"));
    app.setFont(QFont("Liberation Sans", 8));
}

int runReceiver(const ReceiverProfile& profile, int argc, char** argv) {
    QApplication app(argc, argv);
    registerResources();
    applyDesktopLook(app);
    QApplication::setApplicationName(QString::fromStdString(profile.name));
    QApplication::setDesktopFileName(QString::fromStdString("io.github.nbtv." + profile.name));

    QStringList args = QApplication::arguments();
    args.removeFirst();
    bool demo = false;
    QString input;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == "--demo") {
            demo = true;
        } else if (args[i] == "--input" && i + 1 < args.size()) {
            input = args[++i];
        } else if (args[i] == "--help" || args[i] == "-h") {
            printUsage(profile, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "%s: unknown option '%s'\n", profile.name.c_str(),
                         args[i].toLocal8Bit().constData());
            printUsage(profile, stderr);
            return 2;
        }
    }
    if (demo && !input.isEmpty()) {
        std::fprintf(stderr, "%s: --demo and --input exclude each other\n", profile.name.c_str());
        return 2;
    }

    std::unique_ptr<WaveIn> source = demo               ? makeTransmitterInput(profile)
                                     : !input.isEmpty() ? makeFileInput(input)
                                                        : makeSoundCardInput();
    MainWindow window(profile, std::move(source));
    window.show();
    return QApplication::exec();
}

} // namespace nbtv
