#!/bin/bash
# orvik-updater-cli.exe under Wine as a gang station: four emulated units
# updated at once, one of them faulty, each with its own log. Gives four
# result lines (one per unit, the faulty one with its failure number), the
# summary, and one log per serial, each ending as its unit's update did.
# Needs no display.
#
#   gang_station_test.sh PATH-TO-orvik-updater-cli.exe
set -u
exe=$1
command -v wine >/dev/null || { echo "SKIP: wine is not installed" >&2; exit 77; }
[ -n "${WINEPREFIX:-}" ] || { echo "SKIP: no WINEPREFIX (CTest sets the build's)" >&2; exit 77; }

# No "." in the folder's name: the log is named after the path's last ".".
work=$(mktemp -d "/tmp/orvik-wine-gang-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$exe" "$work/orvik-updater-cli.exe"
mkdir "$work/units"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

(cd "$work" && timeout 120 wine ./orvik-updater-cli.exe --station=4 --parallel=4 --no-mcu --log-dir units \
  -Emulate:good*2,badreply@USBWrite,good </dev/null >"$work/out" 2>"$work/err")
status=$?
tr -d '\r' <"$work/out" >"$work/out.txt"

[ "$status" -eq 1 ] || fail "exit status $status"
results=$(grep '  emulated:[1-4]  serial EMU-000[1-4]  ' "$work/out.txt" | sort -t: -k2)
[ "$(echo "$results" | wc -l)" -eq 4 ] || fail "expected four result lines:
$(cat "$work/out.txt")"
for unit in 1 2 4; do
  echo "$results" | grep -q "  emulated:$unit  serial EMU-000$unit  Update complete  " ||
    fail "unit $unit: $(echo "$results" | grep "emulated:$unit ")"
done
echo "$results" | grep -q '  emulated:3  serial EMU-0003  Check write usb code reply fail(1345)  ' ||
  fail "unit 3: $(echo "$results" | grep 'emulated:3 ')"
[ "$(tail -n 2 "$work/out.txt")" = "Station: 4 devices, 3 updated, 1 failed
  failure 1345: 1" ] || fail "summary: $(tail -n 2 "$work/out.txt")"

# One log per serial, UTF-16LE as the program's own: the good units' end
# with "Update complete", the faulty one's holds its run but not that.
for unit in 1 2 3 4; do
  log="$work/units/EMU-000$unit.log"
  [ -f "$log" ] || { fail "no log for EMU-000$unit: $(ls "$work/units")"; continue; }
  text=$(iconv -f UTF-16LE -t UTF-8 "$log" | tr -d '\r')
  echo "$text" | grep -q 'USB  write size = 0x00001ac0$' || fail "EMU-000$unit.log has no USB section"
  last=$(echo "$text" | grep -v '^$' | tail -n 1)
  if [ "$unit" -eq 3 ]; then
    echo "$text" | grep -q 'Update complete$' && fail "EMU-0003.log says 'Update complete'"
  else
    case "$last" in
      *"Update complete") ;;
      *) fail "EMU-000$unit.log ends with '$last'" ;;
    esac
  fi
done
[ "$(ls "$work/units" | wc -l)" -eq 4 ] || fail "unit logs: $(ls "$work/units")"

if [ "$failures" -ne 0 ]; then
  echo "--- standard output ---" >&2
  cat "$work/out.txt" >&2
  echo "--- standard error ---" >&2
  tr -d '\r' <"$work/err" >&2
  exit 1
fi
echo "PASS"
