#include "io/AtomicFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nbtv {

namespace {

std::string systemMessage(int code) {
    return std::error_code(code, std::generic_category()).message();
}

FileIdentity identityFrom(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The temporary files not yet committed, where a signal handler can find them: fixed slots of
// fixed size, claimed and released with atomic stores, read by the handler without a lock.
constexpr int pendingSlots = 64;
constexpr std::size_t maxPendingPath = 4096;
enum SlotState : int { slotFree, slotFilling, slotLive };
struct PendingSlot {
    std::atomic<int> state{slotFree};
    char path[maxPendingPath];
};
static_assert(std::atomic<int>::is_always_lock_free);
PendingSlot pending[pendingSlots];

int claimSlot(const std::string& path) {
    if (path.size() >= maxPendingPath) {
        return -1;
    }
    for (int i = 0; i < pendingSlots; ++i) {
        int expected = slotFree;
        if (pending[i].state.compare_exchange_strong(expected, slotFilling)) {
            std::memcpy(pending[i].path, path.c_str(), path.size() + 1);
            pending[i].state.store(slotLive, std::memory_order_release);
            return i;
        }
    }
    return -1; // more at once than any command writes: such a file is only not removed by a signal
}

void releaseSlot(int& slot) {
    if (slot >= 0) {
        pending[slot].state.store(slotFree, std::memory_order_release);
        slot = -1;
    }
}

extern "C" void removeTemporariesAndDie(int signal) {
    for (PendingSlot& slot : pending) {
        if (slot.state.load(std::memory_order_acquire) == slotLive) {
            ::unlink(slot.path);
        }
    }
    // The handler was reset on entry and the signal is not blocked: raising it again ends the
    // process as the signal does by default.
    std::raise(signal);
}

std::atomic<int> noted{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void noteTermination(int signal) {
    int none = 0;
    if (!noted.compare_exchange_strong(none, signal)) {
        // The second one: at once, as without deferring.
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
        removeTemporariesAndDie(signal);
    }
}

} // namespace

std::string quotedPath(const std::string& path) {
    return "'" + path + "'";
}

std::optional<FileIdentity> identityOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return identityFrom(info);
}

std::optional<FileIdentity> identityOf(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return std::nullopt;
    }
    return identityFrom(info);
}

std::string outputRefusal(const std::string& path, Replace replace,
                          std::span<const FileIdentity> inputs, const std::string& existsHint) {
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0) {
        const std::string folder = folderOf(path);
        struct stat info {};
        if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            return "cannot write " + quotedPath(path) + ": folder " + quotedPath(folder) +
                   " does not exist";
        }
        return "";
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return quotedPath(path) + " is a symbolic link to nothing: an output never takes its place";
    }
    if (std::find(inputs.begin(), inputs.end(), identityFrom(info)) != inputs.end()) {
        return quotedPath(path) + " is an input: an output never takes its place";
    }
    if (S_ISDIR(info.st_mode)) {
        return quotedPath(path) + " is a folder: an output never takes its place";
    }
    if (!S_ISREG(info.st_mode)) {
        return quotedPath(path) + " is not a regular file: an output never takes its place";
    }
    if (replace == Replace::Never) {
        return quotedPath(path) + " already exists" +
               (existsHint.empty() ? "" : " (" + existsHint + ")");
    }
    return "";
}

AtomicFile::AtomicFile(std::string path, Replace replace)
    : path_(std::move(path)), replace_(replace) {}

AtomicFile::~AtomicFile() {
    discard();
}

std::string AtomicFile::temporaryName(int attempt) const {
    const std::size_t slash = path_.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    return folder + "." + name + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) +
           ".tmp";
}

bool AtomicFile::create(std::string& error) {
    discard();
    for (int attempt = 0; attempt < maxAttempts; ++attempt) {
        const std::string temp = temporaryName(attempt);
        // Listed before it exists, so that no moment leaves it behind on a signal.
        slot_ = claimSlot(temp);
        fd_ = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            temp_ = temp;
            return true;
        }
        const int code = errno;
        releaseSlot(slot_);
        if (code != EEXIST) {
            errno = code;
            break;
        }
    }
    error = "cannot write " + quotedPath(path_) + ": " + systemMessage(errno);
    return false;
}

bool AtomicFile::reserve(std::string& error) {
    discard();
    for (int attempt = 0; attempt < maxAttempts; ++attempt) {
        const std::string temp = temporaryName(attempt);
        struct stat info {};
        if (::lstat(temp.c_str(), &info) == 0) {
            continue;
        }
        slot_ = claimSlot(temp);
        temp_ = temp;
        return true;
    }
    error = "cannot write " + quotedPath(path_) + ": no free temporary name beside it";
    return false;
}

bool AtomicFile::write(const void* data, std::size_t size, std::string& error) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t done = ::write(fd_, bytes, size);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(error);
        }
        bytes += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

bool AtomicFile::commit(std::string& error) {
    const int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && ::close(fd) != 0) {
        return fail(error);
    }
    // What is at the target now may differ from what was there when the work began.
    if (std::string refusal = outputRefusal(path_, replace_); !refusal.empty()) {
        error = std::move(refusal);
        discard();
        return false;
    }
    int rc = replace_ == Replace::Never
                 ? ::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE)
                 : ::rename(temp_.c_str(), path_.c_str());
    if (rc != 0 && errno == EINVAL && replace_ == Replace::Never) {
        rc = ::rename(temp_.c_str(), path_.c_str()); // a file system without the exclusive form
    }
    if (rc != 0) {
        return fail(error);
    }
    temp_.clear();
    releaseSlot(slot_);
    return true;
}

bool AtomicFile::fail(std::string& error) {
    error = "cannot write " + quotedPath(path_) + ": " + systemMessage(errno);
    discard();
    return false;
}

void AtomicFile::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    }
    releaseSlot(slot_);
}

void removeTemporariesOnSignals() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
            continue; // ignored by whoever started us (nohup): stays ignored
        }
        struct sigaction action {};
        action.sa_handler = removeTemporariesAndDie;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
        ::sigaction(signal, &action, nullptr);
    }
}

void deferTerminationSignals() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = noteTermination;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr); // no SA_RESTART: a blocked wait returns
    }
}

int terminationSignal() {
    return noted.load();
}

void endAsSignalled(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    removeTemporariesAndDie(signal);
    std::_Exit(128 + signal); // not reached: the signal ends the process
}

} // namespace nbtv
