#!/bin/bash
# orvik-updater.exe --station under Wine: three emulated units, two good and
# one that gives a bad reply to a USB block. The station starts at once; while
# units are being updated a request to close is refused with a sentence (a
# box titled like the window) and the session may not end; the title comes
# to "ORVIK Station - 2 passed, 1 failed"; the tiles (read by their
# accessible names) show two PASS and one FAIL with its number, each with
# "unplug to go on"; the log has a line per result; once idle, Escape closes
# the window. The window's thread answers within a second throughout.
# Screenshots of the running grid, the refusal and the end are kept as
# artifacts.
source "$(dirname "$0")/gui_env.sh"
[ -n "${ORVIK_END_SESSION_PROBE:-}" ] && [ -f "$ORVIK_END_SESSION_PROBE" ] || fail "ORVIK_END_SESSION_PROBE not set"
[ -n "${ORVIK_STATION_PROBE:-}" ] && [ -f "$ORVIK_STATION_PROBE" ] || fail "ORVIK_STATION_PROBE not set"
gui_start

readonly STATION_RE='^ORVIK Station - [0-9]+ passed, [0-9]+ failed$'
folder="$SCRATCH/app"
log="$folder/Updater.log"
mkdir -p "$folder" && cp "$ORVIK_UPDATER_EXE" "$folder/Updater.exe"

station_windows() { xdotool search --onlyvisible --name "$STATION_RE" 2>/dev/null; }
station_count_is() { [ "$(station_windows | wc -l)" -eq "$1" ]; }
# The session's end, asked of the station window: sets $answer (0 may end, 1 refused).
session_answer() {
  timeout "$WAIT_BOUND_S" wine "$ORVIK_END_SESSION_PROBE" OrvikStationWindow </dev/null >"$SCRATCH/probe.txt" 2>/dev/null
  answer=$?
}
refused() { session_answer; [ "$answer" -eq 1 ]; }
tiles() { timeout "$WAIT_BOUND_S" wine "$ORVIK_STATION_PROBE" </dev/null 2>/dev/null | tr -d '\r'; }
title_is() { xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1; }

run_updater "$folder" --station -Emulate:good*2,badreply@USBWrite
wait_for "$WAIT_BOUND_S" station_count_is 1 || fail "the station window did not appear"
window=$(station_windows)

# The units are being updated once the session may not end.
wait_for "$WAIT_BOUND_S" refused || fail "the station let the session end while units were being updated: $(cat "$SCRATCH/probe.txt")"
cat "$SCRATCH/probe.txt" | tr -d '\r'
screenshot station-running
tiles | tee "$SCRATCH/tiles-running.txt"
grep -q '^tile: emu-1: UPDATING, ' "$SCRATCH/tiles-running.txt" || fail "the first unit's tile does not say UPDATING"
# The user-interface thread answers at once while the units are updated: it
# never waits on one (a unit's update takes seconds).
latency=$(timeout "$WAIT_BOUND_S" wine "$ORVIK_STATION_PROBE" --latency 50 </dev/null 2>/dev/null | tr -d '\r')
echo "$latency"
max_ms=$(echo "$latency" | sed -n 's/.* max=\([0-9]*\)\..*/\1/p')
[ -n "$max_ms" ] && [ "$max_ms" -lt 1000 ] || fail "the window's thread did not answer within a second: $latency"

# A request to close is refused with a sentence; the default answer keeps
# the station running.
press "$window" Escape
wait_for "$WAIT_BOUND_S" station_count_is 2 || fail "no refusal when closing while units are updated"
screenshot station-close-refused
box=$(station_windows | grep -v "^$window\$")
press "$box" Return
wait_for "$WAIT_BOUND_S" station_count_is 1 || fail "the refusal did not close"
process_gone "$LAST_PID" && fail "the station ended while units were being updated"

wait_for "$WAIT_BOUND_S" title_is 'ORVIK Station - 2 passed, 1 failed' ||
  fail "the title did not come to 2 passed, 1 failed: $(xdotool getwindowname "$window")"
sleep 1  # the last paint
screenshot station-finished
import -window "$window" "$ARTIFACTS/station-finished-window.png" || fail "window screenshot"
tiles | tee "$SCRATCH/tiles-finished.txt"
[ "$(grep -c '^tile: emu-[12]: PASS, Update complete, serial EMU-000[12], .*unplug to go on, 1 passed, 0 failed' \
  "$SCRATCH/tiles-finished.txt")" -eq 2 ] || fail "two tiles do not show PASS"
grep -q '^tile: emu-3: FAIL, [^,]*fail([0-9]*), serial EMU-0003, .*unplug to go on, 0 passed, 1 failed, yield 0.0%$' \
  "$SCRATCH/tiles-finished.txt" || fail "the faulty unit's tile does not show FAIL with its number"
log_text "$log" | grep '^Station' | tail -n 5
[ "$(log_text "$log" | grep -c '^Station: emulated:[12] (serial EMU-000[12], port emu-[12]): PASS$')" -eq 2 ] || fail "no log line per good unit"
log_text "$log" | grep -q '^Station: emulated:3 (serial EMU-0003, port emu-3): FAIL 1345: Check write usb code reply fail(1345)$' || fail "no log line for the faulty unit"

# Idle: the session may end, and Escape closes the window.
session_answer
[ "$answer" -eq 0 ] || fail "the idle station refused the session's end"
press "$window" Escape
wait_for "$WAIT_BOUND_S" process_gone "$LAST_PID" || fail "Escape did not close the idle station"
echo "PASS"
