#!/bin/bash
# One case of orvik-updater-cli's command-line behaviour:
#   cli_run_test.sh CASE PATH-TO-orvik-updater-cli
# Runs a copy of the program in a fresh folder, so that its log is written
# beside it, with a lock folder of its own (XDG_RUNTIME_DIR), so that cases
# run in parallel do not meet at the single-instance lock.
set -u

case_name=$1
program=$2

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
  "$cli" "$@" >"$work/out" 2>"$work/err" </dev/null
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
    "$cli" -Emulate:badreply@MCUWrite >"$work/both" 2>&1 </dev/null
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
    # The elapsed time kept running while the device was silent.
    last_out_line | grep -qE '  00:0[5-9]\.[0-9]{3}$' || fail "last line: $(last_out_line)"
    ;;
  absent)
    run -Emulate:absent
    expect_status 2
    expect_err "Can't find device, Please connect before run this updater!"
    [ ! -s "$work/out" ] || fail "output on a failed start-up: $(cat "$work/out")"
    [ "$(log_lines | tail -n 1)" = "Can't find device" ] || fail "last log line: $(log_lines | tail -n 1)"
    ;;
  bad-option)
    run -Emulate --no-such-option
    expect_status 2
    grep -qF "unknown option '--no-such-option'" "$work/err" || fail "no complaint about the option"
    grep -q '^Usage: orvik-updater-cli' "$work/err" || fail "no usage on standard error"
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
  terminal)
    command -v script >/dev/null || exit 77
    # On a terminal the status line is redrawn in place.
    script -qec "'$cli' -Emulate --no-usb" /dev/null >"$work/out" 2>&1 </dev/null
    grep -q $'\r\[#\{20\}-\{20\}\]  500/1000' "$work/out" || fail "no redrawn status line:
$(cat -A "$work/out")"
    grep -qF "Update complete" "$work/out" || fail "no 'Update complete'"
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
