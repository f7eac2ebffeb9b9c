#!/bin/bash
# Makes a program's manual page from its own --help and --version (help2man),
# with the sections the help text has not (files, examples) from
# packaging/man/<program>.h2m and packaging/man/common.h2m.
#
#   packaging/make-man.sh PROGRAM OUTPUT.1 [RUNNER...]
#
# RUNNER: the command that runs PROGRAM when this machine cannot by itself
# (a cross build's emulator, e.g. qemu-aarch64-static -L /).
# The page's date is the release's (scripts/source-date-epoch.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$1
output=$2
runner=("${@:3}")
name=$(basename "$program")

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
include=$scratch/include.h2m
{
  cat "$here/man/$name.h2m"
  echo
  if [ "$name" = orvik-line ]; then
    # The line view writes no log and opens no device: of the common
    # sections only the address for reports.
    awk '/^\[/ { keep = ($0 == "[REPORTING BUGS]") } keep' "$here/man/common.h2m"
  else
    sed "s/PROGRAM/$name/g" "$here/man/common.h2m"
  fi
} >"$include"

# The help text, in the forms help2man reads (man/help-filter.awk).
printf '#!/bin/bash\n%s --help | awk -v name=%q -f %q\n' "$(printf '%q ' "${runner[@]}" "$program")" "$name" \
  "$here/man/help-filter.awk" >"$scratch/help"
chmod +x "$scratch/help"
# The version is the first line of the program's --version.
version=$("${runner[@]}" "$program" --version 2>/dev/null | head -1) || true
[ -n "$version" ] || { echo "make-man: $program --version printed nothing" >&2; exit 1; }

SOURCE_DATE_EPOCH=$("$here/../scripts/source-date-epoch.sh")
export SOURCE_DATE_EPOCH
# C locale: the same page whatever the builder's language.
LC_ALL=C.UTF-8 help2man --no-info --no-discard-stderr --section=1 --version-string="$version" \
  --include="$include" --output="$output" "$scratch/help"
