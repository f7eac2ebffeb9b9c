#!/bin/bash
# Every example of the manual pages (packaging/man/*.h2m, EXAMPLES) runs as
# written, with the emulated device that matches it added at its end, and
# ends as the page says:
#
#   packaging/man-examples-test.sh PATH-TO-orvik-updater-cli [PATH-TO-orvik-updater]
#
# The examples run in page order in one folder (the slot file one teaches is
# the one the next uses), as a copy of the program beside them with its own
# lock folder. An example not in the table below fails the test: a new one
# needs its emulated counterpart here.
set -u -o pipefail
here=$(cd "$(dirname "$0")" && pwd)
cli=$1
gui=${2:-}
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

work=$(mktemp -d "/tmp/orvik man.XXXXXX")
trap 'rm -rf "$work"' EXIT
export XDG_RUNTIME_DIR=$work
mkdir "$work/units"

# What each example needs to run without hardware: the -Emulate argument, the
# exit status, and how it ends: "self", or a text to wait for on its output
# before SIGTERM ends it (as Ctrl+C would).
declare -A emulate status ending
add() { emulate[$1]=$2; status[$1]=$3; ending[$1]=$4; }
add "orvik-updater-cli" "-Emulate" 0 self
add "orvik-updater-cli --no-usb --log" "-Emulate" 0 self
add "orvik-updater-cli -Emulate" "" 0 self
add "orvik-updater-cli -Emulate:badreply@USBWrite" "" 1 self
add "orvik-updater-cli --list" "-Emulate:good,good/serial=0123456789AB" 0 self
add "orvik-updater-cli --serial 0123456789AB --wait" "-Emulate:good/serial=0123456789AB/after=300" 0 self
add "orvik-updater-cli --port 1-1.4.2" "-Emulate:good,good/port=1-1.4.2" 0 self
add "orvik-updater-cli --wait=30 --json" "-Emulate:good/after=300" 0 self
add "orvik-updater-cli --station --log-dir units" "-Emulate:good*2" 0 "serial EMU-0002  Update complete"
add "orvik-updater-cli --station --record units.csv --skip-updated" "-Emulate:good*2" 0 "serial EMU-0002  Update complete"
add "orvik-updater-cli --history --record units.csv" "" 0 self
add "orvik-updater-cli --teach fixture.slots" "-Emulate:good/after=300/pull=400*8" 0 "Slot 2: "
add "orvik-updater-cli --station --slots fixture.slots" "-Emulate:good/port=emu-2,good/port=emu-9,good/port=emu-1" 0 \
    "slot 1  .*Update complete"
add "orvik-updater-cli --station=2 -Emulate:good/leave=500,badreply@MCUWrite/after=500" "" 1 self
# The windowed updater opens its window (offscreen) and waits for "Update".
add "orvik-updater" "-Emulate" 0 window
add "orvik-updater -AdvMode" "-Emulate" 0 window
add "orvik-updater -Emulate:unplug@MCUWrite#100" "" 0 window
add "orvik-updater -Emulate:good/serial=DEMO-1" "" 0 window

# The page's examples: the .B lines of EXAMPLES, roff's \- read as -.
examples() {
  awk '/^\[EXAMPLES\]/ { on = 1; next } /^\[/ { on = 0 } on && /^\.B / { sub(/^\.B /, ""); print }' "$1" |
    sed 's/\\-/-/g'
}

run_example() {
  local example=$1 program=$2
  read -ra words <<<"$example"
  local argv=("${words[@]:1}")
  [ -n "${emulate[$example]}" ] && argv+=("${emulate[$example]}")
  local out=$work/out
  local end=${ending[$example]}
  local started=$SECONDS
  case $end in
    self)
      (cd "$work" && timeout 60 "$work/$program" "${argv[@]}" </dev/null >"$out" 2>&1)
      ;;
    window)
      (cd "$work" && QT_QPA_PLATFORM=offscreen exec "$work/$program" "${argv[@]}" </dev/null >"$out" 2>&1) &
      local pid=$!
      sleep 2
      kill -0 "$pid" 2>/dev/null || fail "'$example' ended at once: $(cat "$out")"
      kill -TERM "$pid" 2>/dev/null
      wait "$pid"
      local code=$?
      # An idle window closes at SIGTERM like a closed window.
      [ "$code" -eq 0 ] || [ "$code" -eq 143 ] || fail "'$example': exit status $code at SIGTERM"
      return
      ;;
    *)
      (cd "$work" && exec "$work/$program" "${argv[@]}" </dev/null >"$out" 2>&1) &
      local pid=$!
      for _ in $(seq 300); do
        grep -q -- "$end" "$out" && break
        sleep 0.1
      done
      grep -q -- "$end" "$out" || fail "'$example': no '$end' within 30 s: $(cat "$out")"
      kill -TERM "$pid"
      wait "$pid"
      ;;
  esac
  local code=$?
  [ "$code" -eq "${status[$example]}" ] || fail "'$example': exit status $code, expected ${status[$example]}:
$(cat "$out")"
  (( SECONDS - started < 60 )) || fail "'$example' took $((SECONDS - started)) s"
}

cp "$cli" "$work/orvik-updater-cli"
pages=(orvik-updater-cli)
if [ -n "$gui" ]; then
  cp "$gui" "$work/orvik-updater"
  pages+=(orvik-updater)
fi
count=0
for page in "${pages[@]}"; do
  while IFS= read -r example; do
    count=$((count + 1))
    if [ -z "${status[$example]+set}" ]; then
      fail "the example '$example' of $page.1 has no emulated counterpart in $(basename "$0")"
      continue
    fi
    before=$SECONDS
    run_example "$example" "$page"
    echo "$((SECONDS - before)) s: $example"
  done < <(examples "$here/man/$page.h2m")
done
[ "$count" -ge 10 ] || fail "only $count examples found"
# What the examples left: a log per unit, the record, the slot file.
[ -s "$work/units/EMU-0001.log" ] || fail "no units/EMU-0001.log: $(ls "$work/units")"
[ "$(grep -c . "$work/units.csv")" -ge 3 ] || fail "units.csv: $(cat "$work/units.csv")"
grep -q '^2 emu-2$' "$work/fixture.slots" || fail "fixture.slots: $(cat "$work/fixture.slots")"

[ "$failures" -eq 0 ] || exit 1
echo "PASS: $count examples"
