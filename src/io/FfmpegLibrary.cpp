#include "io/FfmpegLibrary.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace nbtv {

namespace {

// The sonames the build found (cmake/Libraries.cmake), of the major versions of the headers.
struct Sonames {
    const char* avutil = NBTV_AVUTIL_LIBRARY;
    const char* avcodec = NBTV_AVCODEC_LIBRARY;
    const char* avformat = NBTV_AVFORMAT_LIBRARY;
    const char* swresample = NBTV_SWRESAMPLE_LIBRARY;
    const char* swscale = NBTV_SWSCALE_LIBRARY;
};

struct Handles {
    void* avutil = nullptr;
    void* avcodec = nullptr;
    void* avformat = nullptr;
    void* swresample = nullptr;
    void* swscale = nullptr;
};

std::atomic<bool> loaded{false};

FfmpegLibrary load() {
    FfmpegLibrary f;
    const Sonames names;
    Handles handles;
    // In dependency order; never unloaded (libavdevice, loaded later, refers to them).
    const auto open = [&](const char* name, void*& handle) {
        if (!f.loadError.empty()) {
            return;
        }
        handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = dlerror(); // names the library and why it failed
            f.loadError = std::string("FFmpeg cannot be loaded: ") +
                          (why != nullptr ? why : std::string(name) + " is missing");
        }
    };
    open(names.avutil, handles.avutil);
    open(names.swresample, handles.swresample);
    open(names.swscale, handles.swscale);
    open(names.avcodec, handles.avcodec);
    open(names.avformat, handles.avformat);
    if (!f.loadError.empty()) {
        return f;
    }
#define NBTV_FFMPEG_FIND(library, function)                                                        \
    f.function = reinterpret_cast<decltype(&::function)>(dlsym(handles.library, #function));       \
    if (f.function == nullptr && f.loadError.empty()) {                                            \
        f.loadError = std::string(names.library) + " has no " #function;                           \
    }
    NBTV_FFMPEG_FUNCTIONS(NBTV_FFMPEG_FIND)
#undef NBTV_FFMPEG_FIND
    if (f.loadError.empty()) {
        // FFmpeg logs to stderr by default; our callers report one line of their own instead.
        f.av_log_set_level(AV_LOG_QUIET);
    }
    return f;
}

const FfmpegLibrary& library() {
    static const FfmpegLibrary f = [] {
        FfmpegLibrary l = load();
        loaded.store(l.loadError.empty(), std::memory_order_release);
        return l;
    }();
    return f;
}

} // namespace

bool loadFfmpeg(std::string& error) {
    const FfmpegLibrary& f = library();
    if (!f.loadError.empty()) {
        error = f.loadError;
        return false;
    }
    return true;
}

bool ffmpegLoaded() {
    return loaded.load(std::memory_order_acquire);
}

const FfmpegLibrary& ff() {
    const FfmpegLibrary& f = library();
    if (!f.loadError.empty()) {
        std::fprintf(stderr, "nbtv: %s\n", f.loadError.c_str());
        std::abort();
    }
    return f;
}

} // namespace nbtv
