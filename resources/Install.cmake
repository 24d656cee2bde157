# Install rules for the desktop integration: icons, desktop entries, AppStream metainfo and the
# tool's man page. Included from resources/CMakeLists.txt. Every program shares one icon,
# installed under each program's reverse-DNS id.
include(GNUInstallDirs)

set(NBTV_APP_ID_PREFIX "io.github.nbtv")
set(NBTV_PROGRAMS nbtv48 nbtv96 nbtv96rggb nbtvtx)
set(_res "${CMAKE_CURRENT_LIST_DIR}")

foreach(program IN LISTS NBTV_PROGRAMS)
    set(id "${NBTV_APP_ID_PREFIX}.${program}")
    foreach(size 16 32 48)
        install(FILES "${_res}/icons/nbtv-${size}.png"
                DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps"
                RENAME "${id}.png")
    endforeach()
    install(FILES "${_res}/icons/nbtv.svg"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps"
            RENAME "${id}.svg")
    install(FILES "${_res}/desktop/${id}.desktop"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
    install(FILES "${_res}/metainfo/${id}.metainfo.xml"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")
endforeach()

install(FILES "${_res}/man/nbtv.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
# One page for the three receiver windows, under each program's name.
foreach(program nbtv48 nbtv96 nbtv96rggb)
    install(FILES "${_res}/man/nbtv48.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
            RENAME "${program}.1")
endforeach()
