#!/bin/bash
# Gathers what a release publishes into one folder: the amd64 and arm64
# .deb, the .zip, and a detached SHA256SUMS of them, which lets a user check the .zip itself
# before unpacking it (the SHA256SUMS inside the .zip only vouches for its
# members, and comes from the same download).
#
#   packaging/make-release.sh [--unsigned] [--cafile FILE] [FOLDER]
#                                           (default FOLDER: build/release)
#
# Takes build/linux-release/orvik-updater_*_amd64.deb,
# build/linux-arm64/orvik-updater_*_arm64.deb and
# build/windows/orvik-updater-*-win64.zip, exactly one of each, made by
#   cmake --build --preset linux-release --target package
#   cmake --build --preset linux-arm64 --target package
#   cmake --build --preset windows --target package
# (ORVIK_BUILD_DIR names another folder than build/ to take them from).
#
# It never deletes anything: FOLDER must not exist yet, or be empty; it is
# made when missing. SHA256SUMS names the files without a folder, in
# sha256sum's format, so that `sha256sum -c SHA256SUMS` checks them in place.
#
# Before copying anything it checks the .zip: its own SHA256SUMS matches its
# members, and both programs carry an Authenticode signature that
# `osslsigncode verify` accepts (against the system's certificate
# authorities, or those of --cafile FILE). A release whose programs are not
# signed is refused unless --unsigned is given; then it says that it is
# unsigned.
set -euo pipefail
cd "$(dirname "$0")/.."

refuse() {
  echo "make-release: $*" >&2
  exit 1
}

unsigned=0
cafile=""
out=""
while [ $# -gt 0 ]; do
  case $1 in
    --unsigned) unsigned=1 ;;
    --cafile) [ $# -ge 2 ] || refuse "--cafile needs a file"; cafile=$2; shift ;;
    --cafile=*) cafile=${1#--cafile=} ;;
    -*) refuse "unknown option '$1' (usage: make-release.sh [--unsigned] [--cafile FILE] [FOLDER])" ;;
    *) [ -z "$out" ] || refuse "one folder only"; out=$1 ;;
  esac
  shift
done
out=${out:-build/release}
build=${ORVIK_BUILD_DIR:-build}

# one PATTERN: the single file matching it.
one() {
  local matches=()
  local file
  for file in $1; do [ -f "$file" ] && matches+=("$file"); done
  if [ ${#matches[@]} -ne 1 ]; then
    refuse "need exactly one $1 (found ${#matches[@]}; build it with --target package)"
  fi
  echo "${matches[0]}"
}
deb=$(one "$build/linux-release/orvik-updater_*_amd64.deb")
arm64_deb=$(one "$build/linux-arm64/orvik-updater_*_arm64.deb")
zip=$(one "$build/windows/orvik-updater-*-win64.zip")
files=("$deb" "$arm64_deb" "$zip")

# The folder: a new one, or an empty one. Whatever is in a folder that holds
# something (earlier releases, anything else) stays untouched.
if [ -e "$out" ] || [ -L "$out" ]; then
  [ -d "$out" ] && [ ! -L "$out" ] || refuse "$out exists and is not a folder: give a new folder"
  [ -z "$(ls -A -- "$out")" ] || refuse "$out is not empty: give a new folder (nothing was changed)"
fi

# The .zip's programs, unpacked into a private folder to check them.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
unzip -q "$zip" -d "$unpacked" || refuse "cannot unpack $zip"
(cd "$unpacked" && sha256sum --quiet -c SHA256SUMS) || refuse "the SHA256SUMS inside $zip does not match its members"
ca=()
[ -z "$cafile" ] || ca=(-CAfile "$cafile")
signed=()
not_signed=()
for program in orvik-updater.exe orvik-updater-cli.exe; do
  [ -f "$unpacked/$program" ] || refuse "no $program in $zip"
  if osslsigncode verify -in "$unpacked/$program" "${ca[@]}" >"$unpacked/verify.txt" 2>&1; then
    signed+=("$program")
  else
    not_signed+=("$program")
  fi
done
if [ ${#not_signed[@]} -gt 0 ]; then
  if [ "$unsigned" = 0 ]; then
    refuse "no valid signature on ${not_signed[*]} in $zip (osslsigncode verify): sign the programs" \
      "(docs/releases.md), or give --unsigned for an unsigned release"
  fi
  [ ${#signed[@]} -eq 0 ] || refuse "only ${signed[*]} is signed in $zip: sign both programs or neither"
fi

mkdir -p -- "$out"
cp "${files[@]}" "$out/"
names=$(for file in "${files[@]}"; do basename "$file"; done | LC_ALL=C sort)
# shellcheck disable=SC2086  # package names hold no blanks
(cd "$out" && sha256sum -- $names) >"$out/SHA256SUMS"
(cd "$out" && sha256sum --quiet -c SHA256SUMS)
if [ ${#not_signed[@]} -gt 0 ]; then
  echo "make-release: $out (UNSIGNED: the Windows programs carry no signature)"
else
  echo "make-release: $out (both Windows programs signed and verified)"
fi
cat "$out/SHA256SUMS"
