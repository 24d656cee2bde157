#!/usr/bin/env bash
# InstallTest.sh BUILD_DIR BINDIR DATADIR MANDIR VERSION
# Installs BUILD_DIR into a temporary prefix and checks that every program, icon, desktop entry,
# metainfo file and the man page is in place, that the icons have their sizes, that the desktop
# entries and metainfo files validate and that the man page renders. The tools for those checks
# (file, desktop-file-validate, appstreamcli, groff) come with scripts/install-deps.sh: a missing
# one fails the test.
set -euo pipefail
build=$1 bindir=$2 datadir=$3 mandir=$4 version=$5

for tool in file:file desktop-file-validate:desktop-file-utils appstreamcli:appstream \
            groff:groff-base; do
    command -v "${tool%%:*}" >/dev/null ||
        { echo "FAIL: ${tool%%:*} is not installed (package ${tool#*:})" >&2; exit 1; }
done

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
need() { [ -s "$prefix/$1" ] || fail "missing $1"; }

[ -x "$prefix/$bindir/nbtv" ] || fail "missing program $bindir/nbtv"
for program in nbtv48 nbtv96 nbtv96rggb nbtvtx; do
    id=io.github.nbtv.$program
    [ -x "$prefix/$bindir/$program" ] || fail "missing program $bindir/$program"
    for size in 16 32 48; do
        icon=$datadir/icons/hicolor/${size}x${size}/apps/$id.png
        need "$icon"
        if [ -s "$prefix/$icon" ]; then
            file "$prefix/$icon" | grep -q "PNG image data, $size x $size" || fail "$icon is not $size x $size"
        fi
    done
    need "$datadir/icons/hicolor/scalable/apps/$id.svg"

    desktop=$datadir/applications/$id.desktop
    need "$desktop"
    grep -qx "Exec=$program" "$prefix/$desktop" || fail "$desktop does not start $program"
    grep -qx "Icon=$id" "$prefix/$desktop" || fail "$desktop does not name icon $id"
    grep -q "^Categories=.*HamRadio;" "$prefix/$desktop" || fail "$desktop lacks HamRadio"
    desktop-file-validate "$prefix/$desktop" || fail "$desktop does not validate"

    metainfo=$datadir/metainfo/$id.metainfo.xml
    need "$metainfo"
    grep -q "<id>$id</id>" "$prefix/$metainfo" || fail "$metainfo has the wrong id"
    grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$prefix/$metainfo" ||
        fail "$metainfo does not launch $id.desktop"
    grep -q "<release version=\"$version\"" "$prefix/$metainfo" ||
        fail "$metainfo has no release $version"
    appstreamcli validate --no-net "$prefix/$metainfo" >/dev/null ||
        fail "$metainfo does not validate"
done

page=$mandir/man1/nbtv.1
need "$page"
if [ -s "$prefix/$page" ]; then
    out=$(groff -man -Tutf8 -ww "$prefix/$page" 2>&1 >/dev/null) || fail "groff fails on $page"
    [ -z "$out" ] || fail "groff warns on $page: $out"
    rendered=$(groff -man -Tutf8 "$prefix/$page" 2>/dev/null | sed 's/.\x08//g')
    for word in SYNOPSIS encode transmit decode convert info "EXIT STATUS" --program --frame-file --ptt; do
        grep -q -- "$word" <<<"$rendered" || fail "man page lacks '$word'"
    done
fi

"$prefix/$bindir/nbtv" --help >/dev/null || fail "installed nbtv --help fails"

[ "$failures" -eq 0 ] || { echo "$failures failures" >&2; exit 1; }
echo "install tree complete: $(find "$prefix" -type f | wc -l) files"
