#!/bin/bash
# orvik-updater.exe -Emulate under Wine, asked whether the session may end
# (WM_QUERYENDSESSION, as at logoff or shutdown): yes while idle, no while an
# update runs, yes again once it has ended. The update is not disturbed.
source "$(dirname "$0")/gui_env.sh"
[ -n "${ORVIK_END_SESSION_PROBE:-}" ] && [ -f "$ORVIK_END_SESSION_PROBE" ] || fail "ORVIK_END_SESSION_PROBE not set"
gui_start

folder="$SCRATCH/app"
log="$folder/Updater.log"
mkdir -p "$folder" && cp "$ORVIK_UPDATER_EXE" "$folder/Updater.exe"

# probe: prints the probe's answer and sets $answer to its exit status.
probe() {
  timeout "$WAIT_BOUND_S" wine "$ORVIK_END_SESSION_PROBE" </dev/null 2>/dev/null | tr -d '\r'
  answer=${PIPESTATUS[0]}
}

run_updater "$folder" -Emulate
wait_for "$WAIT_BOUND_S" window_count_is 1 || fail "the dialog did not appear"
dialog=$(find_windows)
wait_for "$WAIT_BOUND_S" log_has '^MCU = Y' "$log" || fail "start-up did not finish"

probe
[ "$answer" -eq 0 ] || fail "the idle dialog refused the session's end (probe exit $answer)"

press "$dialog" space
wait_for "$WAIT_BOUND_S" log_has '^USB Section$' "$log" &
section_wait=$!
sleep 1
probe
[ "$answer" -eq 1 ] || fail "the busy dialog let the session end (probe exit $answer)"
process_gone "$LAST_PID" && fail "the query ended the program"
wait "$section_wait" || fail "the update did not reach the USB section"

wait_for "$WAIT_BOUND_S" window_count_is 2 || fail "no message box at the end of the update"
box=$(find_windows | grep -v "^$dialog\$")
press "$box" Return
wait_for "$WAIT_BOUND_S" window_count_is 1 || fail "the box did not close"
wait_for "$WAIT_BOUND_S" log_has '^Update complete$' "$log" || fail "'Update complete' not logged"
sleep 0.5  # the next timer tick sees the dialog idle
probe
[ "$answer" -eq 0 ] || fail "the dialog still refused the session's end after the update (probe exit $answer)"

press "$dialog" Escape
wait_for "$WAIT_BOUND_S" process_gone "$LAST_PID" || fail "Escape did not close the dialog after the update"
[ "$(log_text "$log" | tail -n 1)" = "Update complete" ] || fail "the log does not end with 'Update complete'"
echo "PASS"
