#!/bin/bash
# orvik-updater.exe -Emulate under Wine: "Update" runs a whole update of the
# emulated device through the real window. While it runs, Escape is refused;
# "Update complete" appears; after it is closed, Escape closes the dialog
# (the focus was kept valid when "Update" was disabled). The log ends with
# "Update complete". Screenshots of the box and the finished dialog are kept.
source "$(dirname "$0")/gui_env.sh"
gui_start

folder="$SCRATCH/app"
log="$folder/Updater.log"
mkdir -p "$folder" && cp "$ORVIK_UPDATER_EXE" "$folder/Updater.exe"
run_updater "$folder" -Emulate
wait_for "$WAIT_BOUND_S" window_count_is 1 || fail "the dialog did not appear"
dialog=$(find_windows)
wait_for "$WAIT_BOUND_S" log_has '^MCU = Y' "$log" || fail "start-up did not finish"

# "Update" has the focus when the dialog starts: Space presses it.
press "$dialog" space
wait_for "$WAIT_BOUND_S" log_has '^USB Section$' "$log" &
section_wait=$!
sleep 1
# Busy: a request to close is ignored.
press "$dialog" Escape
sleep 0.5
process_gone "$LAST_PID" && fail "Escape closed the dialog during the update"
wait "$section_wait" || fail "the update did not reach the USB section"

wait_for "$WAIT_BOUND_S" window_count_is 2 || fail "no message box at the end of the update"
box=$(find_windows | grep -v "^$dialog\$")
screenshot update-complete-box
log_text "$log" | grep -q '^Update complete$' && fail "'Update complete' logged before the box was closed"
press "$box" Return
wait_for "$WAIT_BOUND_S" window_count_is 1 || fail "the box did not close"
wait_for "$WAIT_BOUND_S" log_has '^Update complete$' "$log" || fail "'Update complete' not logged"
sleep 0.5  # the next timer tick re-enables "Update"
screenshot dialog-finished

press "$dialog" Escape
wait_for "$WAIT_BOUND_S" process_gone "$LAST_PID" || fail "Escape did not close the dialog after the update"
log_text "$log" | tail -n 4
[ "$(log_text "$log" | tail -n 1)" = "Update complete" ] || fail "the log does not end with 'Update complete'"
[ "$(log_text "$log" | grep -c '^USB  write size = 0x00001ac0$')" -eq 1 ] || fail "no USB size line"
echo "PASS"
