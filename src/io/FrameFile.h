#pragma once
// The frame file: every completed picture appended as one record, the picture's width and
// height (signed 32-bit, little-endian) and then its pixels, top row first, each row left to
// right, four bytes a pixel: blue, green, red, 0. Nothing before, between or after the records.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "picture/PixelSurface.h"

namespace nbtv {

inline constexpr std::size_t frameRecordHeaderBytes = 8;

// The record of a surface: 8 + 4 x width x height bytes (252296 for 288 x 219).
std::vector<std::uint8_t> frameRecord(const PixelSurface& surface);

// The name of a recording: prefix + MM-DD-YYYY + "_" + hhmmss + extension; from the second
// attempt on "-2", "-3" ... goes before the extension.
std::string recordingFileName(const std::string& prefix, const std::tm& local, int attempt,
                              const std::string& extension);
// The frame file's: the extension ".tv".
std::string frameFileName(const std::string& prefix, const std::tm& local, int attempt = 1);

// Creates the first free recording name in `folder` (exclusively: a name that exists, or
// appears meanwhile, is never emptied) and returns its open descriptor, its name in `name`; -1
// with a one-line error naming `what` ("frame file") when no name can be had.
int createRecordingFile(const std::string& prefix, const std::tm& local,
                        const std::string& extension, const std::filesystem::path& folder,
                        const std::string& what, std::string& name, std::string& error);

// The status text after `frames` records: "0 frames saved to NAME" at the start, then the plain
// number text (" 1", " 2" ...) and " frames saved to NAME".
std::string frameFileStatus(int frames, const std::string& name);

// Idle -> start -> append ... -> stop -> idle. A failed create or write is reported as a
// one-line error; the writer is then idle and the file keeps every whole record written.
class FrameFileWriter {
  public:
    FrameFileWriter() = default;
    FrameFileWriter(const FrameFileWriter&) = delete;
    FrameFileWriter& operator=(const FrameFileWriter&) = delete;
    ~FrameFileWriter();

    // A new file named after `local` in `folder`; a taken name gets the next "-N", so an earlier
    // recording of the same second is never emptied.
    bool start(const std::string& prefix, const std::tm& local, std::string& error,
               const std::filesystem::path& folder = ".");
    // The same at the local time now, in the current folder.
    bool start(const std::string& prefix, std::string& error);
    // The named file, created or emptied.
    bool startFile(const std::filesystem::path& file, std::string& error);

    // Appends the surface's record; only while recording.
    bool append(const PixelSurface& surface, std::string& error);
    // Closes the file; the counter returns to 0.
    void stop();
    // Whether a file that never received a record is removed when it is closed (it holds
    // nothing to lose) instead of kept empty, which is the default.
    void setRemoveEmptyFile(bool remove) { removeEmpty_ = remove; }

    bool recording() const { return fd_ >= 0; }
    int framesSaved() const { return frames_; }
    // The file's name as the status shows it, and where it is.
    const std::string& fileName() const { return name_; }
    const std::filesystem::path& path() const { return path_; }

  private:
    // 0, or the error code of a failed open (with `error` set).
    int open(const std::filesystem::path& file, int flags, std::string& error);

    int fd_ = -1;
    int frames_ = 0;
    std::uint64_t bytesKept_ = 0; // the whole records written
    bool removeEmpty_ = false;
    std::string name_;
    std::filesystem::path path_;
};

} // namespace nbtv
