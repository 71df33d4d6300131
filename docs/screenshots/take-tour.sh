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
