// main() of the window tests: an offscreen Qt application that reaches no sound server.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "shell/ProgramEntry.h"

int main(int argc, char** argv) {
    // Test discovery does not pass ctest's environment: set it here, before Qt starts.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // A private runtime folder with no server in it, and no autospawn: the window tests must see
    // a machine without a sound server, whatever runs on this one.
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    qunsetenv("PULSE_SERVER");
    const QString config = runtime.filePath("client.conf");
    QFile file(config);
    if (file.open(QIODevice::WriteOnly)) {
        file.write("autospawn = no\n");
        file.close();
    }
    qputenv("PULSE_CLIENTCONFIG", config.toLocal8Bit());

    QApplication app(argc, argv);
    nbtv::registerResources();
    nbtv::applyDesktopLook(app);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
