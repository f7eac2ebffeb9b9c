#!/bin/bash
# One case of orvik-updater-cli's command-line behaviour:
#   cli_run_test.sh CASE PATH-TO-orvik-updater-cli
# ORVIK_CLI_EMULATOR, when set, is the command that runs the program (a cross
# build's, e.g. "qemu-aarch64-static -L /"): every case
# runs it through that command and checks the same bytes.
# Runs a copy of the program in a fresh folder, so that its log is written
# beside it, with a lock folder of its own (XDG_RUNTIME_DIR), so that cases
# run in parallel do not meet at the single-instance lock.
set -u -o pipefail

case_name=$1
program=$2
read -ra emulator <<<"${ORVIK_CLI_EMULATOR:-}"

# A "." in the folder's name on purpose: the log is named for the program's
# own file name, so no folder's "." may decide where it goes.
work=$(mktemp -d "/tmp/orvik-cli.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$program" "$work/orvik-updater-cli"
export XDG_RUNTIME_DIR=$work
cli=$work/orvik-updater-cli
log=$work/orvik-updater-cli.log

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Runs the program with the given arguments; sets $status, and leaves its
# standard output and error in $work/out and $work/err.
run() {
  "${emulator[@]}" "$cli" "$@" >"$work/out" 2>"$work/err" </dev/null
  status=$?
}

expect_status() {
  [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

# Standard error must be exactly these lines.
expect_err() {
  local expected
  expected=$(printf '%s\n' "$@")
  [ "$(cat "$work/err")" = "$expected" ] || fail "standard error was:
$(cat "$work/err")
expected:
$expected"
}

# The log's lines as text: UTF-16LE to UTF-8, without the byte-order mark,
# the CR and the time stamps.
log_lines() {
  iconv -f UTF-16LE -t UTF-8 "$log" | sed -e '1s/^\xEF\xBB\xBF//' -e 's/\r$//' -e 's/^<[^>]*> //'
}

expect_log_line() {
  [ -f "$log" ] || { fail "no log file beside the program"; return; }
  log_lines | grep -qxF -- "$1" || fail "log has no line '$1':
$(log_lines)"
}

# Output into a file: plain lines, never a redraw.
expect_plain_output() {
  if grep -q $'\r' "$work/out"; then fail "carriage returns in non-terminal output"; fi
}

last_out_line() { tail -n 1 "$work/out"; }

case $case_name in
  full)
    run -Emulate
    expect_status 0
    expect_err "Update complete"
    expect_plain_output
    [ "$(head -n 1 "$work/out")" = "Firmware for Solvane ver1.3" ] || fail "first line: $(head -n 1 "$work/out")"
    last_out_line | grep -qE '^\[#{40}\] 1000/1000  [0-9]{2,}:[0-9]{2}\.[0-9]{3}$' || fail "last line: $(last_out_line)"
    [ "$(wc -l <"$work/out")" -eq 12 ] || fail "expected the caption and 11 status lines:
$(cat "$work/out")"
    [ "$(log_lines | head -n 1)" = "ORVIK Updater" ] || fail "first log line: $(log_lines | head -n 1)"
    expect_log_line "MCU = Y1-3, USB = Y1-1"
    expect_log_line "USB  write size = 0x00001ac0"
    [ "$(log_lines | tail -n 1)" = "Update complete" ] || fail "last log line: $(log_lines | tail -n 1)"
    ;;
  mcu-failure)
    run -Emulate:badreply@MCUWrite --log
    expect_status 1
    expect_err "Check write mcu code reply fail(772)"
    expect_plain_output
    last_out_line | grep -qF '    0/1000' || fail "last line: $(last_out_line)"
    expect_log_line "Compare MCUWrite Reply code fail"
    # Both streams into one file: the message comes after the status lines.
    "${emulator[@]}" "$cli" -Emulate:badreply@MCUWrite >"$work/both" 2>&1 </dev/null
    [ "$(tail -n 1 "$work/both")" = "Check write mcu code reply fail(772)" ] || fail "combined output:
$(cat "$work/both")"
    ;;
  usb-failure)
    run -Emulate:badreply@USBWrite
    expect_status 1
    expect_err "Check write usb code reply fail(1345)"
    last_out_line | grep -qF '  500/1000' || fail "last line: $(last_out_line)"
    ;;
  no-reply)
    # The one case that waits the device's full 5,000 ms wait bound.
    start=$(date +%s%N)
    run -Emulate:noreply@MCUEnd --no-usb
    took_ms=$((($(date +%s%N) - start) / 1000000))
    expect_status 1
    expect_err "Update fail" "Get write mcu end code reply fail(1021)"
    [ "$took_ms" -ge 5000 ] || fail "gave up after $took_ms ms, before the 5,000 ms wait bound"
    # The elapsed time kept running while the device was silent: 5 s or more
    # (more on a loaded or emulated machine, where the MCU's blocks before
    # the silence take longer).
    elapsed=$(last_out_line | sed -nE 's/.*  ([0-9]{2}):([0-9]{2})\.[0-9]{3}$/10#\1 * 60 + 10#\2/p')
    [ -n "$elapsed" ] && [ $((elapsed)) -ge 5 ] || fail "last line: $(last_out_line)"
    ;;
  absent)
    run -Emulate:absent
    expect_status 2
    expect_err "Can't find device, Please connect before run this updater!"
    [ ! -s "$work/out" ] || fail "output on a failed start-up: $(cat "$work/out")"
    [ "$(log_lines | tail -n 1)" = "Can't find device" ] || fail "last log line: $(log_lines | tail -n 1)"
    ;;
  bad-option)
    # Each bad command line: exit status 2, one line naming the option and
    # what is wrong, then the pointer to --help; no usage, no log. The
    # emulator's syntax is checked before the single-instance lock, so these
    # hold while another updater runs.
    command -v flock >/dev/null || exit 77
    exec 9>"$XDG_RUNTIME_DIR/orvik-updater.lock"
    flock -n 9 || fail "could not take the lock"
    bad_lines=(
      "-Emulate --no-such-option|unknown option '--no-such-option'"
      "--wait 30|unknown option '30': --wait takes its value as --wait=30"
      "--station 2|unknown option '2': --station takes its value as --station=2"
      "--wait=tomorrow|bad time in '--wait=tomorrow' (expected seconds from 0 to 86400)"
      "--device|--device needs a PATH"
      "--list --station|--list and --station cannot be combined"
      "-Emulate:Good|-Emulate:Good: fault 'Good' has no '@' (expected a unit: good, absent, KIND@COMMAND or KIND@COMMAND#N, each optionally followed by /after=MS, /leave=MS, /pull=MS, /serial=TEXT or /port=TEXT)"
      "-Emulate:badecho@MCUErase|-Emulate:badecho@MCUErase: fault kind 'badecho' is only for the write commands, whose reply echoes a block (MCUWrite or USBWrite), not 'MCUErase'"
      "-Emulate:good/after=x|-Emulate:good/after=x: bad time 'x' in 'after=x' (expected milliseconds from 0 to 3600000)"
    )
    for bad in "${bad_lines[@]}"; do
      IFS='|' read -r arguments message <<<"$bad"
      # shellcheck disable=SC2086  # the arguments hold no blanks
      run $arguments
      [ "$status" -eq 2 ] || fail "$arguments: exit status $status, expected 2"
      [ "$(cat "$work/err")" = "orvik-updater-cli: $message"$'\n'"Try 'orvik-updater-cli --help'." ] ||
        fail "$arguments: standard error was:
$(cat "$work/err")"
      [ ! -s "$work/out" ] || fail "$arguments: output: $(cat "$work/out")"
    done
    exec 9>&-
    [ ! -e "$log" ] || fail "a refused command wrote a log"
    run --help
    expect_status 0
    grep -q '^Usage: orvik-updater-cli' "$work/out" || fail "--help shows no usage"
    run --version
    expect_status 0
    [ "$(cat "$work/out")" = $'orvik-updater-cli 2.0.0.6\nFirmware for Solvane ver1.3\nMCU = Y1-3, USB = Y1-1' ] ||
      fail "--version: $(cat "$work/out")"
    [ ! -e "$log" ] || fail "--help or --version wrote a log"
    ;;
  bad-fault)
    run -Emulate:sometimes@MCUWrite
    expect_status 2
    grep -qF "sometimes" "$work/err" || fail "the malformed fault is not named: $(cat "$work/err")"
    ;;
  second-instance)
    command -v flock >/dev/null || exit 77
    # Another updater holds the lock: this one ends at once and logs nothing.
    exec 9>"$XDG_RUNTIME_DIR/orvik-updater.lock"
    flock -n 9 || fail "could not take the lock"
    run -Emulate
    expect_status 2
    [ ! -e "$log" ] || fail "a second instance wrote to the log"
    exec 9>&-
    # Once the lock is free, the next start runs.
    run -Emulate
    expect_status 0
    ;;
  stations-side-by-side)
    command -v flock >/dev/null || exit 77
    lock=$XDG_RUNTIME_DIR/orvik-updater.lock
    # A station waiting for its unit holds the lock shared. It has taken it
    # once it says its first line (probing the lock here would take it for a
    # moment, and could turn the starting station away).
    "${emulator[@]}" "$cli" --station -Emulate:good/after=60000 >"$work/first" 2>&1 </dev/null &
    first=$!
    for _ in $(seq 200); do
      grep -q '^Station: ' "$work/first" && break
      sleep 0.1
    done
    grep -q '^Station: ' "$work/first" || fail "the first station did not start: $(cat "$work/first")"
    flock -n -x "$lock" true 2>/dev/null && fail "the first station took no lock"
    # What may run beside it (status), and what may not.
    while read -r expected args; do
      read -ra argv <<<"$args"
      run "${argv[@]}"
      [ "$status" -eq "$expected" ] || fail "$args beside a station: exit status $status, expected $expected:
$(cat "$work/err")"
    done <<'CASES'
0 --station=1 --no-mcu -Emulate
0 --list -Emulate
2 -Emulate
2 --no-mcu -Emulate
CASES
    run -Emulate
    expect_err "orvik-updater-cli: another ORVIK updater is running"
    kill -TERM "$first"
    wait "$first"
    # A single update holds the lock alone: a station is refused, and says
    # what to do.
    exec 9>"$lock"
    flock -n -x 9 || fail "could not take the lock"
    run --station=1 -Emulate
    expect_status 2
    expect_err "orvik-updater-cli: another ORVIK updater is running (a single update or the window; stations run side by side, but not beside it): start this once it has ended"
    exec 9>&-
    run --station=1 --no-mcu -Emulate
    expect_status 0
    ;;
  terminal)
    command -v script >/dev/null || exit 77
    # On a terminal the status line is redrawn in place.
    script -qec "${ORVIK_CLI_EMULATOR:+$ORVIK_CLI_EMULATOR }'$cli' -Emulate --no-usb" /dev/null >"$work/out" 2>&1 </dev/null
    grep -q $'\r\[#\{20\}-\{20\}\]  500/1000' "$work/out" || fail "no redrawn status line:
$(cat -A "$work/out")"
    grep -qF "Update complete" "$work/out" || fail "no 'Update complete'"
    ;;
  narrow-terminal)
    command -v script >/dev/null || exit 77
    # A 40-column terminal: every redraw of the status line fits in 39
    # columns, so it never wraps and piles up; the bar is narrower.
    script -qec "stty cols 40; ${ORVIK_CLI_EMULATOR:+$ORVIK_CLI_EMULATOR }'$cli' -Emulate --no-usb" /dev/null >"$work/out" 2>&1 </dev/null
    grep -qF "Update complete" "$work/out" || fail "no 'Update complete': $(cat -A "$work/out")"
    tr '\r' '\n' <"$work/out" | awk 'length($0) > 39 { print; bad = 1 } END { exit bad }' ||
      fail "lines wider than 39 columns on a 40-column terminal"
    grep -qE $'\r\\[#+-*\\]  500/1000' "$work/out" || fail "no narrowed bar: $(cat -A "$work/out")"
    ;;
  list)
    run --list -Emulate:good,absent,badreply@MCUWrite/serial=SN-3
    expect_status 0
    [ "$(cat "$work/out")" = "* emulated:1  serial EMU-0001  port emu-1  input 33  output 33  ready
  emulated:3  serial SN-3  port emu-3  input 33  output 33  ready" ] || fail "listing:
$(cat "$work/out")"
    expect_err
    # Only the start-up's line in the log: nothing was updated.
    [ "$(log_lines)" = "ORVIK Updater" ] || fail "log of a listing:
$(log_lines)"
    run --list -Emulate:absent
    expect_status 2
    [ ! -s "$work/out" ] || fail "output of an empty listing: $(cat "$work/out")"
    ;;
  device)
    run --device emulated:2 --no-mcu -Emulate:good,badreply@USBWrite
    expect_status 1
    expect_err "Check write usb code reply fail(1345)"
    run --device emulated:4 -Emulate:good,good
    expect_status 2
    expect_err "orvik-updater-cli: emulated:4 is not a usable interface of the device; found: emulated:1 (ready), emulated:2 (ready)"
    [ ! -s "$work/out" ] || fail "output after a refused --device: $(cat "$work/out")"
    [ "$(log_lines | tail -n 1)" = "$(cat "$work/err")" ] || fail "last log line: $(log_lines | tail -n 1)"
    ;;
  wait)
    start=$(date +%s%N)
    run --wait=10 --no-mcu -Emulate:good/after=1000
    took_ms=$((($(date +%s%N) - start) / 1000000))
    expect_status 0
    expect_err "Update complete"
    [ "$(head -n 1 "$work/out")" = "Waiting for the device (at most 10 s)..." ] || fail "first line: $(head -n 1 "$work/out")"
    [ "$(grep -c Waiting "$work/out")" -eq 1 ] || fail "said more than once that it waits"
    [ "$took_ms" -ge 1000 ] || fail "updated after $took_ms ms, before the device came"
    # The bound passes: the dialog's own message, log line and status.
    start=$(date +%s%N)
    run --wait=1 -Emulate:good/after=5000
    took_ms=$((($(date +%s%N) - start) / 1000000))
    expect_status 2
    expect_err "Can't find device, Please connect before run this updater!"
    [ "$(log_lines | tail -n 1)" = "Can't find device" ] || fail "last log line: $(log_lines | tail -n 1)"
    [ "$took_ms" -ge 1000 ] && [ "$took_ms" -lt 3000 ] || fail "gave up after $took_ms ms, not after 1 s"
    ;;
  station)
    command -v python3 >/dev/null || exit 77
    # Three arrivals, the second faulty; Ctrl+C once the third has been
    # updated ends the station with its summary. Python starts the program
    # with SIGINT at its default: a background job of this shell would
    # inherit it ignored.
    python3 - "$cli" "$work" <<'PY' || fail "the station run did not go as expected"
import os, signal, subprocess, sys, time
cli, work = sys.argv[1], sys.argv[2]
emulator = os.environ.get("ORVIK_CLI_EMULATOR", "").split()
units = "-Emulate:good/leave=300,badreply@USBWrite/after=500/leave=300,good/after=500/leave=300"
with open(work + "/out", "w") as out, open(work + "/err", "w") as err:
    p = subprocess.Popen(emulator + [cli, "--station", "--no-mcu", units], stdout=out, stderr=err,
                         stdin=subprocess.DEVNULL, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 40
    while time.monotonic() < deadline:
        with open(work + "/out") as f:
            if sum("  emulated:" in line for line in f) == 3:
                break
        time.sleep(0.1)
    time.sleep(0.5)  # waiting for the third to be unplugged, or for a fourth
    p.send_signal(signal.SIGINT)
    sys.exit(0 if p.wait(timeout=10) == 1 else 1)
PY
    results=$(grep '  emulated:' "$work/out")
    [ "$(echo "$results" | wc -l)" -eq 3 ] || fail "expected three result lines:
$results"
    echo "$results" | sed -n 1p | grep -qE '^[0-9-]{10} [0-9:]{8}  emulated:1  serial EMU-0001  Update complete  [0-9]{2}:[0-9]{2}\.[0-9]{3}$' ||
      fail "first result: $(echo "$results" | sed -n 1p)"
    echo "$results" | sed -n 2p | grep -qF '  emulated:2  serial EMU-0002  Check write usb code reply fail(1345)  ' ||
      fail "second result: $(echo "$results" | sed -n 2p)"
    echo "$results" | sed -n 3p | grep -qF '  emulated:3  serial EMU-0003  Update complete  ' || fail "third result"
    [ "$(tail -n 2 "$work/out")" = "Station: 3 devices, 2 updated, 1 failed
  failure 1345: 1" ] || fail "summary: $(tail -n 2 "$work/out")"
    # The program's log has each unit's result line, and none of the runs'
    # own lines (without --log-dir they would interleave).
    [ "$(log_lines | grep -c '^Station: .*  emulated:[123]  serial ')" -eq 3 ] || fail "expected three results in the log:
$(log_lines)"
    [ "$(log_lines | grep -c '^USB Section$')" -eq 0 ] || fail "a unit's own lines in the program's log"
    ;;
  json)
    command -v python3 >/dev/null || exit 77
    # The same run in plain text and as JSON: the JSON messages are the
    # texts of standard error, and every line parses.
    run --no-mcu -Emulate:badreply@USBWrite#100
    cp "$work/err" "$work/err.text"
    run --json --no-mcu -Emulate:badreply@USBWrite#100
    expect_status 1
    cmp -s "$work/err" "$work/err.text" || fail "standard error differs with --json"
    python3 - "$work/out" "$work/err.text" <<'PY' || fail "JSON output:
$(cat "$work/out")"
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
messages = [e["text"] for e in events if e["event"] == "message"]
assert messages == open(sys.argv[2]).read().splitlines(), messages
assert events[0] == {"event": "start", "program": "orvik-updater-cli", "version": "2.0.0.6", "mode": "update"}
assert [e["path"] for e in events if e["event"] == "device"] == ["emulated:1"]
positions = [e["position"] for e in events if e["event"] == "progress"]
assert positions == sorted(positions) and positions, positions
assert events[-1]["event"] == "result" and events[-1]["status"] == 1 and events[-1]["failure"] == 1345
assert events[-1]["message"] == "Check write usb code reply fail(1345)"
PY
    run --json --list -Emulate:good,good
    expect_status 0
    python3 -c '
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
assert [e["event"] for e in events] == ["start", "interface", "interface", "result"], events
assert [e["chosen"] for e in events[1:3]] == [True, False]
assert events[-1]["message"] == "2 interfaces listed", events[-1]
' "$work/out" || fail "JSON listing: $(cat "$work/out")"
    # The result of every mode has a message; a station's time carries its
    # UTC offset; duration_ms counts the whole run, the wait included.
    run --json --list -Emulate:absent
    cp "$work/out" "$work/list.json"
    run --json --station=1 -Emulate:good
    cp "$work/out" "$work/station.json"
    run --json --wait=2 -Emulate:absent
    python3 - "$work/list.json" "$work/station.json" "$work/out" <<'PY' || fail "JSON results"
import json, re, sys
def result(path):
    return [e for e in map(json.loads, open(path)) if e["event"] == "result"][-1]
listing, station, waited = map(result, sys.argv[1:4])
assert listing["message"] == "No interface with the device's vendor and product ID is attached.", listing
assert station["message"] == "Update complete", station
assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d", station["time"]), station
assert 1900 <= waited["duration_ms"] < 10000, waited
PY
    ;;
  local-bin)
    # Installed by hand as a new user does, in ~/.local/bin of a home folder
    # under a dotted folder (mktemp's own /tmp/tmp.XXXXXX form): the log is
    # ~/.local/bin/orvik-updater-cli.log, and no other file appears anywhere
    # under the home folder or beside it.
    export HOME=$work/tmp.home
    unset XDG_STATE_HOME
    mkdir -p "$HOME/.local/bin" "$work/run"
    chmod 700 "$work/run"
    export XDG_RUNTIME_DIR=$work/run
    cli=$HOME/.local/bin/orvik-updater-cli
    log=$HOME/.local/bin/orvik-updater-cli.log
    cp "$program" "$cli"
    before=$(cd "$work" && find . -path ./run -prune -o -type f -print | sort)
    run -Emulate --no-usb
    expect_status 0
    expect_err "Update complete"
    expect_log_line "ORVIK Updater"
    after=$(cd "$work" && find . -path ./run -prune -o -type f -print | sort)
    new_files=$(comm -13 <(printf '%s\n' "$before") <(printf '%s\n' "$after") | grep -v -e '^\./out$' -e '^\./err$')
    [ "$new_files" = "./tmp.home/.local/bin/orvik-updater-cli.log" ] || fail "files written by the run:
$new_files"
    ;;
  planted-link)
    # Someone who can write to the program's folder has put a symbolic link
    # at the log's name, to a file of 30,000 bytes (past the size at which
    # the log is emptied), and one at the lock's name. The update completes,
    # the link's target is untouched, and the log goes to the state folder,
    # which says that the lock was not used.
    export HOME=$work/home
    unset XDG_STATE_HOME
    head -c 30000 /dev/zero | tr '\0' v >"$work/victim"
    cp "$work/victim" "$work/victim.orig"
    ln -s "$work/victim" "$log"
    ln -s "$work/victim" "$XDG_RUNTIME_DIR/orvik-updater.lock"
    run -Emulate --no-usb
    expect_status 0
    expect_err "Update complete"
    cmp -s "$work/victim" "$work/victim.orig" || fail "the link's target changed"
    [ -L "$log" ] || fail "the planted link is no longer a link"
    log=$HOME/.local/state/orvik-updater/orvik-updater-cli.log
    [ "$(log_lines | head -n 1)" = "ORVIK Updater" ] || fail "first log line: $(log_lines | head -n 1)"
    expect_log_line "Single-instance lock not used, running as the only instance: $XDG_RUNTIME_DIR/orvik-updater.lock is a symbolic link"
    [ "$(log_lines | tail -n 1)" = "Update complete" ] || fail "last log line: $(log_lines | tail -n 1)"
    [ "$(stat -c %a "$HOME/.local/state/orvik-updater")" = 700 ] || fail "the state folder is open to others"
    ;;
  record-json|record-csv)
    command -v python3 >/dev/null || exit 77
    # Three units, the second failing; then the same three again with
    # --skip-updated: the two that passed are passed over and the failed one
    # is updated; then all three by default. In CSV the first unit's serial
    # is a formula. A unit stays 400 ms after its last report, one to be
    # passed over 1 s after it came: a slower machine (or an emulated one,
    # translating the record's code on its first run) may take longer than
    # 100 ms between opening a unit and its first command, or 300 ms to look
    # a unit up.
    format=json
    serial1=EMU-0001
    if [ "$case_name" = record-csv ]; then
      format=csv
      serial1='=1+2'
    fi
    mkdir -p "$work/line 3.d"
    record="$work/line 3.d/units.$format"
    # Each unit's own lines go to its log in units.d.
    units_log_lines() {
      cat "$work/units.d"/*.log | iconv -f UTF-16LE -t UTF-8 | sed -e 's/^\xEF\xBB\xBF//' -e 's/\r$//' -e 's/^<[^>]*> //'
    }
    updates() { units_log_lines | grep -c '^USB Section$'; }
    # A folder only its owner may write, whatever the umask.
    mkdir -p -m 755 "$work/units.d"
    run --station=3 --parallel=1 --no-mcu --log-dir "$work/units.d" --record "$record" \
      "-Emulate:good/leave=400/serial=$serial1,badreply@USBWrite/after=100/leave=400,good/after=100/leave=400"
    expect_status 1
    mcu_sum=$(units_log_lines | grep -m1 '^CheckSum = ' | cut -d' ' -f3)
    usb_sum=$(units_log_lines | grep '^CheckSum = ' | sed -n 2p | cut -d' ' -f3)
    python3 - "$record" "$format" "$serial1" "$mcu_sum" "$usb_sum" <<'PY' || fail "record after the first station:
$(cat "$record")"
import csv, json, re, socket, sys
path, form, serial1, mcu_sum, usb_sum = sys.argv[1:]
fields = ["time", "host", "program_version", "path", "serial", "mcu", "usb", "mcu_version", "usb_version",
          "mcu_checksum", "usb_checksum", "status", "failure", "message", "duration_ms", "station", "operator",
          "port", "slot", "run_id", "state", "time_utc"]
text = open(path, newline="").read()
if form == "json":
    lines = [json.loads(line) for line in text.splitlines()]
    assert all(list(line) == fields for line in lines), lines
else:
    assert text.splitlines()[0] == ",".join(fields), text
    assert text.splitlines()[1].split(",")[4] == '"\'' + serial1 + '"', text  # neutralised, quoted
    lines = list(csv.DictReader(open(path, newline="")))
    for line in lines:
        line["serial"] = line["serial"][1:] if line["serial"].startswith("'") else line["serial"]
        for key in ("mcu", "usb"):
            line[key] = {"true": True, "false": False}[line[key]]
        for key in ("status", "failure", "duration_ms"):
            line[key] = int(line[key]) if line[key] != "" else None
# Each run twice: started before its first command (with no status yet),
# then finished.
assert [l["state"] for l in lines] == ["started", "finished"] * 3, lines
assert all(l["status"] is None for l in lines[0::2]), lines
assert all(lines[i]["run_id"] == lines[i + 1]["run_id"] for i in (0, 2, 4)), lines
lines = lines[1::2]
assert len(lines) == 3, lines
assert [l["path"] for l in lines] == ["emulated:1", "emulated:2", "emulated:3"]
assert [l["serial"] for l in lines] == [serial1, "EMU-0002", "EMU-0003"]
assert [(l["status"], l["failure"]) for l in lines] == [(0, 0), (1, 1345), (0, 0)]
assert lines[1]["message"] == "Check write usb code reply fail(1345)"
for l in lines:
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d", l["time"]), l
    assert l["host"] == socket.gethostname() and l["program_version"] == "2.0.0.6", l
    assert (l["mcu"], l["usb"]) == (False, True), l
    assert (l["mcu_version"], l["usb_version"]) == ("Y1-3", "Y1-1"), l
    assert (l["mcu_checksum"], l["usb_checksum"]) == (mcu_sum, usb_sum), l
    assert l["duration_ms"] > 0, l
PY
    [ "$(updates)" -eq 3 ] || fail "expected three updates in the log"
    first_time=$(python3 -c '
import csv, json, sys
path = sys.argv[1]
rows = list(csv.DictReader(open(path))) if path.endswith(".csv") else [json.loads(l) for l in open(path)]
print(rows[0]["time"])' "$record")

    # Passed over, a unit is taken away by hand (/pull).
    run --station=3 --parallel=1 --no-mcu --skip-updated --log-dir "$work/units.d" --record "$record" \
      "-Emulate:good/pull=1000/serial=$serial1,good/after=100/leave=400,good/after=100/pull=1000"
    expect_status 0
    [ "$(grep -c "  emulated:1  serial .*  already updated at $first_time; run without --skip-updated to flash it again\$" "$work/out")" -eq 1 ] ||
      fail "the first unit was not passed over with its line's time ($first_time)"
    grep -q '  emulated:2  serial EMU-0002  Update complete  ' "$work/out" || fail "the failed unit was not updated"
    grep -q '  emulated:3  serial EMU-0003  already updated at ' "$work/out" || fail "the third unit was not passed over"
    grep -qxF "Station: 3 devices, 1 updated, 0 failed, 2 already updated" "$work/out" || fail "summary"
    [ "$(updates)" -eq 4 ] || fail "expected one more update in the log"

    run --station=3 --parallel=1 --no-mcu --again --log-dir "$work/units.d" --record "$record" \
      "-Emulate:good/leave=400/serial=$serial1,good/after=100/leave=400,good/after=100/leave=400"
    expect_status 0
    [ "$(grep -c '  emulated:[123]  serial .*  Update complete  ' "$work/out")" -eq 3 ] || fail "--again did not update all three"
    [ "$(updates)" -eq 7 ] || fail "expected three more updates in the log"
    lines=$(grep -vc '^time,' "$record")
    [ "$lines" -eq 14 ] || fail "expected 14 record lines (7 runs), found $lines"
    ;;
  record-unwritable)
    # Ends the start-up before anything is sent: a missing folder, a folder.
    for record in "$work/no such folder/units.csv" "$work"; do
      for mode in --station ""; do
        rm -f "$log"
        run $mode --record "$record" -Emulate
        expect_status 2
        grep -qF "orvik-updater-cli: cannot open the record $record: " "$work/err" || fail "message: $(cat "$work/err")"
        [ ! -s "$work/out" ] || fail "output after an unopened record: $(cat "$work/out")"
        [ "$(log_lines)" = "ORVIK Updater
$(cat "$work/err")" ] || fail "log after an unopened record:
$(log_lines)"
      done
    done
    ;;
  record-full)
    command -v python3 >/dev/null || exit 77
    # A file size limit lets the first line in and cuts the second: the
    # station ends before the third unit, naming the unit whose line was lost.
    record="$work/units.jsonl"
    python3 - "$cli" "$work" "$record" <<'PY' || fail "the station did not end as expected: $(cat "$work/err")"
import os, resource, subprocess, sys
cli, work, record = sys.argv[1:]
emulator = os.environ.get("ORVIK_CLI_EMULATOR", "").split()
def limit():
    # Room for three lines: the first unit's two and the second's start.
    resource.setrlimit(resource.RLIMIT_FSIZE, (1400, 1400))
units = "-Emulate:good/leave=400,good/after=100/leave=400,good/after=100/leave=400"
# Through pipes: the limit would cut files of output too.
done = subprocess.run(emulator + [cli, "--station", "--parallel=1", "--no-mcu", "--record", record, units], capture_output=True,
                      stdin=subprocess.DEVNULL, preexec_fn=limit, timeout=40)
open(work + "/out", "wb").write(done.stdout)
open(work + "/err", "wb").write(done.stderr)
sys.exit(0 if done.returncode == 1 else 1)
PY
    grep -qxF "orvik-updater-cli: the record line of emulated:2 (serial EMU-0002) could not be written to $record: File too large" \
      "$work/err" || fail "no message naming the lost line: $(cat "$work/err")"
    [ "$(grep -c '  emulated:[123]  serial ' "$work/out")" -eq 2 ] || fail "a unit was updated after the lost line"
    [ "$(tail -n 1 "$work/out")" = "Station: 2 devices, 2 updated, 0 failed" ] || fail "summary: $(tail -n 1 "$work/out")"
    [ -n "$(tail -c 1 "$record")" ] || fail "the second line was not cut short"

    # A single update finds the cut line at the file's end, says so once, ends
    # it, and adds its own; run again, it leaves the unit alone.
    run --no-mcu --record "$record" -Emulate:good/serial=NEW
    expect_status 0
    expect_err "orvik-updater-cli: $record: its last line is cut short (a write that failed); it is ended before the next line" "Update complete"
    python3 - "$record" <<'PY' || fail "record after the cut line:
$(cat "$record")"
import json, sys
lines = open(sys.argv[1]).read().splitlines()
assert len(lines) == 6, lines
assert json.loads(lines[0])["serial"] == "EMU-0001"
assert json.loads(lines[5])["serial"] == "NEW" and json.loads(lines[5])["status"] == 0
PY
    run --no-mcu --skip-updated --record "$record" -Emulate:good/serial=NEW
    expect_status 0
    grep -qE '^orvik-updater-cli: emulated:1 \(serial NEW\) already updated at [0-9T:+-]+; run without --skip-updated to flash it again$' "$work/err" || fail "not passed over: $(cat "$work/err")"
    [ ! -s "$work/out" ] || fail "the unit was updated again: $(cat "$work/out")"
    ;;
  gang-terminal)
    command -v python3 >/dev/null || exit 77
    # On a terminal (a pseudo-terminal here) a table of the units in flight
    # is redrawn in place, each result printed above it once.
    python3 - "$cli" "$work/tty" <<'PY' || fail "the station on a terminal did not run"
import os, pty, sys
cli, path = sys.argv[1], sys.argv[2]
argv = os.environ.get("ORVIK_CLI_EMULATOR", "").split() + [cli, "--station=3", "--no-usb", "-Emulate:good,good,badreply@MCUWrite"]
pid, fd = pty.fork()
if pid == 0:
    os.execvp(argv[0], argv)
data = b""
while True:
    try:
        chunk = os.read(fd, 65536)
    except OSError:
        break
    if not chunk:
        break
    data += chunk
open(path, "wb").write(data)
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) != 1)
PY
    grep -qF $'\e[J' "$work/tty" || fail "no table drawn: $(cat -A "$work/tty" | head -n 20)"
    grep -qE 'Station: [0-9]+ updating, [0-9]+ waiting' "$work/tty" || fail "no table heading"
    grep -qE 'emulated:[123] +serial EMU-000[123] +MCU  \[[#-]{16}\] +[0-9.]+%  [0-9]{2}:[0-9]{2}\.[0-9]{3}' "$work/tty" ||
      fail "no unit's row: $(cat -A "$work/tty" | head -n 20)"
    for unit in 1 2 3; do
      [ "$(grep -c "  emulated:$unit  serial EMU-000$unit  " "$work/tty")" -eq 1 ] || fail "result of unit $unit not printed once"
    done
    grep -qF 'Station: 3 devices, 2 updated, 1 failed' "$work/tty" || fail "no summary"
    # Into a pipe: the same results, no control sequence at all.
    "${emulator[@]}" "$cli" --station=3 --no-usb -Emulate:good,good,badreply@MCUWrite 2>&1 </dev/null | cat >"$work/out"
    if grep -qP '[\x1b\r]' "$work/out"; then fail "control sequences into a pipe: $(cat -A "$work/out")"; fi
    [ "$(grep -c '  emulated:[123]  serial EMU-000[123]  ' "$work/out")" -eq 3 ] || fail "three results into a pipe"
    # The dialog's messages are in the result lines, never bare lines.
    if grep -qx 'Update complete' "$work/out"; then fail "a bare message line: $(cat "$work/out")"; fi
    # The log: each count of the summary on a time-stamped line of its own.
    iconv -f UTF-16LE -t UTF-8 "$log" | grep -qE $'^<[^>]+> Station: failure 772: 1\r?$' ||
      fail "the log's failure count: $(log_lines | tail -n 3)"
    ;;
  table-interrupt)
    # Ctrl+C typed at a real terminal (tmux, 80 columns) while three units
    # are updated and three wait: the echoed "^C" on a line of its own, the
    # notice on the next; the three complete, the three waiting are said not
    # started, no unit is told to be unplugged; nothing of the table stays.
    command -v python3 >/dev/null && command -v tmux >/dev/null || exit 77
    : >"$work/out"
    python3 - "$cli" "$work" <<'PY' || fail "Ctrl+C on a terminal did not end the station as expected"
import os, re, shlex, subprocess, sys, time
cli, work = sys.argv[1], sys.argv[2]
emulator = os.environ.get("ORVIK_CLI_EMULATOR", "").split()
sock = work + "/tmux.sock"

def tmux(*args):
    return subprocess.run(["tmux", "-S", sock, "-f", "/dev/null", *args], capture_output=True, text=True).stdout

argv = emulator + [cli, "--station", "--parallel=3", "--no-usb", "-Emulate:good*6"]
tmux("new-session", "-d", "-x", "80", "-y", "10", f"{shlex.join(argv)}; echo EXIT=$?; sleep 120")
try:
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and "3 updating, 3 waiting" not in tmux("capture-pane", "-p"):
        time.sleep(0.05)
    tmux("send-keys", "C-c")
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and "EXIT=" not in tmux("capture-pane", "-p"):
        time.sleep(0.1)
    history = tmux("capture-pane", "-p", "-J", "-S", "-")
finally:
    tmux("kill-server")
# -J keeps the blanks a line was cleared to.
lines = [line.rstrip() for line in history.splitlines() if line.strip()]
expected = ([r"Station: connect the devices; .*", r"\^C",
             r"orvik-updater-cli: the station ends once the units being updated are done"] +
            [r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  emulated:[1-3]  serial EMU-000[1-3]  Update complete  \d\d:\d\d\.\d{3}"] * 3 +
            [r"emulated:[4-6] \(serial EMU-000[4-6]\): not started; the station ended"] * 3 +
            [r"Station: 3 devices, 3 updated, 0 failed", r"EXIT=0"])
if len(lines) != len(expected) or not all(re.fullmatch(e, l) for e, l in zip(expected, lines)):
    print("screen and scrollback:\n" + "\n".join(lines), file=sys.stderr)
    sys.exit(1)
PY
    ;;
  table-*)
    # table-COLUMNS-UNITS: a station of that many emulated units on a real
    # terminal (tmux) of that width and 10 rows. The raw output's tables:
    # no line as wide as the terminal, the cursor sent back up by exactly
    # the lines drawn, at most 8 lines (the screen's top line and the
    # cursor's stay free). On screen while it runs: one heading at most.
    # At the end, the screen and its scrollback hold nothing of a table.
    command -v python3 >/dev/null && command -v tmux >/dev/null || exit 77
    IFS=- read -r _ columns units <<<"$case_name"
    : >"$work/out"
    python3 - "$cli" "$work" "$columns" "$units" <<'PY' || fail "the table did not fit the terminal"
import os, re, shlex, subprocess, sys, time, unicodedata
cli, work, columns, units = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
emulator = os.environ.get("ORVIK_CLI_EMULATOR", "").split()
sock, raw, go = work + "/tmux.sock", work + "/raw", work + "/go"

def tmux(*args):
    return subprocess.run(["tmux", "-S", sock, "-f", "/dev/null", *args], capture_output=True, text=True).stdout

def width(text):
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)

argv = emulator + [cli, f"--station={units}", f"--parallel={units}", "--no-usb", f"-Emulate:good*{units}"]
# The program starts once the pane's output is being recorded.
command = f"while [ ! -e {shlex.quote(go)} ]; do sleep 0.02; done; {shlex.join(argv)}; echo EXIT=$?; sleep 120"
tmux("new-session", "-d", "-x", str(columns), "-y", "10", command)
problems = []
try:
    tmux("pipe-pane", "-o", f"cat >>{shlex.quote(raw)}")
    open(go, "w").close()
    seen_heading = False
    deadline = time.monotonic() + 45
    while time.monotonic() < deadline:
        screen = tmux("capture-pane", "-p")
        if "EXIT=" in screen:
            break
        headings = [line for line in screen.splitlines() if re.match(r"(Station: )?\d+ updating, ", line)]
        seen_heading = seen_heading or len(headings) == 1
        if len(headings) > 1:
            problems.append("headings on one screen:\n" + screen)
        time.sleep(0.05)
    else:
        problems.append("the station did not end")
    history = tmux("capture-pane", "-p", "-J", "-S", "-")
finally:
    tmux("kill-server")

if not seen_heading:
    problems.append("no table seen")
data = open(raw, "rb").read().decode("utf-8")
clear = "\r\x1b7\x1b[K\x1b[B\x1b[J\x1b8"
tables = list(re.finditer(re.escape(clear) + r"((?:[^\x1b\n]*\n)+?)\x1b\[(\d+)A\r", data))
if not tables:
    problems.append("no table drawn: " + repr(data[:400]))
for table in tables:
    # The terminal's line discipline sends each line end as CR LF.
    lines = table.group(1).replace("\r\n", "\n").split("\n")[:-1]
    if int(table.group(2)) != len(lines) or len(lines) > 8:
        problems.append(f"{len(lines)} lines drawn, {table.group(2)} gone back up")
    for line in lines:
        if width(line) >= columns:
            problems.append(f"a line of {width(line)} columns: {line!r}")

allowed = [r"Station: connect the devices; .*",
           r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  emulated:\d+  serial EMU-\d{4}  Update complete  \d\d:\d\d\.\d{3}",
           f"Station: {units} devices, {units} updated, 0 failed", r"EXIT=0"]
results = 0
for line in history.splitlines():
    if not line.strip():
        continue
    if not any(re.fullmatch(pattern, line) for pattern in allowed):
        problems.append(f"left on the screen or in its scrollback: {line!r}")
    results += "  Update complete  " in line
if results != units:
    problems.append(f"{results} result lines, expected {units}")
for problem in problems[:10]:
    print(problem, file=sys.stderr)
sys.exit(1 if problems else 0)
PY
    ;;
  gang-interrupt)
    command -v python3 >/dev/null || exit 77
    # Ctrl+C while four units are updated: the four complete, no fifth
    # starts, then the summary.
    python3 - "$cli" "$work" <<'PY' || fail "the station did not end as expected: $(cat "$work/err")"
import os, signal, subprocess, sys, time
cli, work = sys.argv[1], sys.argv[2]
emulator = os.environ.get("ORVIK_CLI_EMULATOR", "").split()
with open(work + "/out", "w") as out, open(work + "/err", "w") as err:
    p = subprocess.Popen(emulator + [cli, "--station", "--parallel=4", "-Emulate:good,good,good,good,good,good"],
                         stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                         preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    # Four updates under way, the others waiting their turn; an emulator
    # takes a moment longer to start the program.
    time.sleep(2.5 if emulator else 1.5)
    p.send_signal(signal.SIGINT)
    sys.exit(0 if p.wait(timeout=30) == 0 else 1)
PY
    [ "$(grep -c '  emulated:[1-6]  serial EMU-000[1-6]  Update complete  ' "$work/out")" -eq 4 ] ||
      fail "expected four completed units"
    if grep -q '  emulated:[56]  ' "$work/out"; then fail "a fifth unit was started"; fi
    [ "$(tail -n 1 "$work/out")" = "Station: 4 devices, 4 updated, 0 failed" ] || fail "summary: $(tail -n 1 "$work/out")"
    grep -qF "orvik-updater-cli: the station ends once the units being updated are done" "$work/err" ||
      fail "no notice of the deferred ending: $(cat "$work/err")"
    ;;
  gang-threads)
    # A user at the limit of its threads (RLIMIT_NPROC counts them): units
    # that cannot get one wait for a running unit and are then updated; none
    # fails. Root is not held to the limit: the program runs as nobody, from
    # a copy the user can reach.
    command -v prlimit >/dev/null || exit 77
    [ -z "${ORVIK_CLI_EMULATOR:-}" ] || exit 77  # qemu-user's own threads count too
    runner=()
    if [ "$(id -u)" -eq 0 ]; then
      command -v runuser >/dev/null || exit 77
      mkdir -m 700 "$work/bin"
      cp "$cli" "$work/bin/"
      chown -R nobody "$work/bin" "$XDG_RUNTIME_DIR"
      runner=(runuser -u nobody -- env HOME="$work/bin" XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR")
      program="$work/bin/$(basename "$cli")"
    else
      program=$cli
    fi
    "${runner[@]}" prlimit --nproc=10 "$program" --station=16 --parallel=16 --no-mcu -Emulate:good*16 \
      >"$work/out" 2>"$work/err" </dev/null
    status=$?
    expect_status 0
    [ "$(tail -n 1 "$work/out")" = "Station: 16 devices, 16 updated, 0 failed" ] || fail "summary: $(tail -n 1 "$work/out")"
    grep -qxF "orvik-updater-cli: no thread for another unit now; it waits for a running one" "$work/err" ||
      fail "the limit did not bite: $(cat "$work/err")"
    ;;
  gang-options)
    # Bad --parallel and --log-dir: a clear message, exit 2, nothing sent.
    for bad in --parallel=0 --parallel=65 --parallel=x --parallel=-1 "--parallel= 4"; do
      run --station "$bad" -Emulate
      expect_status 2
      grep -qF -- "(expected a whole number from 1 to 64)" "$work/err" || grep -qF -- "--parallel needs a NUMBER" "$work/err" ||
        fail "$bad: $(head -n 1 "$work/err")"
    done
    run --parallel 4 -Emulate
    expect_status 2
    grep -qF -- "--parallel sets how many units a station updates at once; it needs --station" "$work/err" || fail "--parallel alone"
    mkdir -p -m 755 "$work/logs" "$work/real"
    : >"$work/file"
    ln -s "$work/real" "$work/link"
    for dir in "$work/none" "$work/file" "$work/link"; do
      run --station --log-dir "$dir" -Emulate
      expect_status 2
      grep -qE -- "^orvik-updater-cli: --log-dir $dir (does not exist|is not a folder|is a symbolic link) \(it must be a writable folder of your own\)$" "$work/err" ||
        fail "$dir: $(cat "$work/err")"
      if grep -q 'Update complete' "$work/out" "$work/err"; then fail "$dir: a unit was updated"; fi
    done
    run --station=2 --parallel 2 --no-usb --log-dir "$work/logs" -Emulate:good,good
    expect_status 0
    [ -f "$work/logs/EMU-0001.log" ] && [ -f "$work/logs/EMU-0002.log" ] || fail "no per-unit logs: $(ls "$work/logs")"
    ;;
  *)
    echo "unknown case '$case_name'" >&2
    exit 2
    ;;
esac

if [ "$failures" -ne 0 ]; then
  echo "--- standard output ---" >&2
  cat "$work/out" >&2
  exit 1
fi
echo "ok: $case_name"
