#!/bin/bash
# orvik-updater.exe beside a planted hid.dll and winmm.dll, with Wine told to
# prefer DLLs found on disk for both, as Windows' own search order does: the
# program starts, searches for the real device and shows the no-device box,
# and ends when it is closed, and neither DLL was loaded (each leaves a
# marker file and ends the process with 77 when it is).
#
#   ORVIK_PLANTED_DLLS=PATH-TO-hid.dll,PATH-TO-winmm.dll   (set by CTest)
source "$(dirname "$0")/gui_env.sh"
IFS=, read -r planted_hid planted_winmm <<<"${ORVIK_PLANTED_DLLS:-}"
[ -f "$planted_hid" ] && [ -f "$planted_winmm" ] || fail "ORVIK_PLANTED_DLLS not set"
gui_start
export WINEDLLOVERRIDES="mscoree,mshtml=;hid,winmm=n,b"

folder="$SCRATCH/app"
log="$folder/Updater.log"
mkdir -p "$folder" && cp "$ORVIK_UPDATER_EXE" "$folder/Updater.exe" && cp "$planted_hid" "$planted_winmm" "$folder/" ||
  fail "cannot prepare $folder"
markers() { (cd "$folder" && ls -- *.loaded 2>/dev/null); }

# A program that loads a planted DLL ends before its window: stop waiting then.
shown_or_gone() { window_count_is 1 || process_gone "$LAST_PID"; }
run_updater "$folder"
wait_for "$WAIT_BOUND_S" shown_or_gone && window_count_is 1 ||
  fail "no window appeared (planted DLLs loaded: $(markers))"
[ -z "$(markers)" ] || fail "a planted DLL was loaded: $(markers)"
press "$(find_windows)" Return
wait_for "$WAIT_BOUND_S" process_gone "$LAST_PID" || fail "the program did not end after the box was closed"
[ -z "$(markers)" ] || fail "a planted DLL was loaded: $(markers)"
[ "$(log_text "$log" | tail -n 1)" = "Can't find device" ] || fail "the log does not end with 'Can't find device'"
echo "PASS"
