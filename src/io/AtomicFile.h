#pragma once
// Outputs that appear whole or not at all, and the one rule for what an output may take the
// place of. A file is written under a hidden temporary name beside its target and renamed into
// place when complete, so a reader never sees a partial file; a failure leaves nothing behind,
// and neither does an interrupting signal once removeTemporariesOnSignals() is in force.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace nbtv {

// A path in quotes, as the one-line error messages show it.
std::string quotedPath(const std::string& path);

// Whether an output may take the place of an existing regular file. Nothing else (a folder, a
// device, a pipe, a socket) is ever replaced.
enum class Replace { Never, RegularFile };

// Which file a name or an open file is: two names are the same file when these agree.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> identityOf(const std::string& path); // follows symbolic links
std::optional<FileIdentity> identityOf(int fd);

// Why `path` may not be written as an output, in one line ("" when it may): it is one of
// `inputs`, its folder does not exist, it is not a regular file, or it exists and `replace`
// does not allow that. `existsHint` ends the message of an existing file (how to replace it).
std::string outputRefusal(const std::string& path, Replace replace,
                          std::span<const FileIdentity> inputs = {},
                          const std::string& existsHint = "");

class AtomicFile {
  public:
    explicit AtomicFile(std::string path, Replace replace = Replace::RegularFile);
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile(); // discards the file unless committed

    // Creates the temporary file, open for write().
    bool create(std::string& error);
    // Only picks the temporary file's name, for a writer that creates the file itself (and
    // never takes an existing one).
    bool reserve(std::string& error);
    bool write(const void* data, std::size_t size, std::string& error);
    // The temporary file's name after create() or reserve().
    const std::string& temporaryPath() const { return temp_; }
    // Closes the file and renames it into place, if the rule still allows it.
    bool commit(std::string& error);
    // Removes the temporary file.
    void discard();

    const std::string& path() const { return path_; }

  private:
    static constexpr int maxAttempts = 100;
    std::string temporaryName(int attempt) const;
    bool fail(std::string& error);

    std::string path_;
    Replace replace_;
    std::string temp_;
    int fd_ = -1;
    int slot_ = -1; // in the list of temporary files a signal removes
};

// From now on SIGINT, SIGTERM and SIGHUP remove every temporary file not yet committed, then
// end the process as the signal would have (so a shell reports 130 for SIGINT).
void removeTemporariesOnSignals();

// For a command that must put things right before it ends (a transmitter's key released): from
// now on the first SIGINT, SIGTERM or SIGHUP is only noted, and terminationSignal() tells which
// it was; a second one ends the process at once, as removeTemporariesOnSignals() has it.
void deferTerminationSignals();
// The signal noted since deferTerminationSignals(); 0 when none.
int terminationSignal();
// Removes every temporary file not yet committed and ends the process as `signal` would have.
[[noreturn]] void endAsSignalled(int signal);

} // namespace nbtv
