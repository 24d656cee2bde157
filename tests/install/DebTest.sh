#!/usr/bin/env bash
# Builds the Debian package from a configured build tree and checks what it would install.
# Usage: DebTest.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# CPack's DEB generator runs file (to find the programs to strip) and dpkg-shlibdeps.
for tool in file:file dpkg-shlibdeps:dpkg-dev; do
    command -v "${tool%%:*}" >/dev/null ||
        { echo "${tool%%:*} is not installed (package ${tool#*:})" >&2; exit 1; }
done
(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/nbtv_*.deb)
contents=$(dpkg-deb --contents "$deb")
for path in usr/bin/nbtv48 usr/bin/nbtv96 usr/bin/nbtv96rggb usr/bin/nbtv usr/bin/nbtvtx \
            usr/share/applications/io.github.nbtv.nbtv48.desktop \
            usr/share/applications/io.github.nbtv.nbtv96rggb.desktop \
            usr/share/applications/io.github.nbtv.nbtvtx.desktop \
            usr/share/metainfo/io.github.nbtv.nbtv96.metainfo.xml \
            usr/share/icons/hicolor/scalable/apps/io.github.nbtv.nbtv48.svg \
            usr/share/man/man1/nbtv.1; do
    if ! grep -q "\./$path\$" <<<"$contents"; then
        echo "the package lacks /$path" >&2
        exit 1
    fi
done
depends=$(dpkg-deb --field "$deb" Depends)
for library in libqt6widgets6 libpulse0; do
    if ! grep -q "$library" <<<"$depends"; then
        echo "the package does not depend on $library: $depends" >&2
        exit 1
    fi
done
# FFmpeg's libraries are loaded when first used, not linked: they are listed by hand.
for library in libavformat libavcodec libavutil libswresample libswscale; do
    if ! grep -Eq "$library[0-9]+" <<<"$depends"; then
        echo "the package does not depend on $library: $depends" >&2
        exit 1
    fi
done
# Loaded when first used, not linked: dpkg-shlibdeps cannot see them.
recommends=$(dpkg-deb --field "$deb" Recommends)
for library in libavdevice libhamlib; do
    if ! grep -Eq "$library[0-9]+" <<<"$recommends"; then
        echo "the package does not recommend $library: $recommends" >&2
        exit 1
    fi
done
[ "$(dpkg-deb --field "$deb" Section)" = "hamradio" ] || { echo "section is not hamradio" >&2; exit 1; }
echo "package complete: $(basename "$deb")"
