#!/bin/bash
# orvik-updater-cli.exe under Wine with emulated devices: --list shows them
# and marks the first, and a station of three arrivals, the second faulty,
# gives three result lines and its summary. Needs no display.
#
#   cli_modes_test.sh PATH-TO-orvik-updater-cli.exe
set -u
exe=$1
command -v wine >/dev/null || { echo "SKIP: wine is not installed" >&2; exit 77; }

# No "." in the folder's name: the log is named after the path's last ".".
work=$(mktemp -d "/tmp/orvik-wine-cli-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$exe" "$work/orvik-updater-cli.exe"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

run() {
  (cd "$work" && timeout 120 wine ./orvik-updater-cli.exe "$@" </dev/null >"$work/out" 2>"$work/err")
  status=$?
  # Windows ends lines with CR LF.
  tr -d '\r' <"$work/out" >"$work/out.txt"
  tr -d '\r' <"$work/err" >"$work/err.txt"
}

run --list -Emulate:good,good
[ "$status" -eq 0 ] || fail "--list exit status $status"
[ "$(cat "$work/out.txt")" = "* emulated:1  serial EMU-0001  port emu-1  input 33  output 33  ready
  emulated:2  serial EMU-0002  port emu-2  input 33  output 33  ready" ] || fail "listing:
$(cat "$work/out.txt")"

# Wine shows HID devices of its own, never one with the updater's IDs.
run --list
[ "$status" -eq 2 ] || fail "--list without a device: exit status $status"

run --station=3 --no-mcu --record units.csv \
  "-Emulate:good/leave=300,badreply@USBWrite/after=300/leave=300,good/after=300/leave=300"
[ "$status" -eq 1 ] || fail "--station exit status $status"
results=$(grep '  emulated:' "$work/out.txt")
[ "$(echo "$results" | wc -l)" -eq 3 ] || fail "expected three result lines:
$(cat "$work/out.txt")"
echo "$results" | sed -n 2p | grep -qF '  emulated:2  serial EMU-0002  Check write usb code reply fail(1345)  ' ||
  fail "second result: $(echo "$results" | sed -n 2p)"
[ "$(tail -n 2 "$work/out.txt")" = "Station: 3 devices, 2 updated, 1 failed
  failure 1345: 1" ] || fail "summary: $(tail -n 2 "$work/out.txt")"
# Each unit's message is part of its result line: nothing stands alone.
[ ! -s "$work/err.txt" ] || fail "messages: $(cat "$work/err.txt")"

# The record: a header, then a started and a finished line per unit, appended
# through a handle that can only append; read back, --skip-updated passes
# over the unit already updated.
[ "$(grep -v ',"started",' "$work/units.csv" | cut -d, -f4,5,12-14)" = 'path,serial,status,failure,message
"emulated:1","EMU-0001",0,0,"Update complete"
"emulated:2","EMU-0002",1,1345,"Check write usb code reply fail(1345)"
"emulated:3","EMU-0003",0,0,"Update complete"' ] || fail "record: $(cat "$work/units.csv")"
run --station=1 --no-mcu --record units.csv --skip-updated -Emulate:good/pull=300
[ "$status" -eq 0 ] || fail "second station exit status $status"
grep -q '  emulated:1  serial EMU-0001  already updated at [0-9T:+-]*; run without --skip-updated to flash it again$' "$work/out.txt" ||
  fail "not passed over: $(cat "$work/out.txt")"
[ "$(grep -c ',"started",' "$work/units.csv")" -eq 3 ] || fail "started lines: $(cat "$work/units.csv")"
[ "$(wc -l <"$work/units.csv")" -eq 7 ] || fail "the record grew: $(cat "$work/units.csv")"

run --json --list -Emulate:good,good/serial=SN-42
if command -v python3 >/dev/null; then
  python3 -c '
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
assert [e["event"] for e in events] == ["start", "interface", "interface", "result"], events
assert [e["serial"] for e in events[1:3]] == ["EMU-0001", "SN-42"], events
' "$work/out.txt" || fail "JSON listing: $(cat "$work/out.txt")"
fi

if [ "$failures" -ne 0 ]; then
  echo "--- last standard output ---" >&2
  cat "$work/out.txt" >&2
  exit 1
fi
echo "PASS"
