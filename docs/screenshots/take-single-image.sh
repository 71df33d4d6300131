#!/usr/bin/env bash
# Retakes the "Single Image" screenshots (a run on a real photo, the full-size viewer) on a
# virtual X display, with openbox for window frames when installed.
#   docs/screenshots/take-single-image.sh [BUILD_DIR] [PHOTOS_DIR]
#   (defaults: build, ../shared/corpus/photos beside the checkout)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
photos="$(cd "${2:-$here/../../../shared/corpus/photos}" && pwd)"
cmake --build "$build" --target single-image-screenshots
runtime="$(mktemp -d)"
trap 'rm -rf "$runtime"' EXIT
export XDG_RUNTIME_DIR="$runtime" QT_QPA_PLATFORM=xcb
xvfb-run -a -s "-screen 0 1600x1200x24" bash -c '
  if command -v openbox >/dev/null; then openbox & sleep 1; fi
  "$0" "$1" "$2"' "$build/bin/single-image-screenshots" "$photos" "$here"
