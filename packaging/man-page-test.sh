#!/bin/bash
# The manual pages made from the programs' --help (packaging/make-man.sh):
# for each program given, the page is valid roff (groff warns of nothing),
# has the sections the package promises, and names every option that
# --help lists; and --help / --version answer without a display and without
# writing a log.
#
#   packaging/man-page-test.sh PROGRAM...
set -u -o pipefail
here=$(cd "$(dirname "$0")" && pwd)
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

for tool in help2man groff man; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for program in "$@"; do
  name=$(basename "$program")
  # A copy in a folder of its own: a log written would show up beside it.
  mkdir "$scratch/$name.d"
  cp "$program" "$scratch/$name.d/$name"
  copy=$scratch/$name.d/$name

  help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$copy" --help) || fail "$name --help failed"
  # The first line taken from the variable itself: `echo | head -1` can end
  # echo with SIGPIPE once the text outgrows one write, which pipefail counts.
  [[ ${help%%$'\n'*} == "Usage: $name "* ]] || fail "$name --help does not start with 'Usage: $name '"
  version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$copy" --version 2>/dev/null | head -1)
  [[ "$version" =~ ^$name\ [0-9]+(\.[0-9]+)+$ ]] || fail "$name --version's first line is '$version'"
  [ -z "$(ls "$scratch/$name.d" | grep -v "^$name\$")" ] || fail "$name --help or --version wrote a file: $(ls "$scratch/$name.d")"

  page=$scratch/$name.1
  "$here/make-man.sh" "$copy" "$page" || { fail "make-man.sh $name"; continue; }
  warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1)
  [ -z "$warnings" ] || fail "groff warns on $name.1: $warnings"
  text=$(MANWIDTH=200 man -l "$page" 2>/dev/null)
  for section in NAME SYNOPSIS DESCRIPTION 'EXIT STATUS' FILES EXAMPLES 'SEE ALSO'; do
    echo "$text" | grep -qx "$section" || fail "no $section section in $name.1"
  done
  # The page stands alone and speaks of this program: FILES names its own log
  # (and not the other program's), every example is explained rather than a
  # bare "$ command", and no path of the source tree (docs/...) is named.
  section() { echo "$text" | awk -v s="$1" '$0 == s { on = 1; next } /^[A-Z][A-Z ]+$/ { on = 0 } on'; }
  other=orvik-updater-cli
  [ "$name" = orvik-updater-cli ] && other=orvik-updater
  if [ "$name" != orvik-line ]; then
    section FILES | grep -qF "/$name.log" || fail "FILES of $name.1 does not name $name.log"
    section FILES | grep -qF "/$other.log" && fail "FILES of $name.1 names $other.log"
  else
    section FILES | grep -qF ".log" && fail "FILES of $name.1 names a log the line view does not write"
  fi
  section EXAMPLES | grep -qE '^ *\$ ' && fail "bare command lines in the EXAMPLES of $name.1"
  echo "$text" | grep -qF 'docs/' && fail "$name.1 names a path of the source tree (docs/...)"
  # Every usage line of --help is a line of the synopsis.
  usage_lines=$(echo "$help" | sed -n '1,/^$/p' | grep -c -E "^(Usage:)? +$name( |\$)")
  synopsis_lines=$(echo "$text" | sed -n '/^SYNOPSIS$/,/^DESCRIPTION$/p' | grep -c -E "^ +$name( |\$)")
  [ "$usage_lines" -ge 1 ] && [ "$synopsis_lines" -eq "$usage_lines" ] ||
    fail "$usage_lines usage line(s) in $name --help, $synopsis_lines in the synopsis of $name.1"
  # Every option --help lists (an indented line starting with a dash) starts
  # a line of the page.
  for option in $(echo "$help" | sed -n 's/^  \(-[^ ]*\).*/\1/p'); do
    echo "$text" | sed 's/^ *//' | awk -v o="$option" 'index($0, o) == 1 { found = 1 } END { exit !found }' ||
      fail "option $option of $name --help is not in $name.1"
  done
done

[ "$failures" -eq 0 ] || exit 1
echo "PASS"
