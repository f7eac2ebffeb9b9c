#!/bin/bash
# scripts/check-windows-imports.sh passes both programs, and fails, naming
# the fault, on a program that imports hid.dll and winmm.dll and on a copy
# of the CLI whose DllCharacteristics were cleared. Needs no Wine.
#
#   import_check_test.sh GUI.exe CLI.exe PROBE.exe
set -u
gui=$1
cli=$2
probe=$3
check="$(dirname "$0")/../../scripts/check-windows-imports.sh"
command -v x86_64-w64-mingw32-objdump >/dev/null || { echo "SKIP: no x86_64-w64-mingw32-objdump" >&2; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The CLI with DllCharacteristics (offset 70 of the optional header, which
# follows the 4-byte signature and 20-byte file header) set to 0.
cp "$cli" "$work/cleared.exe"
pe=$(od -An -tu4 -j 60 -N 4 "$cli" | tr -d ' ')
printf '\0\0' | dd of="$work/cleared.exe" bs=1 seek=$((pe + 24 + 70)) conv=notrunc status=none

failures=0
# expect STATUS PATTERN... -- FILE...: the check's exit status, and each
# pattern found in what it said.
expect() {
  local status=$1
  shift
  local patterns=()
  while [ "$1" != -- ]; do
    patterns+=("$1")
    shift
  done
  shift
  local out actual
  out=$(bash "$check" "$@" 2>&1)
  actual=$?
  if [ "$actual" -ne "$status" ]; then
    echo "FAIL: check of $* ended with $actual, not $status:" >&2
    echo "$out" >&2
    failures=$((failures + 1))
  fi
  local pattern
  for pattern in "${patterns[@]}"; do
    if ! echo "$out" | grep -q -- "$pattern"; then
      echo "FAIL: check of $* did not say '$pattern':" >&2
      echo "$out" >&2
      failures=$((failures + 1))
    fi
  done
}

expect 0 "only system DLLs imported" -- "$gui" "$cli"
expect 1 "imports HID.DLL" "imports WINMM.dll" -- "$probe"
expect 1 "lacks HIGH_ENTROPY_VA DYNAMIC_BASE NX_COMPAT" -- "$work/cleared.exe"

[ "$failures" -eq 0 ] || exit 1
echo "PASS"
