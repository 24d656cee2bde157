#!/usr/bin/env bash
# scripts/run.sh        install what is missing, build the programs, and start nbtv48 receiving
#                       its built-in transmitter (without a display: a test card sent and received
#                       to files)
# scripts/run.sh test   install what is missing, build with the sanitizers, run every test
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

scripts/install-deps.sh

case "${1:-}" in
test)
    quietly cmake --preset sanitize
    echo "Building build/sanitize (ASan + UBSan; about 15 to 25 min on 2 cores the first time)"
    build_with_progress cmake --build --preset sanitize
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ctest --preset sanitize -j "$(nproc)"
    ;;
"")
    quietly cmake --preset release
    echo "Building the programs in build/release (a few minutes the first time)"
    build_with_progress cmake --build --preset release --target nbtv48 nbtv96 nbtv96rggb nbtvtx nbtv
    apps=build/release/apps
    echo "Programs: $apps/nbtv48/nbtv48, $apps/nbtv96/nbtv96, $apps/nbtv96rggb/nbtv96rggb," \
        "the transmitter $apps/nbtvtx/nbtvtx, the tool $apps/nbtv/nbtv"
    if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        echo "Starting $apps/nbtv48/nbtv48 --demo"
        exec "$apps/nbtv48/nbtv48" --demo
    fi
    echo "No display: sending a test card through the transmitter and receiving it to files."
    out=out/roundtrip
    rm -rf "$out" && mkdir -p "$out/pictures"
    nbtv=$apps/nbtv/nbtv
    "$nbtv" encode --program nbtv48 --card bars --frames 4 --snr 25 -o "$out/bars.wav"
    "$nbtv" decode --program nbtv48 -o "$out/pictures" "$out/bars.wav"
    echo "Signal: $out/bars.wav; received pictures: $out/pictures/"
    ;;
*)
    echo "usage: scripts/run.sh [test]" >&2
    exit 2
    ;;
esac
