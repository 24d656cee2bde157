#include "Outputs.h"

#include <cstdio>
#include <system_error>

#include <unistd.h>

#include "Commands.h"
#include "io/FrameFile.h"

namespace nbtv::cli {

namespace fs = std::filesystem;

namespace {

const std::string replaceHint = "--overwrite replaces it";

// Whether two names are one place: the same file, or the same name in the same folder.
bool samePlace(const std::string& a, const std::string& b) {
    if (const auto ia = identityOf(a)) {
        if (const auto ib = identityOf(b)) {
            return *ia == *ib;
        }
    }
    const fs::path pa(a);
    const fs::path pb(b);
    const auto folderOf = [](const fs::path& p) {
        return p.parent_path().empty() ? std::string(".") : p.parent_path().string();
    };
    const auto fa = identityOf(folderOf(pa));
    return pa.filename() == pb.filename() && fa && fa == identityOf(folderOf(pb));
}

} // namespace

OutputRule outputRule(const Arguments& arguments, const std::vector<std::string>& inputs) {
    OutputRule rule;
    rule.replace =
        arguments.has("--overwrite") || arguments.has("-y") ? Replace::RegularFile : Replace::Never;
    for (const std::string& input : inputs) {
        if (const auto identity = input == "-" ? identityOf(STDIN_FILENO) : identityOf(input)) {
            rule.inputs.push_back(*identity);
        }
    }
    return rule;
}

void checkOutputFiles(const std::vector<std::string>& paths, const OutputRule& rule) {
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (std::string refusal = outputRefusal(paths[i], rule.replace, rule.inputs, replaceHint);
            !refusal.empty()) {
            throw RunError(refusal);
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (samePlace(paths[i], paths[j])) {
                throw UsageError(quotedPath(paths[i]) + " is named for two outputs");
            }
        }
    }
}

std::string pictureName(const fs::path& folder, int number) {
    char name[32];
    std::snprintf(name, sizeof name, "picture-%04d.png", number);
    return (folder / name).string();
}

PictureFolder::PictureFolder(fs::path folder, const OutputRule& rule)
    : folder_(std::move(folder)), replace_(rule.replace) {}

void PictureFolder::check() const {
    const std::string shown = quotedPath(folder_.string());
    std::error_code ec;
    const fs::file_status status = fs::status(folder_, ec);
    if (fs::exists(status)) {
        if (!fs::is_directory(status)) {
            throw RunError(shown + " is not a folder");
        }
        const std::string first = pictureName(folder_, 1);
        if (fs::exists(fs::symlink_status(first, ec))) {
            if (replace_ == Replace::Never) {
                throw RunError(shown + " already holds pictures (--overwrite replaces them)");
            }
            if (std::string refusal = outputRefusal(first, replace_); !refusal.empty()) {
                throw RunError(refusal);
            }
        }
        return;
    }
    const fs::path parent = folder_.parent_path().empty() ? fs::path(".") : folder_.parent_path();
    if (!fs::is_directory(parent, ec)) {
        throw RunError("cannot create folder " + shown + ": folder " + quotedPath(parent.string()) +
                       " does not exist");
    }
}

void PictureFolder::prepare() {
    check();
    std::error_code ec;
    if (fs::is_directory(folder_, ec)) {
        return;
    }
    if (!fs::create_directory(folder_, ec)) {
        throw RunError("cannot create folder " + quotedPath(folder_.string()) + ": " +
                       ec.message());
    }
    created_ = true;
}

AviOutput::AviOutput(const std::string& path, int width, int height, int framesPerSecond,
                     const AviCompression& compression, Replace replace)
    : file_(path, replace) {
    std::string error;
    if (!file_.reserve(error)) {
        throw RunError(error);
    }
    if (writer_.open(file_.temporaryPath(), width, height, framesPerSecond, compression) !=
        AviWriter::Result::Ok) {
        throw RunError("cannot write " + quotedPath(path) + ": " + writer_.error());
    }
}

void AviOutput::write(const std::uint8_t* bottomUpRows, std::ptrdiff_t stride) {
    if (!writer_.writeFrame(bottomUpRows, stride)) {
        throw RunError("cannot write " + quotedPath(file_.path()) + ": " + writer_.error());
    }
    ++frames_;
}

void AviOutput::finish() {
    if (!writer_.finish()) {
        throw RunError("cannot write " + quotedPath(file_.path()) + ": " + writer_.error());
    }
    std::string error;
    if (!file_.commit(error)) {
        throw RunError(error);
    }
}

FrameFileOutput::FrameFileOutput(const std::string& path, Replace replace) : file_(path, replace) {
    std::string error;
    if (!file_.create(error)) {
        throw RunError(error);
    }
}

void FrameFileOutput::add(const PixelSurface& surface) {
    const std::vector<std::uint8_t> record = frameRecord(surface);
    std::string error;
    if (!file_.write(record.data(), record.size(), error)) {
        throw RunError(error);
    }
    ++records_;
}

void FrameFileOutput::finish() {
    std::string error;
    if (!file_.commit(error)) {
        throw RunError(error);
    }
}

} // namespace nbtv::cli
