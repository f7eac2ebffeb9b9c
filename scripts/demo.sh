#!/bin/bash
# From a fresh Debian 12 machine to a whole firmware update, in one command:
#
#   scripts/demo.sh
#
# (ORVIK_DEMO_BUILD_DIR=<folder> builds there instead of build/linux-release.)
#
# Installs what the Linux build needs (apt-get; asks for sudo when not root),
# builds the linux-release preset, and updates the emulated device with
# orvik-updater-cli: the progress runs to 1000, "Update complete" is shown,
# and the log the updater wrote is printed. Nothing touches real hardware.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=linux-release
# Another folder may be named, to keep an existing build untouched.
build_dir=${ORVIK_DEMO_BUILD_DIR:-build/$preset}
source scripts/packages.sh

step() { printf '\n== %s\n' "$*"; }

# --- 1. Packages --------------------------------------------------------------
# What the build needs; the test libraries too, so that the tests build right
# after the demo.
step "Packages: ${ORVIK_BUILD_PACKAGES[*]}"
orvik_install_packages "${ORVIK_BUILD_PACKAGES[@]}"

# --- 2. Build -----------------------------------------------------------------
step "Building the $preset preset in $build_dir"
build_start=$(date +%s)
cmake --preset "$preset" -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
echo "built in $(($(date +%s) - build_start)) s"

# --- 3. A whole update of the emulated device ----------------------------------
cli=$build_dir/orvik-updater-cli
# The log goes beside the program, named for its file name plus ".log".
log=$build_dir/orvik-updater-cli.log
rm -f "$log"

step "$cli --version"
"$cli" --version

step "$cli -Emulate"
run_start=$(date +%s%N)
status=0
"$cli" -Emulate || status=$?
run_ms=$((($(date +%s%N) - run_start) / 1000000))
echo "exit status $status after $run_ms ms"

step "The log it wrote: $log"
# UTF-16LE with a byte-order mark and CR LF line ends, as on Windows.
iconv -f UTF-16LE -t UTF-8 "$log" | sed -e '1s/^\xEF\xBB\xBF//' -e 's/\r$//'

cat <<HINT

Next:
  $cli -Emulate:badreply@USBWrite; echo "exit status \$?"   # a failing device
  $cli --help                                              # every option
  cmake --preset linux-debug && cmake --build --preset linux-debug && ctest --preset linux-debug
HINT
exit "$status"
