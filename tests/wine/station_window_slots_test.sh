#!/bin/bash
# orvik-updater.exe --station under Wine, beyond the first test's run. A slot
# file that does not parse is refused with its reason before anything is
# sent (exit 2). With --slots --locked --record: a tile per
# slot in the file's order, the slot without a unit shown EMPTY; a long serial
# with a backslash shown escaped and cut, never widening its tile; --locked
# leaves the operator Start and Stop only; Stop, then Start, and a unit that
# had its turn is not flashed again; the record holds both units' runs.
# Closing while a unit is updated and answering "Yes" stops the station, and
# the window ends once the unit is done, its result logged. --station=1 stops
# the station after one unit, the next left waiting; Delete on its tile
# skips it. The screenshots
# station-bad-slots.png and station-slots-locked.png are kept as artifacts.
source "$(dirname "$0")/gui_env.sh"
[ -n "${ORVIK_STATION_PROBE:-}" ] && [ -f "$ORVIK_STATION_PROBE" ] || fail "ORVIK_STATION_PROBE not set"
gui_start

readonly STATION_RE='^ORVIK Station - [0-9]+ passed, [0-9]+ failed$'
folder="$SCRATCH/app"
log="$folder/Updater.log"
mkdir -p "$folder" && cp "$ORVIK_UPDATER_EXE" "$folder/Updater.exe"
printf '# left fixture\nA1 emu-1\nA2 emu-2\nB1 emu-9\n' >"$folder/slots.txt"
long_serial="SN\\$(printf 'W%.0s' {1..60})"

station_windows() { xdotool search --onlyvisible --name "$STATION_RE" 2>/dev/null; }
station_count_is() { [ "$(station_windows | wc -l)" -eq "$1" ]; }
probe() { timeout "$WAIT_BOUND_S" wine "$ORVIK_STATION_PROBE" </dev/null 2>/dev/null | tr -d '\r' >"$SCRATCH/probe.txt"; }
title_is() { xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1; }
control_is() { probe; grep -q "^control: $1 $2\$" "$SCRATCH/probe.txt"; }

# A slot file with a line that is not NAME PORT.
printf 'A1 emu-1\nA2\n' >"$folder/bad-slots.txt"
run_updater "$folder" --station --slots 'bad-slots.txt' -Emulate
wait_for "$WAIT_BOUND_S" eval 'xdotool search --onlyvisible --name "^ORVIK Station\$" >/dev/null 2>&1' ||
  fail "no message for a bad slot file"
screenshot station-bad-slots
box=$(xdotool search --onlyvisible --name '^ORVIK Station$' | head -n 1)
press "$box" Return
wait "$LAST_PID"
status=$?
[ "$status" -eq 2 ] || fail "a bad slot file did not end the start-up with 2 (got $status)"
log_text "$log" | grep -q "^The station cannot start: the slot file bad-slots.txt is refused: line 2" ||
  fail "the log does not say why the slot file was refused"

run_updater "$folder" --station --slots 'slots.txt' --locked --record 'runs.csv' \
  "-Emulate:good/port=emu-2,good/port=emu-1/serial=$long_serial"
wait_for "$WAIT_BOUND_S" station_count_is 1 || fail "the station window did not appear"
window=$(station_windows)
wait_for "$WAIT_BOUND_S" title_is 'ORVIK Station - 2 passed, 0 failed' ||
  fail "the title did not come to 2 passed, 0 failed: $(xdotool getwindowname "$window")"
sleep 1  # the last paint
screenshot station-slots-locked
probe
cat "$SCRATCH/probe.txt"
tiles=$(grep '^tile: ' "$SCRATCH/probe.txt")
[ "$(echo "$tiles" | cut -d: -f2 | tr -d ' ' | tr '\n' ' ')" = "A1 A2 B1 " ] || fail "the tiles are not the slots in order"
# The backslash is escaped (\x5c) and the serial cut with an ellipsis.
echo "$tiles" | grep -q '^tile: A1: PASS, Update complete, serial SN\\x5cW*…, ' || fail "A1 does not show the escaped, cut serial"
echo "$tiles" | grep -q '^tile: A2: PASS, Update complete, serial EMU-0001, ' || fail "A2 does not show its unit"
echo "$tiles" | grep -q '^tile: B1: EMPTY, 0 passed, 0 failed, yield -$' || fail "B1 is not shown empty"
grep -q '^control: ComboBox 8 disabled$' "$SCRATCH/probe.txt" || fail "--locked left the parallel count changeable"
grep -q '^control: Button &Reset counters... disabled$' "$SCRATCH/probe.txt" || fail "--locked left the counters' reset"
grep -q '^control: Button S&top enabled$' "$SCRATCH/probe.txt" || fail "Stop is not offered while running"

# Stop, then Start: the units that had their turn stay done.
press "$window" alt+t
wait_for "$WAIT_BOUND_S" control_is 'Button &Start' enabled || fail "Stop did not stop the station"
press "$window" alt+s
wait_for "$WAIT_BOUND_S" control_is 'Button S&top' enabled || fail "Start did not start the station again"
sleep 2
title_is 'ORVIK Station - 2 passed, 0 failed' || fail "a unit that had its turn was counted again"
[ "$(log_text "$log" | grep -c '^Station: slot A[12], emulated:[12] (.*): PASS$')" -eq 2 ] ||
  fail "the log has not one line per unit"
echo "record:"
cat "$folder/runs.csv"
[ "$(grep -c 'emulated:[12]' "$folder/runs.csv")" -ge 2 ] || fail "the record does not hold both runs"

press "$window" Escape
wait_for "$WAIT_BOUND_S" process_gone "$LAST_PID" || fail "Escape did not close the idle station"

# Closing while a unit is updated, and "Yes": stop, and close once it is done.
: >"$log"
run_updater "$folder" --station -Emulate:good
wait_for "$WAIT_BOUND_S" station_count_is 1 || fail "the station window did not appear again"
window=$(station_windows)
wait_for "$WAIT_BOUND_S" eval 'probe; grep -q "^tile: emu-1: UPDATING" "$SCRATCH/probe.txt"' || fail "the unit did not start"
press "$window" Escape
wait_for "$WAIT_BOUND_S" station_count_is 2 || fail "no refusal when closing while a unit is updated"
box=$(station_windows | grep -v "^$window\$")
press "$box" y
wait_for "$WAIT_BOUND_S" process_gone "$LAST_PID" || fail "the station did not end once its unit was done"
log_text "$log" | grep -q '^Station: emulated:1 (serial EMU-0001, port emu-1): PASS$' ||
  fail "the unit in flight was not finished before the window ended"

# --station=1, one unit at a time: after the first unit the station stops by
# itself, says why, and the second unit waits for Start.
run_updater "$folder" --station=1 --parallel=1 -Emulate:good*2
wait_for "$WAIT_BOUND_S" station_count_is 1 || fail "the station window did not appear a third time"
window=$(station_windows)
wait_for "$WAIT_BOUND_S" control_is 'Button &Start' enabled || fail "the station did not stop after its count"
grep -q '^tile: emu-1: PASS, ' "$SCRATCH/probe.txt" || fail "the first unit did not pass"
grep -q '^tile: emu-2: WAITING, ' "$SCRATCH/probe.txt" || fail "the second unit is not waiting"
title_is 'ORVIK Station - 1 passed, 0 failed' || fail "the title does not count the one unit"
# Tab from the parallel count (the focus left Stop for it) to the second
# tile, and Delete: the waiting unit is skipped, not run.
press "$window" Tab
press "$window" Tab
press "$window" Tab
press "$window" Delete
wait_for "$WAIT_BOUND_S" eval 'probe; grep -q "^tile: emu-2: SKIPPED, .*unplug to go on" "$SCRATCH/probe.txt"' ||
  fail "Delete on the waiting unit's tile did not skip it: $(grep '^tile' "$SCRATCH/probe.txt")"
press "$window" Escape
wait_for "$WAIT_BOUND_S" process_gone "$LAST_PID" || fail "Escape did not close the stopped station"
echo "PASS"
