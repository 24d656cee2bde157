#!/usr/bin/env bash
# InstallTest.sh BUILD_DIR BINDIR DATADIR MANDIR VERSION
# Installs BUILD_DIR into a temporary prefix and checks that every program, icon, desktop entry,
# metainfo file and the man page is in place, that the desktop entries and metainfo files
# validate (when the validators exist) and that the man page renders.
set -euo pipefail
build=$1 bindir=$2 datadir=$3 mandir=$4 version=$5

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
need() { [ -s "$prefix/$1" ] || fail "missing $1"; }

[ -x "$prefix/$bindir/nbtv" ] || fail "missing program $bindir/nbtv"
for program in nbtv48 nbtv96 nbtv96rggb; do
    id=io.github.nbtv.$program
    [ -x "$prefix/$bindir/$program" ] || fail "missing program $bindir/$program"
    for size in 16 32 48; do
        icon=$datadir/icons/hicolor/${size}x${size}/apps/$id.png
        need "$icon"
        if [ -s "$prefix/$icon" ] && command -v file >/dev/null; then
            file "$prefix/$icon" | grep -q "PNG image data, $size x $size" || fail "$icon is not $size x $size"
        fi
    done
    need "$datadir/icons/hicolor/scalable/apps/$id.svg"

    desktop=$datadir/applications/$id.desktop
    need "$desktop"
    grep -qx "Exec=$program" "$prefix/$desktop" || fail "$desktop does not start $program"
    grep -qx "Icon=$id" "$prefix/$desktop" || fail "$desktop does not name icon $id"
    grep -q "^Categories=.*HamRadio;" "$prefix/$desktop" || fail "$desktop lacks HamRadio"
    if command -v desktop-file-validate >/dev/null; then
        desktop-file-validate "$prefix/$desktop" || fail "$desktop does not validate"
    else
        echo "skip: desktop-file-validate not installed"
    fi

    metainfo=$datadir/metainfo/$id.metainfo.xml
    need "$metainfo"
    grep -q "<id>$id</id>" "$prefix/$metainfo" || fail "$metainfo has the wrong id"
    grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$prefix/$metainfo" ||
        fail "$metainfo does not launch $id.desktop"
    grep -q "<release version=\"$version\"" "$prefix/$metainfo" ||
        fail "$metainfo has no release $version"
    if command -v appstreamcli >/dev/null; then
        appstreamcli validate --no-net "$prefix/$metainfo" >/dev/null ||
            fail "$metainfo does not validate"
    else
        echo "skip: appstreamcli not installed"
    fi
done

page=$mandir/man1/nbtv.1
need "$page"
if [ -s "$prefix/$page" ]; then
    if command -v groff >/dev/null; then
        out=$(groff -man -Tutf8 -ww "$prefix/$page" 2>&1 >/dev/null) || fail "groff fails on $page"
        [ -z "$out" ] || fail "groff warns on $page: $out"
        rendered=$(groff -man -Tutf8 "$prefix/$page" 2>/dev/null | sed 's/.\x08//g')
    elif command -v man >/dev/null; then
        rendered=$(MANWIDTH=80 man -l "$prefix/$page" 2>/dev/null) || fail "man fails on $page"
    else
        rendered=""
        echo "skip: neither groff nor man installed, man page not rendered"
    fi
    if [ -n "$rendered" ]; then
        for word in SYNOPSIS encode decode convert info "EXIT STATUS" --program --frame-file; do
            grep -q -- "$word" <<<"$rendered" || fail "man page lacks '$word'"
        done
    fi
fi

"$prefix/$bindir/nbtv" --help >/dev/null || fail "installed nbtv --help fails"

[ "$failures" -eq 0 ] || { echo "$failures failures" >&2; exit 1; }
echo "install tree complete: $(find "$prefix" -type f | wc -l) files"
