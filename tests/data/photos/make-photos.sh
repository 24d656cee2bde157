#!/usr/bin/env bash
# Makes the scaled photographs beside this script from the Debian packages that hold the
# originals (photos.tsv names each): fetches the packages with apt-get download into a temporary
# folder, then crops every picture to the programs' aspect about its centre and scales it to
# 48x48 and 96x72 with ImageMagick (package imagemagick). Only needed to remake the PNGs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
command -v convert >/dev/null || { echo "make-photos.sh: needs convert (package imagemagick)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
packages=$(grep -v '^#' "$here/photos.tsv" | cut -f3 | sort -u)
(cd "$work" && apt-get download $packages >/dev/null)
for deb in "$work"/*.deb; do
    name=$(basename "$deb"); name=${name%%_*}
    dpkg-deb -x "$deb" "$work/$name"
done
mkdir -p "$here/48x48" "$here/96x72"
grep -v '^#' "$here/photos.tsv" | while IFS=$'\t' read -r name half package file licence copyright; do
    for size in 48x48 96x72; do
        convert "$work/$package$file[0]" -colorspace sRGB -type TrueColor -resize "$size^" \
            -gravity center -extent "$size" -strip "PNG24:$here/$size/$name.png"
    done
done
