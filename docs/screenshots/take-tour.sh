#!/usr/bin/env bash
# Retakes the window at 534 x 700, 534 x 500 and maximised on 1920 x 1080, the compare window's
# live tuning on a 12 MP photo and a directory run with failures, on a virtual X display with
# openbox for window frames when installed.
#   docs/screenshots/take-tour.sh [BUILD_DIR] [CORPUS_DIR]
#   (defaults: build, ../shared/corpus beside the checkout)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
corpus="$(cd "${2:-$here/../../../shared/corpus}" && pwd)"
cmake --build "$build" --target tour-screenshots
runtime="$(mktemp -d)"
trap 'rm -rf "$runtime"' EXIT
export XDG_RUNTIME_DIR="$runtime" QT_QPA_PLATFORM=xcb
xvfb-run -a -s "-screen 0 1920x1080x24" bash -c '
  if command -v openbox >/dev/null; then openbox & sleep 1; fi
  "$0" "$1" "$2"' "$build/bin/tour-screenshots" "$corpus" "$here"
# Palette PNGs keep the docs light.
if command -v convert >/dev/null; then
  for shot in single-image-534x700 single-image-534x500 single-image-534x500-scrolled compare-live-before \
              compare-live-after directory-failures single-image-1920x1080; do
    convert "$here/$shot.png" -colors 256 "PNG8:$here/$shot.png"
  done
  convert "$here/single-image-1920x1080.png" -resize 1280x -colors 256 "PNG8:$here/single-image-1920x1080.png"
fi
