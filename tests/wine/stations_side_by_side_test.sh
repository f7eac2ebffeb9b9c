#!/bin/bash
# orvik-updater-cli.exe under Wine: stations run side by side in one session,
# a single update does not run beside a station, and a station does not run
# beside a single update. One updater per session, as the README says.
#
#   stations_side_by_side_test.sh PATH-TO-orvik-updater-cli.exe
set -u
exe=$1
command -v wine >/dev/null || { echo "SKIP: wine is not installed" >&2; exit 77; }
[ -n "${WINEPREFIX:-}" ] || { echo "SKIP: no WINEPREFIX (CTest sets the build's)" >&2; exit 77; }

work=$(mktemp -d "/tmp/orvik-wine-side-XXXXXX")
trap 'kill "$first" 2>/dev/null; rm -rf "$work"' EXIT
cp "$exe" "$work/orvik-updater-cli.exe"
first=

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Runs the program in $work; sets $status and leaves standard error in $work/err.
run() {
  (cd "$work" && timeout 120 wine ./orvik-updater-cli.exe "$@" </dev/null >"$work/out" 2>"$work/err")
  status=$?
}

# Waits until the holder has started: it has said its first line.
started() {
  for _ in $(seq 120); do
    [ -s "$work/holder-out" ] && return 0
    sleep 0.25
  done
  return 1
}

# 1. A station that waits for its unit (it comes after a minute).
(cd "$work" && exec wine ./orvik-updater-cli.exe --station -Emulate:good/after=60000 </dev/null >"$work/holder-out" 2>&1) &
first=$!
started || fail "the first station did not start: $(cat "$work/holder-out")"
while read -r expected args; do
  read -ra argv <<<"$args"
  run "${argv[@]}"
  [ "$status" -eq "$expected" ] || fail "$args beside a station: exit status $status, expected $expected: $(tr -d '\r' <"$work/err")"
done <<'CASES'
0 --station=1 --no-mcu -Emulate
0 --list -Emulate
2 --no-mcu -Emulate
CASES
run --no-mcu -Emulate
[ "$(tr -d '\r' <"$work/err")" = "orvik-updater-cli: another ORVIK updater is running" ] ||
  fail "a single update beside a station said: $(tr -d '\r' <"$work/err")"
kill "$first"
wait "$first" 2>/dev/null

# 2. A single update in flight: a station is refused with what to do.
: >"$work/holder-out"
(cd "$work" && exec wine ./orvik-updater-cli.exe -Emulate:good/after=20000 --wait=60 </dev/null >"$work/holder-out" 2>&1) &
first=$!
started || fail "the single update did not start: $(cat "$work/holder-out")"
run --station=1 -Emulate
[ "$status" -eq 2 ] || fail "a station beside a single update: exit status $status"
grep -qF 'stations run side by side, but not beside it' "$work/err" ||
  fail "a station beside a single update said: $(tr -d '\r' <"$work/err")"
kill "$first"
wait "$first" 2>/dev/null

[ "$failures" -eq 0 ] || exit 1
echo "PASS"
