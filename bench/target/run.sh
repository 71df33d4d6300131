#!/bin/sh
# Target mode over the corpus photos: downscaled copies (0.5-2.5 MP, JPEG quality 95) and,
# with FULL=1, the photos themselves too (FULL=only: only those). OTHER=1 instead takes the
# public photos of Debian's python3-skimage and python3-scipy (as bench/quality/field_bench.py's
# other set, fetched with apt-get download). SPEED=1 instead times the
# photos of at least 2 MP at 2 MP (quality 95 copies) and at full size (add --speed). Needs
# ImageMagick; jpegli when ../shared/peers/bin exists.
#   bench/target/run.sh [BUILD_DIR] [extra target_bench arguments, e.g. --encoder=efficient]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
[ $# -gt 0 ] && shift
photos=$root/../shared/corpus/photos
cjpegli=$root/../shared/peers/bin/cjpegli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ "${OTHER:-0}" = 1 ]; then
    (cd "$work" && apt-get download python3-skimage python3-scipy >/dev/null 2>&1)
    for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$work/x"; done
    lib=$work/x/usr/lib/python3/dist-packages
    for name in astronaut.png chelsea.png coffee.png motorcycle_left.png rocket.jpg; do
        convert "$lib/skimage/data/$name" -colorspace sRGB -depth 8 -strip -type TrueColor "$work/${name%.*}.png"
    done
    # The raccoon face: raw 1024 x 768 RGB, bz2-compressed.
    { printf 'P6\n1024 768\n255\n'; bzip2 -dc "$lib/scipy/misc/face.dat"; } > "$work/face.ppm"
    convert "$work/face.ppm" "$work/face.png"
    rm -rf "$work/x" "$work"/*.deb "$work/face.ppm"
    jpegli=""
    [ -x "$cjpegli" ] && jpegli="--cjpegli=$cjpegli"
    "$build/bin/target_bench" $jpegli "$@" "$work"/*.png
    exit
fi
# Long sides 1000-2000 pixels: 0.5-2.5 MP for these 4:3 and 3:2 photos.
i=0
for photo in "$photos"/*.jpg "$photos"/*.JPG; do
    [ -f "$photo" ] || continue
    side=$((1000 + (i * 143) % 1000))
    name=$(basename "$photo" | tr ' ' '_')
    i=$((i + 1))
    if [ "${SPEED:-0}" = 1 ]; then
        [ "$(identify -format '%[fx:w*h>=2000000]' "$photo")" = 1 ] || continue
        convert "$photo" -auto-orient -resize 2000000@ -quality 95 "$work/2mp-$name"
        cp "$photo" "$work/full-$name"
        continue
    fi
    [ "${FULL:-0}" = 1 ] || [ "${FULL:-0}" = only ] && cp "$photo" "$work/full-$name"
    [ "${FULL:-0}" = only ] || convert "$photo" -auto-orient -resize "${side}x${side}>" -quality 95 "$work/small-$name"
done
jpegli=""
[ -x "$cjpegli" ] && jpegli="--cjpegli=$cjpegli"
"$build/bin/target_bench" $jpegli "$@" "$work"/*
