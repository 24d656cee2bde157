#!/usr/bin/env bash
# scripts/run.sh        install what is missing, build, and start nbtv48 receiving its built-in
#                       transmitter (without a display: a test card sent and received to files)
# scripts/run.sh test   install what is missing, build with the sanitizers, run every test
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# Runs a command with its output kept aside; shows the output only when it fails.
quietly() {
    local log
    log=$(mktemp)
    if ! "$@" >"$log" 2>&1; then
        cat "$log"
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}

case "${1:-}" in
test)
    quietly cmake --preset sanitize
    quietly cmake --build --preset sanitize
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ctest --preset sanitize -j "$(nproc)"
    ;;
"")
    quietly cmake --preset release
    quietly cmake --build --preset release
    if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        exec build/release/apps/nbtv48/nbtv48 --demo
    fi
    echo "No display: sending a test card through the transmitter and receiving it to files."
    out=out/roundtrip
    rm -rf "$out" && mkdir -p "$out/pictures"
    nbtv=build/release/apps/nbtv/nbtv
    "$nbtv" encode --program nbtv48 --card bars --frames 4 --snr 25 -o "$out/bars.wav"
    "$nbtv" decode --program nbtv48 -o "$out/pictures" "$out/bars.wav"
    echo "Signal: $out/bars.wav; received pictures: $out/pictures/"
    ;;
*)
    echo "usage: scripts/run.sh [test]" >&2
    exit 2
    ;;
esac
