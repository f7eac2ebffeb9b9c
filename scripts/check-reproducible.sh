#!/bin/bash
# Builds the release artefacts a second time and compares them byte for byte
# with the first build's: the .deb, the .zip and both Windows programs.
#
#   scripts/check-reproducible.sh [ARCH]
#
# The first build is the one in build/linux-release and build/windows (made
# by `--target package` in each, as the test command's packages stage does).
# With an architecture other than this machine's (arm64), the artefact is that
# architecture's .deb, from build/linux-ARCH (the linux-ARCH preset).
# The second is made from a copy of the source tree in another folder (a path
# with a blank), with the clock 400 days and 7 hours ahead (faketime), in
# another time zone and with another umask, without ccache, and builds the
# package targets only (the programs they pack, no tests). Both use the same
# SOURCE_DATE_EPOCH: the commit's time.
#
# On a difference it prints diffoscope's report of each differing pair (also
# kept in build/reproducible-ARCH/) and fails; the second build is kept for
# inspection. On success the second build is removed.
set -u -o pipefail
cd "$(dirname "$0")/.."
root=$PWD

SOURCE_DATE_EPOCH=$(scripts/source-date-epoch.sh)
export SOURCE_DATE_EPOCH
version=$(sed -n '1s/^orvik-updater (\([^)]*\)).*/\1/p' packaging/debian/changelog)
arch=${1:-$(dpkg --print-architecture)}

if [ "$arch" = "$(dpkg --print-architecture)" ]; then
  presets=(linux-release windows)
  artefacts=(
    "linux-release/orvik-updater_${version}_${arch}.deb"
    "windows/orvik-updater-${version}-win64.zip"
    "windows/src/app/win32/orvik-updater.exe"
    "windows/orvik-updater-cli.exe"
  )
else
  presets=("linux-$arch")
  artefacts=("linux-$arch/orvik-updater_${version}_${arch}.deb")
fi
for artefact in "${artefacts[@]}"; do
  [ -f "build/$artefact" ] || { echo "check-reproducible: no build/$artefact: build the package targets first" >&2; exit 1; }
done

work=$root/build/reproducible-$arch
rm -rf "$work"
second="$work/second build/orvik updater"
mkdir -p "$second"
# The tree as it is, without its builds and version control.
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$second" -xf - ||
  { echo "check-reproducible: could not copy the tree to $second" >&2; exit 1; }

echo "== second build in $second"
start=$(date +%s)
# Anything that takes the time of day from the clock shows as a difference.
later=()
if command -v faketime >/dev/null; then
  later=(faketime -f "+34585200")  # 400 days and 7 hours
else
  echo "(faketime is not installed: the second build runs at the real time)"
fi
(
  cd "$second" || exit 1
  export TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 CCACHE_DISABLE=1
  umask 0002
  for preset in "${presets[@]}"; do
    "${later[@]}" cmake --preset "$preset" >/dev/null &&
      "${later[@]}" cmake --build --preset "$preset" -j "${ORVIK_JOBS:-2}" --target package || exit 1
  done
) || { echo "check-reproducible: the second build failed" >&2; exit 1; }
echo "second build: $(($(date +%s) - start)) s"

differences=0
for artefact in "${artefacts[@]}"; do
  first_file="build/$artefact"
  second_file="$second/build/$artefact"
  if cmp -s "$first_file" "$second_file"; then
    echo "same: $artefact ($(sha256sum <"$first_file" | cut -c1-16)...)"
  else
    differences=$((differences + 1))
    echo "DIFFERENT: $artefact"
    report="$work/$(basename "$artefact").diffoscope.txt"
    if command -v diffoscope >/dev/null; then
      diffoscope --no-progress --text "$report" "$first_file" "$second_file" >/dev/null 2>&1
      head -c 200000 "$report"
      echo "(diffoscope's report: $report)"
    else
      cmp "$first_file" "$second_file" | head -5
    fi
  fi
done

if [ "$differences" -ne 0 ]; then
  echo "check-reproducible: $differences artefact(s) differ between the two builds" >&2
  exit 1
fi
rm -rf "$work"
echo "check-reproducible: both builds gave the same bytes"
