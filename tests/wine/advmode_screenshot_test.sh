#!/bin/bash
# orvik-updater.exe -AdvMode -Emulate under Wine: the dialog comes up with its
# caption, at its size, and stays up (the emulated device is found). The
# screenshot dialog-advmode.png (caption, bar, "Update", the three check boxes
# and the elapsed time) is kept as a build artifact.
source "$(dirname "$0")/gui_env.sh"
gui_start

folder="$SCRATCH/app"
mkdir -p "$folder" && cp "$ORVIK_UPDATER_EXE" "$folder/Updater.exe"
run_updater "$folder" -AdvMode -Emulate
wait_for "$WAIT_BOUND_S" window_count_is 1 || fail "the dialog did not appear"
dialog=$(find_windows)
# The version line is the last line of a start-up that found the device.
wait_for "$WAIT_BOUND_S" log_has '^MCU = Y' "$folder/Updater.log" || fail "start-up did not finish"
sleep 1  # let the first paint finish
screenshot dialog-advmode
import -window "$dialog" "$ARTIFACTS/dialog-advmode-window.png" || fail "window screenshot"

# 243 x 45 dialog units of Tahoma 10: a wide, low window.
size=$(window_size "$dialog")
width=${size%x*}
height=${size#*x}
echo "dialog size: $size"
[ "$width" -gt $((height * 3)) ] || fail "the dialog is not wide and low: $size"

press "$dialog" Escape
wait_for "$WAIT_BOUND_S" process_gone "$LAST_PID" || fail "Escape did not close the idle dialog"
echo "PASS"
