#include "shell/ProgramEntry.h"

#include <QApplication>
#include <QFont>
#include <QStyleFactory>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "capture/Sources.h"
#include "shell/MainWindow.h"

// Resources compiled into a static library are registered by the program; the macro must stand
// outside any namespace.
static void registerLibraryResources() {
    Q_INIT_RESOURCE(nbtv);
}

namespace nbtv {

namespace {

// Qt's own options, which QApplication takes out of the command line: those with a value (also
// written NAME=VALUE), then those without.
constexpr std::string_view qtOptionsWithValue[] = {
    "-platform",    "-platformpluginpath", "-platformtheme", "-plugin",   "-qwindowgeometry",
    "-qwindowicon", "-qwindowtitle",       "-display",       "-geometry", "-style",
    "-stylesheet"};
constexpr std::string_view qtFlags[] = {"-reverse", "-nograb", "-dograb", "-sync"};

void printUsage(const ReceiverProfile& profile, std::FILE* to) {
    std::fprintf(
        to,
        "usage: %s [--demo | --input FILE]\n"
        "  --demo        receive the built-in transmitter's test card\n"
        "  --input FILE  receive an audio file (any format) played in real time\n"
        "  --record-audio FILE\n"
        "                record the input from its first block into FILE (a new file;\n"
        "                WAV for a name ending in .wav, FLAC otherwise)\n"
        "Without options the receiver captures from the sound card. Qt's own options\n"
        "(-platform NAME, -style NAME ...) are passed on.\n"
        "The window needs a display; without one, QT_QPA_PLATFORM=offscreen runs it unseen.\n"
        "SIGTERM, SIGINT and SIGHUP end it as File > Exit does, an open recording finished.\n"
        "exit status: 0 closed, 1 no display, 2 wrong command line, 128 + N ended by signal N\n",
        profile.name.c_str());
}

bool isSet(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && value[0] != '\0';
}

// Qt takes its options with one dash or two.
std::string_view qtSpelling(std::string_view arg) {
    if (arg.starts_with("--")) {
        arg.remove_prefix(1);
    }
    return arg;
}

// The number of arguments (1 or 2) that the Qt option `arg` takes up; 0 when it is none.
int qtOptionLength(std::string_view arg) {
    arg = qtSpelling(arg);
    for (const std::string_view option : qtOptionsWithValue) {
        if (arg == option) {
            return 2;
        }
        if (arg.size() > option.size() && arg.starts_with(option) && arg[option.size()] == '=') {
            return 1;
        }
    }
    for (const std::string_view flag : qtFlags) {
        if (arg == flag) {
            return 1;
        }
    }
    return 0;
}

struct Options {
    bool demo = false;
    const char* input = nullptr;
    const char* recordAudio = nullptr;
    bool platformGiven = false;
};

// Reads the command line before Qt starts, so that help and mistakes need no display. Returns
// the exit code when the program ends here, -1 when the window is to be opened.
int readOptions(const ReceiverProfile& profile, int argc, char** argv, Options& options) {
    const char* name = profile.name.c_str();
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printUsage(profile, stdout);
            return 0;
        }
    }
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--demo") {
            options.demo = true;
        } else if (arg == "--input") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                std::fprintf(stderr, "%s: --input needs a file\n", name);
                printUsage(profile, stderr);
                return 2;
            }
            options.input = argv[++i];
        } else if (arg == "--record-audio") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                std::fprintf(stderr, "%s: --record-audio needs a file\n", name);
                printUsage(profile, stderr);
                return 2;
            }
            options.recordAudio = argv[++i];
        } else if (const int length = qtOptionLength(arg); length > 0) {
            if (length == 2 && i + 1 >= argc) {
                std::fprintf(stderr, "%s: %s needs a value\n", name, argv[i]);
                printUsage(profile, stderr);
                return 2;
            }
            const std::string_view qt = qtSpelling(arg);
            options.platformGiven =
                options.platformGiven || qt == "-platform" || qt.starts_with("-platform=");
            i += length - 1;
        } else {
            std::fprintf(stderr, "%s: unknown option '%s'\n", name, argv[i]);
            printUsage(profile, stderr);
            return 2;
        }
    }
    if (options.demo && options.input != nullptr) {
        std::fprintf(stderr, "%s: --demo and --input exclude each other\n", name);
        printUsage(profile, stderr);
        return 2;
    }
    if (!options.platformGiven && !isSet("QT_QPA_PLATFORM") && !isSet("DISPLAY") &&
        !isSet("WAYLAND_DISPLAY")) {
        std::fprintf(stderr,
                     "%s: no display (DISPLAY and WAYLAND_DISPLAY are unset); to run without "
                     "one, set QT_QPA_PLATFORM=offscreen\n",
                     name);
        return 1;
    }
    return -1;
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
    Options options;
    if (const int code = readOptions(profile, argc, argv, options); code >= 0) {
        return code;
    }

    QApplication app(argc, argv);
    registerResources();
    applyDesktopLook(app);
    QApplication::setApplicationName(QString::fromStdString(profile.name));
    QApplication::setDesktopFileName(QString::fromStdString("io.github.nbtv." + profile.name));

    std::unique_ptr<WaveIn> source = options.demo ? makeTransmitterInput(profile)
                                     : options.input != nullptr
                                         ? makeFileInput(QString::fromLocal8Bit(options.input))
                                         : makeSoundCardInput();
    MainWindow window(profile, std::move(source));
    if (options.recordAudio != nullptr) {
        QString error;
        if (!window.startAudioRecording(QString::fromLocal8Bit(options.recordAudio), error)) {
            std::fprintf(stderr, "%s: %s\n", profile.name.c_str(), error.toLocal8Bit().constData());
            return 1;
        }
    }
    // A signal ends the program as File > Exit does; the status tells which signal it was.
    QObject::connect(&window, &MainWindow::terminationRequested, &app,
                     [](int signalNumber) { QApplication::exit(128 + signalNumber); });
    window.show();
    return QApplication::exec();
}

} // namespace nbtv
