#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 into build/fuzz and runs each for SECONDS
# (default 180): bash fuzz/run.sh [SECONDS]
# Both start from real files made by the freshly built tool (build/release/apps/nbtv/nbtv) in
# build/fuzz/seeds/<target>: the signal of every program and mode as WAV files, whole, cut short
# and streamed; the frame files and the AVI recordings (every codec) decoded from them, whole
# and cut short; and fuzz/regressions/.
# Corpora grow in build/fuzz/corpus/<target>; findings land in build/fuzz/crashes/<target> and
# stop that target (libFuzzer's way). Replay one with: build/fuzz/<target> FILE
# fuzz/regressions/ keeps inputs that found problems, e.g. audio-absurd-rate.wav (a WAV header
# claiming 302 MHz: the resampler asks for 1.8 GB).
set -euo pipefail

seconds="${1:-180}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"
cd "$root"
source scripts/common.sh

scripts/install-deps.sh
if ! command -v clang++-14 >/dev/null || ! dpkg -s libclang-rt-14-dev >/dev/null 2>&1; then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    echo "Installing: clang-14 libclang-rt-14-dev"
    quietly $sudo apt-get update
    quietly $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        clang-14 libclang-rt-14-dev
fi

quietly cmake --preset release
build_with_progress cmake --build --preset release --target nbtv
tool="$root/build/release/apps/nbtv/nbtv"
CC=clang-14 CXX=clang++-14 quietly cmake -S "$root/fuzz" -B "$build" -G Ninja -DNBTV_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
build_with_progress cmake --build "$build"

# Frame files hold two whole records and a third begun; audio inputs a whole WAV file of one
# frame of any program.
frameMax=520000
audioMax=160000
record=252296 # 8 header bytes and 288 x 219 x 4 pixel bytes

seeds="$build/seeds"
rm -rf "$seeds"
mkdir -p "$seeds/FrameFileFuzz" "$seeds/AudioInputFuzz"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
frames="$seeds/FrameFileFuzz"
audio="$seeds/AudioInputFuzz"
cut() { head -c "$2" "$1" >"$3"; }

for mode in nbtv48 nbtv48-mono nbtv96 nbtv96-mono nbtv96rggb; do
    program=${mode%-mono}
    flags=()
    [ "$mode" = "$program" ] || flags=(--mono)
    # One frame for the audio target, three for the frame files and recordings.
    "$tool" encode --program "$program" "${flags[@]}" --card detail --frames 1 -o "$audio/$mode.wav"
    "$tool" encode --program "$program" "${flags[@]}" --card bars --frames 1 --snr 10 -o - \
        >"$audio/$mode-stream.wav"
    cut "$audio/$mode.wav" 4000 "$audio/$mode-short.wav"
    "$tool" encode --program "$program" "${flags[@]}" --card ramp --frames 3 -o "$work/$mode.wav"

    "$tool" decode --quiet --program "$program" "${flags[@]}" --tv "$work/$mode.tv" "$work/$mode.wav"
    cut "$work/$mode.tv" $((2 * record)) "$frames/$mode-2.tv"
    cut "$work/$mode.tv" $((2 * record + 5)) "$frames/$mode-2-header-begun.tv"
    cut "$work/$mode.tv" $((2 * record + 8 + 1000)) "$frames/$mode-2-record-begun.tv"
    cut "$work/$mode.tv" $((record + 8)) "$frames/$mode-1-header.tv"

    if [ "$program" != nbtv96rggb ]; then # the AVI-recording programs
        for codec in raw ffv1 huffyuv utvideo png zmbv mjpeg mpeg4 h264-422 h264-444; do
            avi="$work/$mode-$codec.avi"
            "$tool" decode --quiet --program "$program" "${flags[@]}" --avi "$avi" --codec "$codec" \
                "$work/$mode.wav"
            if [ "$(stat -c %s "$avi")" -le "$audioMax" ]; then
                cp "$avi" "$audio/"
            else
                cut "$avi" "$audioMax" "$audio/$mode-$codec-begun.avi"
            fi
            cut "$avi" 6000 "$audio/$mode-$codec-short.avi"
        done
    fi
done
for input in "$root"/fuzz/regressions/*; do
    case $(basename "$input") in
    audio-*) cp "$input" "$audio/" ;;
    frame-*) cp "$input" "$frames/" ;;
    esac
done
echo "Seeds: $(ls "$frames" | wc -l) frame files, $(ls "$audio" | wc -l) audio and AVI files"

status=0
for target in FrameFileFuzz AudioInputFuzz; do
    mkdir -p "$build/corpus/$target" "$build/crashes/$target"
    if [ "$target" = FrameFileFuzz ]; then max=$frameMax; else max=$audioMax; fi
    echo "== $target for $seconds s"
    # -len_control=0: mutations reach the longest inputs at once, past the first record.
    "$build/$target" "$build/corpus/$target" "$seeds/$target" -max_total_time="$seconds" \
        -timeout=20 -max_len="$max" -len_control=0 -rss_limit_mb=2048 \
        -artifact_prefix="$build/crashes/$target/" -print_final_stats=1 || status=1
done
exit $status
