# CPack: a Debian package "nbtv" holding the three receivers, the tool and their desktop files.
#   cmake --build BUILD && (cd BUILD && cpack -G DEB)     or scripts/build-deb.sh
set(NBTV_PACKAGE_MAINTAINER "The nbtv developers <nbtv@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "nbtv")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${NBTV_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "receivers for multicarrier narrow-band television")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "nbtv")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME "nbtv")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NBTV_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "hamradio")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The Qt platform plugins are loaded at run time, not linked; the window uses Liberation Sans.
# libavdevice (camera and screen as the transmitter's picture) and Hamlib (push-to-talk) are
# loaded when first used, so the package's dependencies cannot be found from what is linked.
string(REGEX MATCH "^[0-9]+" NBTV_AVDEVICE_MAJOR "${AVDEVICE_VERSION}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins, fonts-liberation, \
libavdevice${NBTV_AVDEVICE_MAJOR}, libhamlib${NBTV_HAMLIB_MAJOR}")
# FFmpeg (audio files, AVI, pictures) is loaded when first needed too, but the tool and the
# windows need it for their ordinary work: its libraries are dependencies.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libavformat${NBTV_AVFORMAT_MAJOR}, libavcodec${NBTV_AVCODEC_MAJOR}, \
libavutil${NBTV_AVUTIL_MAJOR}, libswresample${NBTV_SWRESAMPLE_MAJOR}, libswscale${NBTV_SWSCALE_MAJOR}")
# The short description is CPACK_PACKAGE_DESCRIPTION_SUMMARY; CPack indents this long one.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Narrow-band television sent as a comb of audio tones: every picture line
rides on its own tone and its brightness is a small frequency deviation.
This package holds three receiver windows, nbtv48 (48 x 48), nbtv96
(96 x 72) and nbtv96rggb (96 x 72 RGGB), which take the tones from a
radio through a sound card or from a recorded audio file, the nbtvtx
window that sends pictures live to a sound card and keys the transmitter
through Hamlib, and the nbtv command-line tool that encodes, transmits and
decodes.")

include(CPack)
