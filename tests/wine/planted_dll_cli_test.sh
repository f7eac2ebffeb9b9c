#!/bin/bash
# orvik-updater-cli.exe beside a planted hid.dll and winmm.dll, with Wine
# told to prefer DLLs found on disk for both, as Windows' own search order
# does: an emulated update and a search for the real device both end as
# usual, and neither DLL is loaded (each leaves a marker file and ends the
# process with 77 when it is). A probe that imports both DLLs at load time
# is caught by the same folder first, so a Wine that ignored the override
# would fail this test rather than pass it.
#
#   planted_dll_cli_test.sh PATH-TO-orvik-updater-cli.exe PATH-TO-planted_dll_probe.exe
#   ORVIK_PLANTED_DLLS=PATH-TO-hid.dll,PATH-TO-winmm.dll   (set by CTest)
set -u
exe=$1
probe=$2
command -v wine >/dev/null || { echo "SKIP: wine is not installed" >&2; exit 77; }
IFS=, read -r planted_hid planted_winmm <<<"${ORVIK_PLANTED_DLLS:-}"
[ -f "$planted_hid" ] && [ -f "$planted_winmm" ] || { echo "FAIL: ORVIK_PLANTED_DLLS not set" >&2; exit 1; }

# The path holds a blank; no "." in it, or the log would be named after it.
work=$(mktemp -d "/tmp/orvik planted-XXXXXX")
trap 'rm -rf "$work"' EXIT
export WINEDLLOVERRIDES="mscoree,mshtml=;hid,winmm=n,b"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# plant FOLDER PROGRAM NAME: a fresh folder holding PROGRAM as NAME and the
# two planted DLLs.
plant() {
  rm -rf "$1" && mkdir -p "$1" && cp "$2" "$1/$3" && cp "$planted_hid" "$planted_winmm" "$1/"
}

# markers FOLDER: the markers of planted DLLs that were loaded.
markers() {
  (cd "$1" && ls -- *.loaded 2>/dev/null)
}

# run FOLDER PROGRAM ARGS...: runs it there; $status, $out (CR removed).
run() {
  local folder=$1 program=$2
  shift 2
  status=$(cd "$folder" && timeout 120 wine "./$program" "$@" </dev/null >"$folder.out" 2>&1; echo $?)
  out=$(tr -d '\r' <"$folder.out")
}

echo "== the probe, which imports both at load time, is caught"
plant "$work/probe" "$probe" probe.exe
run "$work/probe" probe.exe
[ "$status" -eq 77 ] || fail "the probe beside the planted DLLs ended with $status, not 77: the test cannot see a planted DLL"
[ -n "$(markers "$work/probe")" ] || fail "the probe left no marker: the test cannot see a planted DLL"

echo "== orvik-updater-cli.exe -Emulate"
plant "$work/emulate" "$exe" orvik-updater-cli.exe
run "$work/emulate" orvik-updater-cli.exe -Emulate
echo "$out" | tail -n 2
[ "$status" -eq 0 ] || fail "-Emulate beside the planted DLLs ended with $status"
echo "$out" | grep -qx 'Update complete' || fail "-Emulate did not say 'Update complete'"
[ -z "$(markers "$work/emulate")" ] || fail "a planted DLL was loaded: $(markers "$work/emulate")"

echo "== orvik-updater-cli.exe --list (the real device search)"
plant "$work/list" "$exe" orvik-updater-cli.exe
run "$work/list" orvik-updater-cli.exe --list
echo "$out" | tail -n 2
# Wine shows HID devices of its own, never one with the updater's IDs.
[ "$status" -eq 2 ] || fail "--list beside the planted DLLs ended with $status, not 2 (no device)"
[ -z "$(markers "$work/list")" ] || fail "a planted DLL was loaded: $(markers "$work/list")"

[ "$failures" -eq 0 ] || exit 1
echo "PASS"
