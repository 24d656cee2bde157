#pragma once
// The outputs of every command, under one rule: an output never takes the place of an input, a
// folder, a device or anything but a regular file, and replaces an existing regular file only
// with --overwrite; it is checked before any work starts and appears whole or not at all (an
// error or an interrupting signal leaves no temporary file behind).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Arguments.h"
#include "io/AtomicFile.h"
#include "io/AviWriter.h"
#include "picture/PixelSurface.h"
#include "picture/RgbImage.h"

namespace nbtv::cli {

// --overwrite, and its short form.
inline const std::vector<OptionRule> overwriteOptions = {{"--overwrite", false}, {"-y", false}};

struct OutputRule {
    Replace replace = Replace::Never;
    std::vector<FileIdentity> inputs;
};

// The rule of a command line: --overwrite or -y allow replacing, and `inputs` (paths, "-" for
// standard input) are never replaced.
OutputRule outputRule(const Arguments& arguments, const std::vector<std::string>& inputs);

// Throws RunError when the files may not be written: one of them breaks the rule, or two of
// them are the same place.
void checkOutputFiles(const std::vector<std::string>& paths, const OutputRule& rule);

// picture-0001.png, ... in `folder`.
std::string pictureName(const std::filesystem::path& folder, int number);

// A folder for numbered pictures: made when missing (its parent must exist); one that already
// holds pictures only with --overwrite. check() throws RunError before any work starts;
// prepare() makes the folder.
class PictureFolder {
  public:
    PictureFolder(std::filesystem::path folder, const OutputRule& rule);
    void check() const;
    void prepare();
    // Whether prepare() made the folder.
    bool created() const { return created_; }
    const std::filesystem::path& path() const { return folder_; }
    Replace replace() const { return replace_; }

  private:
    std::filesystem::path folder_;
    Replace replace_;
    bool created_ = false;
};

// An AVI file written under a temporary name and put in place when finished.
class AviOutput {
  public:
    AviOutput(const std::string& path, int width, int height, int framesPerSecond,
              const AviCompression& compression, Replace replace);
    // One picture, `height` rows bottom row first, `stride` bytes apart (see AviWriter).
    void write(const std::uint8_t* bottomUpRows, std::ptrdiff_t stride);
    // Writes the index and puts the file in place.
    void finish();
    int frames() const { return frames_; }

  private:
    AtomicFile file_; // declared first, so gone last: the writer closes the file first
    AviWriter writer_;
    int frames_ = 0;
};

// A frame file written under a temporary name and put in place when finished.
class FrameFileOutput {
  public:
    FrameFileOutput(const std::string& path, Replace replace);
    void add(const PixelSurface& surface);
    void finish();
    int records() const { return records_; }

  private:
    AtomicFile file_;
    int records_ = 0;
};

} // namespace nbtv::cli
