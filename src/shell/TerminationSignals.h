#pragma once
// SIGTERM, SIGINT and SIGHUP brought onto the GUI thread: the handler only writes the signal's
// number into a pipe, whose read end a socket notifier watches in the event loop.

#include <QObject>

#include <csignal>

class QSocketNotifier;

namespace nbtv {

class TerminationSignals : public QObject {
    Q_OBJECT
  public:
    // Catches the three signals from now on. Instances nest: the newest one receives them, and
    // destroying it (newest first) puts back what was there before.
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // Whether the signals are caught (the pipe could be made).
    bool active() const { return fds_[0] >= 0; }

  signals:
    // In the event loop, once for every signal that arrived.
    void received(int signalNumber);

  private:
    void readPipe();

    int fds_[2] = {-1, -1};
    int previousWriteFd_ = -1;
    struct sigaction previous_[3] = {};
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace nbtv
