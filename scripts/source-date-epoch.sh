#!/bin/bash
# Prints the time that every release artefact carries, in seconds since
# 1970: $SOURCE_DATE_EPOCH when set; else the time of the commit checked out;
# else (a tree without git, such as an unpacked source archive) the date of
# the newest entry of packaging/debian/changelog.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  echo "$SOURCE_DATE_EPOCH"
elif epoch=$(git -C "$root" log -1 --format=%ct 2>/dev/null) && [ -n "$epoch" ]; then
  echo "$epoch"
else
  # The trailer line: " -- Name <address>  Mon, 07 Dec 2026 12:00:00 +0000".
  date=$(sed -n 's/^ -- .*>  //p' "$root/packaging/debian/changelog" | head -1)
  date -d "$date" +%s
fi
