#!/bin/bash
# Makes the Windows .zip from the built programs:
#
#   packaging/make-zip.sh OUTPUT.zip orvik-updater.exe orvik-updater-cli.exe README.txt
#
# (run by `cmake --build --preset windows --target package`).
#
# The .zip holds both programs (stripped when linked), signed by
# scripts/sign-windows.sh when a certificate is configured (unsigned
# otherwise), README.txt with CR LF line ends and the version filled in, and
# SHA256SUMS of those three. Members are sorted, dated at the release's time
# (scripts/source-date-epoch.sh) in UTC, with fixed modes and no extra
# fields, so that the same programs give the same bytes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
output=$(realpath -m "$1")
gui=$2
cli=$3
readme=$4

SOURCE_DATE_EPOCH=$("$here/../scripts/source-date-epoch.sh")
export SOURCE_DATE_EPOCH
export LC_ALL=C.UTF-8 TZ=UTC
umask 022

version=$(basename "$output" | sed -E 's/^orvik-updater-(.*)-win64\.zip$/\1/')
stage=$(dirname "$output")/zip-root
rm -rf "$stage" "$output"
mkdir -p "$stage"

cp "$gui" "$stage/orvik-updater.exe"
cp "$cli" "$stage/orvik-updater-cli.exe"
"$here/../scripts/sign-windows.sh" "$stage/orvik-updater.exe" "$stage/orvik-updater-cli.exe"
sed -e "s/@VERSION@/$version/" -e 's/$/\r/' "$readme" >"$stage/README.txt"
(cd "$stage" && sha256sum orvik-updater-cli.exe orvik-updater.exe README.txt) >"$stage/SHA256SUMS"

chmod 0644 "$stage"/*
touch --date="@$SOURCE_DATE_EPOCH" "$stage"/*
members=$(cd "$stage" && ls | LC_ALL=C sort)
# -X: no extra fields (owner, extended times); -D: no folder entries.
(cd "$stage" && zip -q -X -D -9 "$output" $members)
echo "$output"
