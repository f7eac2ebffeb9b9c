#!/bin/bash
# orvik-updater started without a display: one line that says so and points
# to orvik-updater-cli, exit status 2, instead of Qt's abort; a malformed
# -Emulate:... is said first; --help and --version still answer.
#   no_display_test.sh PATH-TO-orvik-updater
set -u -o pipefail
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# arguments|expected status|expected standard error (exactly)|standard output starts with
cases=(
  "|2|orvik-updater: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); on a machine without one, use orvik-updater-cli|"
  "-Emulate|2|orvik-updater: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); on a machine without one, use orvik-updater-cli|"
  "--station -Emulate|2|orvik-updater: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); on a machine without one, use orvik-updater-cli|"
  "--station --parallel=65 -Emulate|2|orvik-updater: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); on a machine without one, use orvik-updater-cli|"
  "-Emulate:badecho@MCUErase|2|orvik-updater: -Emulate:badecho@MCUErase: fault kind 'badecho' is only for the write commands, whose reply echoes a block (MCUWrite or USBWrite), not 'MCUErase'|"
  "--help|0||Usage: orvik-updater"
  "--version|0||orvik-updater "
)
for case in "${cases[@]}"; do
  IFS='|' read -r arguments expected err out <<<"$case"
  # shellcheck disable=SC2086  # the arguments hold no blanks
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$work" \
    "$program" $arguments >"$work/out" 2>"$work/err" </dev/null
  status=$?
  [ "$status" -eq "$expected" ] || { echo "FAIL: '$arguments': status $status, not $expected" >&2; failures=$((failures + 1)); }
  [ "$(cat "$work/err")" = "$err" ] || { echo "FAIL: '$arguments': standard error: $(cat "$work/err")" >&2; failures=$((failures + 1)); }
  [[ $(cat "$work/out") == "$out"* ]] || { echo "FAIL: '$arguments': output: $(cat "$work/out")" >&2; failures=$((failures + 1)); }
done
[ "$failures" -eq 0 ]
