#!/bin/bash
# The console's code pages are the shell's: orvik-updater-cli.exe switches
# its output to UTF-8 while it runs and puts back what it found, however the
# run ends. Run on a pseudo-terminal (script), where Wine gives the programs
# a console with code pages; cmd sets 437, and a probe shows both code pages
# before and after the program. Wine's console draws a blank as a cursor
# movement: those become blanks again before the probe's line is read.
#   console_code_page_test.sh PATH-TO-orvik-updater-cli.exe PATH-TO-code_page_probe.exe
set -u -o pipefail
program=$1
probe=$2
command -v script >/dev/null || exit 77
command -v wine >/dev/null || exit 77
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$program" "$work/orvik-updater-cli.exe"
cp "$probe" "$work/probe.exe"
cd "$work" || exit 1
failures=0

# The arguments of each run: a quick answer, a refused option, a start-up
# that finds no device, a whole update.
for arguments in "--version" "--no-such-option" "-Emulate:absent" "-Emulate"; do
  shown=$(timeout 120 script -qec \
    "wine cmd /c 'chcp 437 >nul & probe.exe & orvik-updater-cli.exe $arguments >out.txt 2>&1 & probe.exe'" \
    /dev/null </dev/null 2>&1 | sed -e 's/\x1b\[[0-9]*C/ /g' -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d '\r' |
    grep -o 'output *[0-9]* *input *[0-9]*' | tr -s ' ')
  before=$(echo "$shown" | sed -n 1p)
  after=$(echo "$shown" | sed -n 2p)
  if [ "$before" != "output 437 input 437" ] || [ "$after" != "$before" ]; then
    echo "FAIL: 'orvik-updater-cli.exe $arguments': code pages '$before' before, '$after' after" >&2
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ]
