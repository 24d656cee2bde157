#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config ccache
    libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libswscale-dev
    zlib1g-dev libgtest-dev libbenchmark-dev
    qt6-base-dev qt6-multimedia-dev fonts-liberation
    pulseaudio pulseaudio-utils desktop-file-utils appstream groff-base dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
log=$(mktemp)
if ! { $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
        --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    tail -n 30 "$log"
    echo "Installing the packages failed" >&2
    exit 1
fi
rm -f "$log"
