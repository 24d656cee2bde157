# The libraries the layers without Qt build on; also included by fuzz/ on its own.
find_package(PkgConfig REQUIRED)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET
    libavformat libavcodec libavutil libswresample libswscale)
# FFmpeg is loaded when first needed (io/FfmpegLibrary.cpp), never linked by the project's own
# programs: only its headers are used, and the sonames of their major versions, found here.
set(NBTV_FFMPEG_SONAMES "")
foreach(module avformat avcodec avutil swresample swscale)
    string(REGEX MATCH "^[0-9]+" major "${FFMPEG_lib${module}_VERSION}")
    string(TOUPPER ${module} upper)
    set(NBTV_${upper}_MAJOR ${major})
    set(NBTV_${upper}_LIBRARY "lib${module}.so.${major}")
    find_library(NBTV_${upper}_RUNTIME NAMES ${NBTV_${upper}_LIBRARY} HINTS ${FFMPEG_LIBRARY_DIRS})
    if(NOT NBTV_${upper}_RUNTIME)
        message(FATAL_ERROR "FFmpeg's lib${module} ${FFMPEG_lib${module}_VERSION} has no ${NBTV_${upper}_LIBRARY}")
    endif()
    list(APPEND NBTV_FFMPEG_SONAMES "NBTV_${upper}_LIBRARY=\"${NBTV_${upper}_LIBRARY}\"")
endforeach()
# The headers alone, for the code that loads the libraries.
add_library(nbtv_ffmpeg_headers INTERFACE)
target_include_directories(nbtv_ffmpeg_headers INTERFACE ${FFMPEG_INCLUDE_DIRS})
# libavdevice (cameras, screen grabbing) pulls in libavfilter and its own codecs: it is loaded
# when a device is first opened, never linked; only its headers are needed here.
pkg_check_modules(AVDEVICE REQUIRED libavdevice)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
# Hamlib is loaded when a rig is first opened (station/RigKey.cpp), never linked.
pkg_check_modules(HAMLIB REQUIRED hamlib)
string(REGEX MATCH "^[0-9]+" NBTV_HAMLIB_MAJOR "${HAMLIB_VERSION}")
set(NBTV_HAMLIB_LIBRARY "libhamlib.so.${NBTV_HAMLIB_MAJOR}")
find_library(NBTV_HAMLIB_RUNTIME NAMES ${NBTV_HAMLIB_LIBRARY} HINTS ${HAMLIB_LIBRARY_DIRS})
if(NOT NBTV_HAMLIB_RUNTIME)
    message(FATAL_ERROR "Hamlib ${HAMLIB_VERSION} has no ${NBTV_HAMLIB_LIBRARY}")
endif()
find_package(ZLIB REQUIRED)
