#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing, then checks that
# every program the build, the tests and the packaging run is there: a missing one is named in
# one line and the script fails, before anything is built.
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config ccache
    libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libswscale-dev libavdevice-dev
    zlib1g-dev libgtest-dev libbenchmark-dev libfftw3-dev
    qt6-base-dev fonts-liberation libpulse-dev libhamlib-dev libhamlib-utils
    pulseaudio pulseaudio-utils desktop-file-utils appstream groff-base dpkg-dev file
)

# The programs run by the scripts, the tests (the install and package tests, the sound-server
# tests) and CPack's DEB generator, each with the package that brings it.
programs=(
    g++:g++ cmake:cmake ctest:cmake cpack:cmake ninja:ninja-build pkg-config:pkg-config
    strip:binutils dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev file:file
    desktop-file-validate:desktop-file-utils appstreamcli:appstream groff:groff-base
    pulseaudio:pulseaudio paplay:pulseaudio-utils pactl:pulseaudio-utils
    rigctld:libhamlib-utils rigctl:libhamlib-utils
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "install-deps.sh: not root and no sudo; as root run: apt-get install ${missing[*]}" >&2
            exit 1
        fi
        sudo="sudo"
    fi
    echo "Installing: ${missing[*]}"
    log=$(mktemp)
    if ! { $sudo apt-get update -qq && $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
        tail -n 30 "$log"
        rm -f "$log"
        echo "Installing the packages failed" >&2
        exit 1
    fi
    rm -f "$log"
fi

absent=()
for entry in "${programs[@]}"; do
    command -v "${entry%%:*}" >/dev/null || absent+=("${entry%%:*} (package ${entry#*:})")
done
if [ ${#absent[@]} -gt 0 ]; then
    list=$(printf ', %s' "${absent[@]}")
    echo "install-deps.sh: missing programs: ${list:2}" >&2
    exit 1
fi
