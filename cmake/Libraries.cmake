# The libraries the layers without Qt build on; also included by fuzz/ on its own.
find_package(PkgConfig REQUIRED)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET
    libavformat libavcodec libavutil libswresample libswscale)
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
