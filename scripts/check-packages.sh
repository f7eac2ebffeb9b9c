#!/bin/bash
# Lists what the release packages hold and fails when an expected file is
# missing.
#
#   scripts/check-packages.sh [PACKAGE...]
#
# With no argument it checks build/linux-release/orvik-updater_*.deb and
# build/windows/orvik-updater-*-win64.zip, both of which must exist. Made by
#   cmake --build --preset linux-release --target package
#   cmake --build --preset windows --target package
set -u
cd "$(dirname "$0")/.."

failures=0
fail() {
  echo "MISSING: $*" >&2
  failures=$((failures + 1))
}

# Adds the one package file matching a pattern to $packages, or fails.
add_package_file() {
  local matches=()
  local file
  for file in $1; do [ -f "$file" ] && matches+=("$file"); done
  if [ ${#matches[@]} -ne 1 ]; then
    fail "exactly one package matching $1 (found ${#matches[@]}; build it with --target package)"
    return
  fi
  packages+=("${matches[0]}")
}

check_deb() {
  local deb=$1
  echo "== $deb"
  local listing
  listing=$(dpkg-deb -c "$deb") || { fail "a readable .deb: $deb"; return; }
  echo "$listing"
  # Paths as dpkg-deb prints them, after the permissions, owner, size and date.
  local paths
  paths=$(echo "$listing" | awk '{ print $6 }')
  local expected
  for expected in \
    ./usr/bin/orvik-updater \
    ./usr/bin/orvik-updater-cli \
    ./usr/lib/udev/rules.d/70-orvik-updater.rules \
    ./usr/share/applications/orvik-updater.desktop \
    ./usr/share/icons/hicolor/32x32/apps/orvik-updater.png \
    ./usr/share/icons/hicolor/64x64/apps/orvik-updater.png; do
    echo "$paths" | grep -qxF "$expected" || fail "$expected in $deb"
  done
  echo "$listing" | grep -E ' \./usr/bin/orvik-updater(-cli)?$' | grep -qv '^-rwxr-xr-x' &&
    fail "mode 0755 on the programs in $deb"

  echo "-- control"
  dpkg-deb -f "$deb" Package Version Architecture Depends
  [ "$(dpkg-deb -f "$deb" Package)" = orvik-updater ] || fail "Package: orvik-updater in $deb"
  dpkg-deb -f "$deb" Depends | grep -q libqt6widgets6 || fail "a dependency on libqt6widgets6 in $deb"
  dpkg-deb -I "$deb" postinst >/dev/null 2>&1 || fail "the postinst script in $deb"

  # The rule must carry real IDs, not the template's placeholders.
  local rule
  rule=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/lib/udev/rules.d/70-orvik-updater.rules 2>/dev/null)
  echo "$rule" | grep -qE 'ATTRS\{idVendor\}=="[0-9a-f]{4}", ATTRS\{idProduct\}=="0121", TAG\+="uaccess"' ||
    fail "a filled-in udev rule in $deb: $rule"
  local desktop
  desktop=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/applications/orvik-updater.desktop 2>/dev/null)
  echo "$desktop" | grep -qx 'Exec=orvik-updater' || fail "Exec=orvik-updater in the desktop entry"
  echo "$desktop" | grep -qx 'Icon=orvik-updater' || fail "Icon=orvik-updater in the desktop entry"
}

check_zip() {
  local zip=$1
  echo "== $zip"
  local listing
  listing=$(unzip -l "$zip") || { fail "a readable .zip: $zip"; return; }
  echo "$listing"
  # Names as unzip prints them: the fourth column, between the dashed lines.
  local names
  names=$(echo "$listing" | awk '/^-+/ { inside = !inside; next } inside { print $4 }')
  echo "$names" | grep -qx 'orvik-updater.exe' || fail "orvik-updater.exe in $zip"
  echo "$names" | grep -qx 'README.md' || fail "README.md in $zip"
  local programs
  programs=$(echo "$names" | grep -ci '\.exe$')
  [ "$programs" -eq 1 ] || fail "a single .exe in $zip (found $programs)"
  local dlls
  dlls=$(echo "$names" | grep -ci '\.dll$')
  [ "$dlls" -eq 0 ] || fail "no DLL beside the statically linked program in $zip (found $dlls)"
}

packages=("$@")
if [ ${#packages[@]} -eq 0 ]; then
  add_package_file 'build/linux-release/orvik-updater_*.deb'
  add_package_file 'build/windows/orvik-updater-*-win64.zip'
fi

for package in "${packages[@]}"; do
  case $package in
    *.deb) check_deb "$package" ;;
    *.zip) check_zip "$package" ;;
    *) fail "a .deb or a .zip, not $package" ;;
  esac
done

if [ "$failures" -ne 0 ]; then
  echo "check-packages: $failures problem(s)" >&2
  exit 1
fi
echo "check-packages: all expected files present"
