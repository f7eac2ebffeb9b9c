#!/bin/bash
# Two processes append 1,500 lines each to one record at once, through the
# record's own code, under Wine (which appends in two steps, as a network
# share may): every line arrives whole, none is lost. Three trials.
#
#   record_append_test.sh PATH-TO-record_append_probe.exe
set -u
probe=$1
command -v wine >/dev/null || { echo "SKIP: wine is not installed" >&2; exit 77; }
[ -n "${WINEPREFIX:-}" ] || { echo "SKIP: no WINEPREFIX (CTest sets the build's)" >&2; exit 77; }
work=$(mktemp -d "/tmp/orvik-wine-append-XXXXXX")
trap 'rm -rf "$work"' EXIT
readonly kLines=1500
failures=0
for trial in 1 2 3; do
  record="$work/units-$trial.jsonl"
  wine "$probe" "Z:$record" A "$kLines" & first=$!
  wine "$probe" "Z:$record" B "$kLines" & second=$!
  wait "$first" || { echo "FAIL: trial $trial: the first writer failed" >&2; failures=$((failures + 1)); }
  wait "$second" || { echo "FAIL: trial $trial: the second writer failed" >&2; failures=$((failures + 1)); }
  for id in A B; do
    whole=$(grep -cE "^$id [0-9]{5} $id{200}\$" "$record")
    distinct=$(grep -E "^$id [0-9]{5} $id{200}\$" "$record" | cut -d' ' -f2 | sort -u | wc -l)
    if [ "$whole" -ne "$kLines" ] || [ "$distinct" -ne "$kLines" ]; then
      echo "FAIL: trial $trial: $whole whole lines of $id ($distinct distinct), not $kLines" >&2
      failures=$((failures + 1))
    fi
  done
  total=$(wc -l <"$record")
  if [ "$total" -ne $((2 * kLines)) ]; then
    echo "FAIL: trial $trial: $total lines, not $((2 * kLines))" >&2
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ] || exit 1
echo "PASS"
