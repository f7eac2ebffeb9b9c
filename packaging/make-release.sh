#!/bin/bash
# Gathers what a release publishes into one folder: the amd64 and arm64
# .deb, the .zip, and a detached SHA256SUMS of them, which lets a user check the .zip itself
# before unpacking it (the SHA256SUMS inside the .zip only vouches for its
# members, and comes from the same download).
#
#   packaging/make-release.sh [FOLDER]        (default build/release)
#
# Takes build/linux-release/orvik-updater_*_amd64.deb,
# build/linux-arm64/orvik-updater_*_arm64.deb and
# build/windows/orvik-updater-*-win64.zip, exactly one of each, made by
#   cmake --build --preset linux-release --target package
#   cmake --build --preset linux-arm64 --target package
#   cmake --build --preset windows --target package
# The folder is emptied first. SHA256SUMS names the files without a folder,
# in sha256sum's format, so that `sha256sum -c SHA256SUMS` checks them in
# place.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/release}

# one PATTERN: the single file matching it.
one() {
  local matches=()
  local file
  for file in $1; do [ -f "$file" ] && matches+=("$file"); done
  if [ ${#matches[@]} -ne 1 ]; then
    echo "make-release: need exactly one $1 (found ${#matches[@]}; build it with --target package)" >&2
    exit 1
  fi
  echo "${matches[0]}"
}
deb=$(one 'build/linux-release/orvik-updater_*_amd64.deb')
arm64_deb=$(one 'build/linux-arm64/orvik-updater_*_arm64.deb')
zip=$(one 'build/windows/orvik-updater-*-win64.zip')
files=("$deb" "$arm64_deb" "$zip")

rm -rf "$out"
mkdir -p "$out"
cp "${files[@]}" "$out/"
names=$(for file in "${files[@]}"; do basename "$file"; done | LC_ALL=C sort)
# shellcheck disable=SC2086  # package names hold no blanks
(cd "$out" && sha256sum -- $names) >"$out/SHA256SUMS"
(cd "$out" && sha256sum --quiet -c SHA256SUMS)
echo "make-release: $out"
cat "$out/SHA256SUMS"
