#!/usr/bin/env bash
# Runs the real window program on a virtual X display:
#  - two copies started at the same instant: exactly one runs, its main window appears only after
#    its splash has gone, the other says "Tramblix Already Running" and exits with 0;
#  - a further copy while one runs: the same message, no window, exit status 0;
#  - closing the main window ends the program with exit status 0;
#  - a copy killed outright does not keep the next start out.
# Usage: e2e_start.sh JPEGTRAMBLIX X11_CLOSE_WINDOW
set -u
app="$1"
closer="$2"

for tool in xvfb-run xdotool; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
if [ -z "${E2E_ON_XVFB:-}" ]; then
  # -noreset: when the last client goes (a copy killed outright), the server would otherwise
  # reset and refuse the next start for a moment.
  exec env E2E_ON_XVFB=1 xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$0" "$@"
fi

export QT_QPA_PLATFORM=xcb
XDG_RUNTIME_DIR="$(mktemp -d)"
export XDG_RUNTIME_DIR
# The window remembers its state in the user's configuration; this run starts fresh and touches none.
export XDG_CONFIG_HOME="$XDG_RUNTIME_DIR/config"
started=()
cleanup() {
  for pid in "${started[@]}"; do kill -9 "$pid" 2>/dev/null; done
  rm -rf "$XDG_RUNTIME_DIR"
}
trap cleanup EXIT

MAIN_TITLE='^JPEG Tramblix $'
SPLASH='^Moravel JPEG Tramblix$'
BOX='^Jpegtramblix$'
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Visible windows whose title matches $1, optionally of process $2.
windows() {
  if [ $# -gt 1 ]; then xdotool search --all --onlyvisible --pid "$2" --name "$1" 2>/dev/null
  else xdotool search --onlyvisible --name "$1" 2>/dev/null; fi
}
count() { windows "$@" | wc -l; }

# Waits (up to 20 s) for process $1 to end and sets STATUS to its exit status; a process that
# does not end is killed and counts as a failure.
wait_exit() {
  for _ in $(seq 200); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$1" 2>/dev/null; then
    fail "process $1 did not end"
    kill -9 "$1"
  fi
  wait "$1"
  STATUS=$?
}

start() {
  "$app" "$@" &
  started+=("$!")
}

# Waits (up to 20 s) for the message box, checks that its process shows no main window,
# answers it and expects that process to end with status 0. Sets REFUSED to its process id.
expect_refused_copy() {
  local box="" pid
  REFUSED=""
  for _ in $(seq 200); do
    box="$(windows "$BOX" | head -n 1)"
    [ -n "$box" ] && break
    sleep 0.1
  done
  [ -n "$box" ] || { fail "no \"Tramblix Already Running\" box appeared"; return; }
  pid="$(xdotool getwindowpid "$box")"
  [ "$(count "$MAIN_TITLE" "$pid")" -eq 0 ] || fail "the refused copy shows a main window"
  xdotool windowfocus --sync "$box" key Return
  wait_exit "$pid"
  [ "$STATUS" -eq 0 ] || fail "the refused copy exited with $STATUS"
  echo "refused copy $pid exited with $STATUS"
  REFUSED="$pid"
}

# Follows one start until its main window shows (up to 20 s): the splash must come first and
# be gone before the main window appears. Sets MAIN to the main window's id.
expect_main_after_splash() {
  local seen_splash=0 main=""
  MAIN=""
  for _ in $(seq 200); do
    local splashes mains
    splashes="$(count "$SPLASH")"
    mains="$(count "$MAIN_TITLE")"
    [ "$splashes" -gt 0 ] && seen_splash=1
    if [ "$mains" -gt 0 ]; then
      [ "$splashes" -eq 0 ] || fail "the main window is showing while the splash is still up"
      [ "$mains" -eq 1 ] || fail "$mains main windows are showing"
      main="$(windows "$MAIN_TITLE")"
      break
    fi
    sleep 0.1
  done
  [ -n "$main" ] || { fail "no main window appeared"; return; }
  [ "$seen_splash" -eq 1 ] || fail "no splash was seen before the main window"
  MAIN="$main"
}

close_and_expect_zero() {
  local window="$1" pid
  pid="$(xdotool getwindowpid "$window")"
  "$closer" "$window"
  wait_exit "$pid"
  [ "$STATUS" -eq 0 ] || fail "closing the main window ended the program with $STATUS"
  echo "program $pid exited with $STATUS after its main window was closed"
}

echo "== two copies at the same instant"
start; start
expect_refused_copy
expect_main_after_splash
if [ -n "$MAIN" ]; then
  [ "$(xdotool getwindowpid "$MAIN")" != "$REFUSED" ] || fail "the refused copy is the one running"
  running="$MAIN"

  echo "== a further copy while one runs"
  start
  expect_refused_copy
  [ "$(count "$MAIN_TITLE")" -eq 1 ] || fail "the running copy lost its main window"

  echo "== closing the main window"
  close_and_expect_zero "$running"
fi

echo "== a copy killed outright"
start
expect_main_after_splash
if [ -n "$MAIN" ]; then
  kill -9 "$(xdotool getwindowpid "$MAIN")"
  sleep 0.5
  start
  expect_main_after_splash
  [ "$(count "$BOX")" -eq 0 ] || fail "the start after a killed copy was refused"
  [ -n "$MAIN" ] && close_and_expect_zero "$MAIN"
fi

[ "$failures" -eq 0 ] && echo "PASS" || echo "$failures failure(s)"
[ "$failures" -eq 0 ]
