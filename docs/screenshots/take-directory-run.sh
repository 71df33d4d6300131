#!/usr/bin/env bash
# Screenshots of the "Process Directory" tab during and after a run of the real program over a
# copy of a picture tree, on a virtual X display with openbox for the window frame.
#   docs/screenshots/take-directory-run.sh [BUILD_DIR] [PICTURE_TREE]
# Defaults: build, ../shared/corpus. The window is made 534 x 1000. Writes directory-run-during.png and directory-run-after.png
# beside this script. The clicks are placed by the window's fixed layout.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
tree="$(cd "${2:-../shared/corpus}" && pwd)"
for tool in xvfb-run xdotool import openbox; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
cmake --build "$build" --target jpegtramblix

if [ -z "${ON_XVFB:-}" ]; then
  work="$(mktemp -d /tmp/tramblix-XXXXXX)"
  trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
  cp -r "$tree" "$work/photos"
  chmod -R u+w "$work/photos"
  mkdir -m 700 "$work/runtime"
  export ON_XVFB=1 WORK="$work" XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb
  xvfb-run -a -s "-screen 0 1600x1200x24" "$0" "$build" "$tree"
  exit
fi

openbox >/dev/null 2>&1 &
sleep 1
"$build/bin/jpegtramblix" &
app=$!
trap 'kill $app 2>/dev/null || true' EXIT
window=""
for _ in $(seq 150); do
  window="$(xdotool search --onlyvisible --name '^JPEG Tramblix $' 2>/dev/null | head -n 1)" && [ -n "$window" ] && break
  sleep 0.2
done
[ -n "$window" ] || { echo "the main window did not appear" >&2; exit 1; }
xdotool windowmove --sync "$window" 100 100
# A tall window: the log takes the extra height, the button moves down with the bottom edge.
xdotool windowsize --sync "$window" 534 1000
sleep 0.5

# Positions inside the window (its client area): the tab, the two edits, the AI slider's
# handle, the button.
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; sleep 0.2; }
shot() { import -window root -crop 536x1024+100+100 +repage "$here/$1"; echo "wrote $here/$1"; }
click 60 40
click 241 95
xdotool type --delay 5 "$WORK/photos"
click 241 127
xdotool type --delay 5 "$WORK/photos-smaller"
click 24 287
xdotool key Right Right Right
click 409 927
sleep 1.5
shot directory-run-during.png
# The run is over when the output tree has stopped changing for a while.
count() { find "$WORK/photos-smaller" -type f 2>/dev/null | wc -l; }
last="" still=0
while [ "$still" -lt 6 ]; do
  sleep 1
  now="$(count)"
  if [ "$now" = "$last" ]; then still=$((still + 1)); else still=0; last="$now"; fi
done
sleep 1
shot directory-run-after.png
