#!/usr/bin/env bash
# scripts/build-deb.sh [BUILD_DIR]   builds a release tree (default build/pkg) and the Debian
#                                    package nbtv_VERSION_ARCH.deb in it, then shows its
#                                    control information and contents.
# Install it with: sudo apt-get install ./build/pkg/nbtv_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/pkg}

command -v dpkg-shlibdeps >/dev/null || { echo "build-deb.sh: dpkg-shlibdeps missing (apt-get install dpkg-dev)" >&2; exit 1; }

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DNBTV_BUILD_TESTS=OFF -DNBTV_BUILD_BENCH=OFF
cmake --build "$build"
rm -f "$build"/nbtv_*.deb
(cd "$build" && cpack -G DEB)

deb=$(ls "$build"/nbtv_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
echo "Built $deb"
