#!/bin/bash
# orvik-updater --station in a real X window (a private Xvfb display), as an
# operator starts it: a bad option is said in a message box (and on standard
# error) before anything is sent, and the program ends with status 2 once it
# is answered; four good emulated units and one that fails end with the
# station's counts in the window's title, as a taskbar shows it; SIGTERM then
# ends the window. Screenshots go to ARTIFACTS.
#   station_xvfb_test.sh PATH-TO-orvik-updater ARTIFACTS
set -u -o pipefail
program=$1
artifacts=$2
readonly bound_s=90  # the longest any one wait may take (ThreadSanitizer is slow)

for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed (xvfb, xdotool, imagemagick)"; exit 77; }
done
mkdir -p "$artifacts"
work=$(mktemp -d)
xvfb=""
updater=""
cleanup() {
  [ -n "$updater" ] && kill -KILL "$updater" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

Xvfb -displayfd 3 -screen 0 1400x1000x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "SKIP: Xvfb did not start: $(cat "$work/xvfb.err")"; exit 77; }
export DISPLAY=":$(head -n1 "$work/display")"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# Waits for a window whose title matches the regular expression $1; prints its id.
wait_for_window() {
  local deadline=$((SECONDS + bound_s)) id
  while [ $SECONDS -lt $deadline ]; do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    kill -0 "$updater" 2>/dev/null || return 1
    sleep 0.2
  done
  return 1
}
# Waits for the program to end; its exit status goes to `status`.
wait_for_end() {
  local deadline=$((SECONDS + bound_s))
  while [ $SECONDS -lt $deadline ] && kill -0 "$updater" 2>/dev/null; do sleep 0.1; done
  kill -0 "$updater" 2>/dev/null && return 1
  wait "$updater"
  status=$?
  updater=""
}

# A bad option: the reason in a box titled "ORVIK Station", nothing sent.
"$program" --station --parallel=65 -Emulate >"$work/out" 2>"$work/err" </dev/null &
updater=$!
wait_for_window '^ORVIK Station$' >/dev/null || fail "no message box for --parallel=65: $(cat "$work/err")"
sleep 0.5
import -window root "$artifacts/station-bad-option.png"
grep -qF "orvik-updater: bad number in --parallel '65' (expected a whole number from 1 to 64)" "$work/err" ||
  fail "standard error: $(cat "$work/err")"
# The box has the focus (no window manager: the only window).
xdotool key Return
wait_for_end || fail "the program did not end once its message was answered"
[ "$status" -eq 2 ] || fail "exit status $status after a bad option, not 2"

# Four good units and one that fails: the title carries the counts.
"$program" --station "-Emulate:good*4,badreply@USBWrite" >"$work/out" 2>"$work/err" </dev/null &
updater=$!
wait_for_window '^ORVIK Station - ' >/dev/null || fail "no station window: $(cat "$work/err")"
wait_for_window '^ORVIK Station - 4 passed, 1 failed$' >/dev/null ||
  fail "the title never said 4 passed, 1 failed: $(xdotool search --name 'ORVIK Station' getwindowname %@ 2>&1)"
sleep 0.3
import -window root "$artifacts/station-xvfb-done.png"
kill -TERM "$updater"
wait_for_end || fail "SIGTERM did not end the idle station"
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM, not 0: $(cat "$work/err")"
echo "PASS"
