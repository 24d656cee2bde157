#include "shell/DesktopTools.h"

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

#include <vector>

namespace nbtv {

namespace {

struct Candidate {
    const char* program;
    QStringList arguments;
};

} // namespace

bool startDesktopTool(DesktopTool tool) {
    // PulseAudio's volume control serves both on PulseAudio and PipeWire desktops; its input
    // devices tab holds the recording levels.
    const std::vector<Candidate> candidates =
        tool == DesktopTool::RecordingLevels
            ? std::vector<Candidate>{{"pavucontrol", {"--tab=4"}}, {"pavucontrol-qt", {"--tab=4"}}}
            : std::vector<Candidate>{
                  {"pavucontrol", {}}, {"pavucontrol-qt", {}}, {"gnome-control-center", {"sound"}}};
    for (const Candidate& c : candidates) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(c.program));
        if (!path.isEmpty()) {
            return QProcess::startDetached(path, c.arguments);
        }
    }
    return false;
}

} // namespace nbtv
