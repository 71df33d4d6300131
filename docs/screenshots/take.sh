#!/usr/bin/env bash
# Retakes the screenshots of docs/window.md on a virtual X display (with openbox for window frames, when installed).
#   docs/screenshots/take.sh [BUILD_DIR]      (default: build)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
cmake --build "$build" --target app-screenshots
runtime="$(mktemp -d)"
trap 'rm -rf "$runtime"' EXIT
export XDG_RUNTIME_DIR="$runtime" QT_QPA_PLATFORM=xcb
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  if command -v openbox >/dev/null; then openbox & sleep 1; fi
  "$0" "$1"' "$build/bin/app-screenshots" "$here"
