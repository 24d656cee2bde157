#!/usr/bin/env bash
# Speed of `nbtv decode` as a whole process: for each program, encodes about ten minutes of
# signal (colour bars) and times decoding it into PNG pictures in a temporary folder. Prints the
# real-time factor (audio seconds per wall-clock second) per program.
#
#   bench/decode-speed.sh [path/to/nbtv]     # default build/release/apps/nbtv/nbtv
set -euo pipefail

tool=${1:-build/release/apps/nbtv/nbtv}
seconds=${NBTV_BENCH_SECONDS:-600}
runs=${NBTV_BENCH_RUNS:-3}
if [[ ! -x $tool ]]; then
    echo "decode-speed: no nbtv tool at '$tool' (build it, or give its path)" >&2
    exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Samples in a WAV file of 16-bit mono PCM: the data after the 44-byte header the tool writes.
samples_of() { echo $(( ($(stat -c %s "$1") - 44) / 2 )); }

now() { date +%s.%N; }

printf '%-12s %8s %8s %10s %10s\n' program frames audio_s decode_s realtime
for program in nbtv48 nbtv96 nbtv96rggb; do
    case $program in
        nbtv48) rate=11025 ;;
        *) rate=8000 ;;
    esac
    # One frame first, to know how many frames make the wanted length.
    "$tool" encode --program "$program" --frames 1 -y -o "$work/one.wav"
    per_frame=$(samples_of "$work/one.wav")
    frames=$(( (seconds * rate + per_frame - 1) / per_frame ))
    "$tool" encode --program "$program" --frames "$frames" -o "$work/$program.wav"
    audio=$(awk -v s="$(samples_of "$work/$program.wav")" -v r="$rate" 'BEGIN { printf "%.1f", s / r }')

    # The best of a few runs: the machine's other work only ever slows a run down.
    best=
    for ((run = 0; run < runs; run++)); do
        rm -rf "$work/out" && mkdir "$work/out"
        start=$(now)
        "$tool" decode --program "$program" --quiet -o "$work/out" "$work/$program.wav"
        end=$(now)
        took=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }')
        if [[ -z $best ]] || awk -v t="$took" -v b="$best" 'BEGIN { exit !(t < b) }'; then
            best=$took
        fi
    done
    pictures=$(find "$work/out" -name 'picture-*.png' | wc -l)
    factor=$(awk -v a="$audio" -v t="$best" 'BEGIN { printf "%.0f", a / t }')
    printf '%-12s %8d %8s %10s %9sx\n' "$program" "$pictures" "$audio" "$best" "$factor"
done
