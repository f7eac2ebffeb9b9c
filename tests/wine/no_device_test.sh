#!/bin/bash
# orvik-updater.exe under Wine, no device attached (Wine has none with our
# identity): the dialog's start-up shows the no-device message box; a second
# instance started meanwhile ends at once and writes nothing; once the box is
# closed the program ends, and the log beside the executable holds the
# start-up lines in order.
#
# The executable runs from a folder whose path is longer than 520 UTF-16
# units, so the log path must be built without a fixed-size buffer.
source "$(dirname "$0")/gui_env.sh"
gui_start

# Five folders of 110 characters: the path exceeds 520 units.
deep="$SCRATCH"
for i in 1 2 3 4 5; do deep="$deep/$(printf "folder$i%.0s-" $(seq 1 15))"; done
mkdir -p "$deep" || fail "cannot create the long folder"
[ "${#deep}" -gt 520 ] || fail "folder path too short: ${#deep}"
cp "$ORVIK_UPDATER_EXE" "$deep/Updater.exe"
log="$deep/Updater.log"

run_updater "$deep"
first=$LAST_PID
wait_for "$WAIT_BOUND_S" window_count_is 1 || fail "no window titled with the caption appeared"
box=$(find_windows)
# The box is up and waiting: the image was checked, but the no-device line is
# written only once the box has been closed.
wait_for "$WAIT_BOUND_S" log_has . "$log" || fail "no log beside the executable"
log_text "$log" | grep -q "Can't find device" && fail "logged 'Can't find device' before the box was closed"
screenshot no-device-box

# A second instance while the first runs: ends at once, silently.
before=$(md5sum <"$log")
(cd "$deep" && exec timeout "$WAIT_BOUND_S" wine ./Updater.exe </dev/null >/dev/null 2>&1)
status=$?
[ "$status" -eq 124 ] && fail "the second instance did not end by itself"
[ "$status" -eq 0 ] || fail "the second instance ended with status $status"
[ "$(md5sum <"$log")" = "$before" ] || fail "the second instance wrote to the log"
window_count_is 1 || fail "the second instance showed a window"

press "$box" Return
wait_for "$WAIT_BOUND_S" process_gone "$first" || fail "the program did not end after the box was closed"
window_count_is 0 || fail "a window is left after the program ended"

expected="ORVIK Updater
MCU End write address = 0x[0-9a-f]{8}
MCU VID = 0x[0-9a-f]{4} PID = 0x0121
CheckSum = 0x[0-9a-f]{4}
VerifyCheckSum = 0x[0-9a-f]{4}
USB End write address = 0x[0-9a-f]{8}
USB VID = 0x[0-9a-f]{4} PID = 0x0121
CheckSum = 0x[0-9a-f]{4}
VerifyCheckSum = 0x[0-9a-f]{4}
Can't find device"
actual=$(log_text "$log")
echo "$actual"
[ "$(echo "$actual" | wc -l)" -eq 10 ] || fail "expected 10 log lines"
paste -d '\n' <(echo "$expected") <(echo "$actual") | while read -r pattern && read -r line; do
  [[ "$line" =~ ^$pattern$ ]] || fail "log line '$line' does not match '$pattern'"
done || exit 1
# The log starts with the byte-order mark of UTF-16LE.
[ "$(head -c 2 "$log" | od -An -tx1 | tr -d ' ')" = "fffe" ] || fail "the log is not UTF-16LE with a byte-order mark"
echo "PASS"
