#include "shell/TerminationSignals.h"

#include <QSocketNotifier>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace nbtv {

namespace {

constexpr int caught[3] = {SIGTERM, SIGINT, SIGHUP};

// The write end of the newest instance's pipe; read by the handler.
volatile std::sig_atomic_t writeFd = -1;

extern "C" void onTerminationSignal(int number) {
    const int savedErrno = errno;
    const int fd = writeFd;
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(number);
        // A full pipe already holds more signals than the program will read.
        if (::write(fd, &byte, 1) < 0) {
        }
    }
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        fds_[0] = fds_[1] = -1;
        return;
    }
    previousWriteFd_ = writeFd;
    writeFd = fds_[1];
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i) {
        sigaction(caught[i], &action, &previous_[i]);
    }
    notifier_ = new QSocketNotifier(fds_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::readPipe);
}

TerminationSignals::~TerminationSignals() {
    if (!active()) {
        return;
    }
    for (int i = 0; i < 3; ++i) {
        sigaction(caught[i], &previous_[i], nullptr);
    }
    writeFd = previousWriteFd_;
    delete notifier_;
    ::close(fds_[0]);
    ::close(fds_[1]);
}

void TerminationSignals::readPipe() {
    unsigned char numbers[16];
    for (;;) {
        const ssize_t got = ::read(fds_[0], numbers, sizeof numbers);
        if (got <= 0) {
            break;
        }
        for (ssize_t i = 0; i < got; ++i) {
            emit received(numbers[i]);
        }
    }
}

} // namespace nbtv
