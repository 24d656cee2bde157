#!/usr/bin/env bash
# scripts/build-deb.sh [BUILD_DIR]   installs what is missing, builds a release tree (default
#                                    build/pkg) and the Debian package nbtv_VERSION_ARCH.deb in
#                                    it, then shows its control information and contents.
# Install it with (as root): apt-get install ./build/pkg/nbtv_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
build=${1:-build/pkg}

scripts/install-deps.sh

quietly cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DNBTV_BUILD_TESTS=OFF -DNBTV_BUILD_BENCH=OFF
echo "Building $build (a few minutes the first time)"
build_with_progress cmake --build "$build"
rm -f "$build"/nbtv_*.deb
(cd "$build" && quietly cpack -G DEB)

deb=$(ls "$build"/nbtv_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
echo "Built $deb"
