#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 into build/fuzz and runs each for SECONDS
# (default 180): bash fuzz/run.sh [SECONDS]
# Corpora grow in build/fuzz/corpus/<target>; findings land in build/fuzz/crashes/<target> and
# stop that target (libFuzzer's way). Replay one with: build/fuzz/<target> FILE
# fuzz/regressions/ keeps inputs that found problems, e.g. audio-absurd-rate.wav (a WAV header
# claiming 302 MHz: the resampler asks for 1.8 GB).
set -euo pipefail

seconds="${1:-180}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"

if ! command -v clang++-14 >/dev/null || ! dpkg -s libclang-rt-14-dev >/dev/null 2>&1; then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    $sudo apt-get update
    $sudo apt-get install -y clang-14 libclang-rt-14-dev
fi

CC=clang-14 CXX=clang++-14 cmake -S "$root/fuzz" -B "$build" -G Ninja -DNBTV_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build"

# Small valid inputs to start from: one whole 288 x 219 record and a second cut short, and a
# tiny WAV file.
seed() {
    mkdir -p "$build/corpus/$1"
    if [ -z "$(ls -A "$build/corpus/$1")" ]; then
        "$2" >"$build/corpus/$1/seed"
    fi
}
header() { printf '\x20\x01\x00\x00\xdb\x00\x00\x00'; }
frameSeed() { header; head -c 252288 /dev/zero; header; head -c 64 /dev/zero; }
wavSeed() {
    printf 'RIFF\x44\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00'
    printf '\x40\x1f\x00\x00\x80\x3e\x00\x00\x02\x00\x10\x00data\x20\x00\x00\x00'
    head -c 32 /dev/urandom
}
seed FrameFileFuzz frameSeed
seed AudioInputFuzz wavSeed

# Frame files need inputs long enough for two whole records and a third begun.
maxLength() { if [ "$1" = FrameFileFuzz ]; then echo 520000; else echo 65536; fi; }

status=0
for target in FrameFileFuzz AudioInputFuzz; do
    mkdir -p "$build/crashes/$target"
    echo "== $target for $seconds s"
    "$build/$target" "$build/corpus/$target" -max_total_time="$seconds" -timeout=20 \
        -max_len="$(maxLength "$target")" -rss_limit_mb=2048 \
        -artifact_prefix="$build/crashes/$target/" -print_final_stats=1 || status=1
done
exit $status
