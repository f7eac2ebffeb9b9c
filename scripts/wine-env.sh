#!/bin/bash
# Prepares Wine for running the Windows build's tests, headless.
#
#   cmake --preset windows -B build/windows
#   cmake --build build/windows -j2
#   source scripts/wine-env.sh build/windows      # once per shell
#   ctest --test-dir build/windows --output-on-failure
#
# or, without changing the calling shell:
#
#   scripts/wine-env.sh build/windows ctest --test-dir build/windows --output-on-failure
#
#   scripts/wine-env.sh --stop build/windows      # ends that prefix's Wine server
#
# The build directory defaults to build/windows. The Wine prefix lives inside
# it (<build>/wineprefix), the same prefix CTest's test commands name (see
# cmake/mingw-w64-x86_64.cmake). Creating it takes a few seconds, once.
#
# Why the server is started here: the first Wine program starts wineserver and
# a few background processes, which inherit the starter's standard output.
# Under CTest that is CTest's output pipe, held open after the test exits, so
# every test takes seconds or CTest hangs. Started detached and persistent
# (-p) with its output on /dev/null, the server is shared by every test and a
# test .exe starts in a fraction of a second.
#
# A server started without DISPLAY cannot open windows later: tests that show
# windows (under Xvfb) stop it first (--stop) and set DISPLAY before sourcing.

_orvik_wine_setup() {
  local build_dir=${1:-build/windows}
  mkdir -p "$build_dir" || return 1
  build_dir=$(cd "$build_dir" && pwd) || return 1

  export WINEPREFIX="$build_dir/wineprefix"
  export WINEDEBUG=-all
  # No prompts to install Mono or Gecko: the tests need neither.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  # Only the 64-bit Wine is needed: the build makes 64-bit programs.
  export WINEARCH=win64

  mkdir -p "$WINEPREFIX" || return 1
  # Fails harmlessly when this prefix's server already runs.
  wineserver -p </dev/null >/dev/null 2>&1 || true
  # Creates or updates the prefix; waits until it is ready.
  wine wineboot </dev/null >/dev/null 2>&1 || true
}

if [ "${1:-}" = "--stop" ]; then
  _stop_dir=$(cd "${2:-build/windows}" && pwd) || exit 1
  WINEPREFIX="$_stop_dir/wineprefix" wineserver -k
  unset _stop_dir
  (return 0 2>/dev/null) && return 0 || exit 0
fi

if (return 0 2>/dev/null); then
  # Sourced: leave the variables set in the calling shell.
  _orvik_wine_setup "${1:-}"
else
  set -e
  _orvik_wine_setup "${1:-}"
  shift || true
  if [ $# -gt 0 ]; then exec "$@"; fi
fi
