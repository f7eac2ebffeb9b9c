#!/bin/bash
# orvik-updater-cli.exe under Wine with the paths a Windows user gives:
# folders named outside ASCII (--log-dir, --record, --slots, the program's
# own log), names Windows shortens ("L ", "rec.csv."), a device name
# (COM¹), serials that differ only in case under --log-dir, a folder deeper
# than 260 characters, and a refused start that leaves no record behind.
# Needs no display.
#
#   cli_paths_test.sh PATH-TO-orvik-updater-cli.exe
set -u
exe=$1
command -v wine >/dev/null || { echo "SKIP: wine is not installed" >&2; exit 77; }
[ -n "${WINEPREFIX:-}" ] || { echo "SKIP: no WINEPREFIX (CTest sets the build's)" >&2; exit 77; }
# Wine turns the Unix arguments and file names into UTF-16 by the locale.
export LC_ALL=C.UTF-8

work=$(mktemp -d "/tmp/orvik-wine-paths-XXXXXX")
trap 'rm -rf "$work"' EXIT
# The program in a folder named outside ASCII: its own log goes beside it.
bin="$work/Gerät 日本"
mkdir "$bin"
cp "$exe" "$bin/orvik-updater-cli.exe"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

run() {
  (cd "$work" && timeout 120 wine "$bin/orvik-updater-cli.exe" "$@" </dev/null >"$work/out" 2>"$work/err")
  status=$?
  tr -d '\r' <"$work/out" >"$work/out.txt"
  tr -d '\r' <"$work/err" >"$work/err.txt"
}

# The lines of a UTF-16LE log, without time stamps.
log_lines() { iconv -f UTF-16LE -t UTF-8 "$1" | sed -e 's/^\xEF\xBB\xBF//' -e 's/\r$//' -e 's/^<[^>]*> //'; }

# --- One update: the record and the program's log in non-ASCII folders.
mkdir "$work/Protokoll ü"
run --no-mcu --record "Protokoll ü/units.csv" -Emulate
[ "$status" -eq 0 ] || fail "update with --record in 'Protokoll ü': exit $status: $(cat "$work/err.txt")"
head -n 1 "$work/Protokoll ü/units.csv" 2>/dev/null | grep -q '^time,' || fail "no CSV record in 'Protokoll ü'"
[ -f "$bin/orvik-updater-cli.log" ] && log_lines "$bin/orvik-updater-cli.log" | grep -qx 'ORVIK Updater' ||
  fail "no program log beside the program in '$bin': $(ls "$bin")"

# --- "rec.csv." is the file rec.csv, and so CSV.
run --no-mcu --record "rec.csv." -Emulate
[ "$status" -eq 0 ] || fail "--record rec.csv.: exit $status: $(cat "$work/err.txt")"
head -n 1 "$work/rec.csv" 2>/dev/null | grep -q '^time,' || fail "rec.csv. did not give a CSV rec.csv: $(ls "$work")"
grep -q '^{' "$work/rec.csv" 2>/dev/null && fail "JSON lines in rec.csv"

# --- A device name is refused, and nothing is created.
run --no-mcu --record "COM¹.csv" -Emulate
[ "$status" -eq 2 ] || fail "--record COM¹.csv: exit $status"
grep -qF -- '--record COM¹.csv names the device COM¹' "$work/err.txt" || fail "COM¹: $(cat "$work/err.txt")"

# --- A station: logs and slots in non-ASCII folders, "L " as the folder L,
# and two units whose serials differ only in case.
mkdir "$work/Journaux é" "$work/L"
printf '1 emu-1\n2 emu-2\n' >"$work/Journaux é/Plätze.slots"
run --station=2 --parallel=2 --no-mcu --log-dir "Journaux é" --slots "Journaux é/Plätze.slots" \
  "-Emulate:good/serial=abc,good/serial=ABC"
[ "$status" -eq 0 ] || fail "station in 'Journaux é': exit $status: $(cat "$work/err.txt")"
logs=$(ls "$work/Journaux é" | grep -c '\.log$')
[ "$logs" -eq 2 ] || fail "expected two unit logs for abc and ABC: $(ls "$work/Journaux é")"
[ -f "$work/Journaux é/ABC.log" ] || fail "no ABC.log: $(ls "$work/Journaux é")"
for log in "$work/Journaux é"/*.log; do
  [ "$(log_lines "$log" | grep -c 'Update complete$')" -eq 1 ] || fail "$log: not one unit's run"
done
run --station=1 --no-mcu --log-dir "L " -Emulate
[ "$status" -eq 0 ] || fail "--log-dir 'L ': exit $status: $(cat "$work/err.txt")"
[ -f "$work/L/EMU-0001.log" ] || fail "--log-dir 'L ' wrote no log in L: $(ls "$work/L")"

# --- A folder deeper than 260 characters.
deep="$work"
while [ ${#deep} -lt 300 ]; do deep="$deep/$(printf 'd%.0s' $(seq 40))"; done
mkdir -p "$deep"
run --station=1 --no-mcu --log-dir "Z:$deep" --record "Z:$deep/units.jsonl" -Emulate
[ "$status" -eq 0 ] || fail "deep --log-dir: exit $status: $(cat "$work/err.txt")"
[ -f "$deep/EMU-0001.log" ] || fail "no log in the deep folder"
[ -s "$deep/units.jsonl" ] || fail "no record in the deep folder"

# --- A refused start creates nothing: the record is not made when
# --log-dir is refused.
run --station=1 --no-mcu --log-dir "none" --record "refused.jsonl" -Emulate
[ "$status" -eq 2 ] || fail "--log-dir none: exit $status"
[ -e "$work/refused.jsonl" ] && fail "a refused start left refused.jsonl"

if [ "$failures" -ne 0 ]; then
  echo "--- standard output ---" >&2
  cat "$work/out.txt" >&2
  echo "--- standard error ---" >&2
  cat "$work/err.txt" >&2
  exit 1
fi
echo "PASS"
