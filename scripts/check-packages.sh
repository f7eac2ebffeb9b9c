#!/bin/bash
# Lists what the release packages hold and fails when an expected file is
# missing or a package validator finds fault: lintian (at its default
# settings) on the .deb, desktop-file-validate on its desktop entry,
# appstreamcli validate --no-net on its AppStream metainfo, and
# scripts/check-windows-imports.sh on the .zip's programs.
#
#   scripts/check-packages.sh [ARCH | PACKAGE...]
#
# With no argument it checks build/linux-release/orvik-updater_*_amd64.deb,
# build/linux-arm64/orvik-updater_*_arm64.deb and
# build/windows/orvik-updater-*-win64.zip, all of which must exist, and the
# release folder packaging/make-release.sh makes of them. Made by
#   cmake --build --preset linux-release --target package
#   cmake --build --preset linux-arm64 --target package
#   cmake --build --preset windows --target package
# With an architecture (amd64, arm64) it checks that architecture's .deb only
# (build/linux-release for this machine's, build/linux-ARCH for another).
set -u -o pipefail
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
    ./usr/bin/orvik-line \
    ./usr/lib/systemd/system/orvik-line.service \
    ./usr/share/man/man1/orvik-line.1.gz \
    ./usr/share/doc/orvik-updater/line-view.md \
    ./usr/lib/udev/rules.d/70-orvik-updater.rules \
    ./usr/share/applications/orvik-updater.desktop \
    ./usr/share/icons/hicolor/32x32/apps/orvik-updater.png \
    ./usr/share/icons/hicolor/64x64/apps/orvik-updater.png \
    ./usr/share/metainfo/invalid.orvik.updater.metainfo.xml \
    ./usr/share/man/man1/orvik-updater.1.gz \
    ./usr/share/man/man1/orvik-updater-cli.1.gz \
    ./usr/share/doc/orvik-updater/copyright \
    ./usr/share/doc/orvik-updater/changelog.gz \
    ./usr/share/doc/orvik-updater/stations.md \
    ./usr/share/doc/orvik-updater/json.md \
    ./usr/share/doc/orvik-updater/failures.md \
    ./usr/share/doc/orvik-updater/reliability.md \
    ./usr/share/doc/orvik-updater/unattended-station.md \
    ./usr/share/doc/orvik-updater/record-server.sql \
    ./usr/lib/udev/rules.d/71-orvik-station.rules \
    ./usr/lib/systemd/system/orvik-station@.service \
    ./usr/lib/sysusers.d/orvik-station.conf; do
    grep -qxF "$expected" <<<"$paths" || fail "$expected in $deb"
  done
  echo "$listing" | grep -E ' \./usr/bin/orvik-updater(-cli)?$' | grep -qv '^-rwxr-xr-x' &&
    fail "mode 0755 on the programs in $deb"

  echo "-- control"
  dpkg-deb -f "$deb" Package Version Architecture Depends
  check_architecture "$deb"
  [ "$(dpkg-deb -f "$deb" Package)" = orvik-updater ] || fail "Package: orvik-updater in $deb"
  dpkg-deb -f "$deb" Depends | grep -q libqt6widgets6 || fail "a dependency on libqt6widgets6 in $deb"
  dpkg-deb -I "$deb" postinst >/dev/null 2>&1 || fail "the postinst script in $deb"

  # The rule must carry real IDs, not the template's placeholders.
  local rule
  rule=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/lib/udev/rules.d/70-orvik-updater.rules 2>/dev/null)
  grep -qE 'ATTRS\{idVendor\}=="[0-9a-f]{4}", ATTRS\{idProduct\}=="0121", TAG\+="uaccess"' <<<"$rule" ||
    fail "a filled-in udev rule in $deb: $rule"
  rule=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/lib/udev/rules.d/71-orvik-station.rules 2>/dev/null)
  grep -qE 'ATTRS\{idVendor\}=="[0-9a-f]{4}", ATTRS\{idProduct\}=="0121", GROUP="orvik-station", MODE="0660"' <<<"$rule" ||
    fail "a filled-in station udev rule in $deb: $rule"
  # The group the rule names is the station's system user's.
  local sysusers
  sysusers=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/lib/sysusers.d/orvik-station.conf 2>/dev/null)
  grep -qE '^g orvik-station ' <<<"$sysusers" || fail "the group orvik-station in the sysusers file of $deb"
  # Every relative link of the installed guides resolves.
  local docs
  docs=$(mktemp -d)
  dpkg-deb -x "$deb" "$docs"
  python3 tests/docs/doc_links_test.py "$docs/usr/share/doc/orvik-updater" ||
    fail "every link of the guides in $deb resolving"
  rm -rf "$docs"
  local desktop
  desktop=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/applications/orvik-updater.desktop 2>/dev/null)
  grep -qx 'Exec=orvik-updater' <<<"$desktop" || fail "Exec=orvik-updater in the desktop entry"
  grep -qx 'Icon=orvik-updater' <<<"$desktop" || fail "Icon=orvik-updater in the desktop entry"
  # Every member belongs to root and carries one time (the commit's).
  echo "$listing" | awk '$2 != "root/root"' | grep -q . && fail "only root/root members in $deb"
  [ "$(echo "$listing" | awk '{ print $4, $5 }' | sort -u | wc -l)" -eq 1 ] || fail "one time on every member of $deb"

  # The control file's description: a synopsis, then an extended description
  # whose lines start with a blank (no list separators from the build).
  local description
  description=$(dpkg-deb -f "$deb" Description)
  echo "$description" | grep -q '^ *;' && fail "no line starting with ';' in the description of $deb: $description"
  [ "$(echo "$description" | wc -l)" -ge 3 ] || fail "an extended description in $deb"

  # The manual pages: every option of the programs' --help, the exit
  # statuses, the log and the udev rule.
  local page option
  for page in orvik-updater orvik-updater-cli; do
    local text
    text=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./usr/share/man/man1/$page.1.gz" 2>/dev/null | gzip -dc |
      MANWIDTH=200 man -l - 2>/dev/null)
    for option in -AdvMode -Emulate --help --version SYNOPSIS EXAMPLES FILES 'EXIT STATUS' \
                  "$page.log" 70-orvik-updater.rules; do
      grep -qF -- "$option" <<<"$text" || fail "'$option' in the manual page $page.1 of $deb"
    done
  done
  # The pages stand alone: every file they name under /usr/share/doc is in
  # the package, and they name no file of the source tree (docs/...).
  local named
  for page in orvik-updater orvik-updater-cli orvik-line; do
    text=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./usr/share/man/man1/$page.1.gz" 2>/dev/null | gzip -dc |
      MANWIDTH=200 man -l - 2>/dev/null)
    grep -qF 'docs/' <<<"$text" && fail "no path of the source tree (docs/...) in the manual page $page.1 of $deb"
    for named in $(echo "$text" | grep -oE '/usr/share/doc/orvik-updater/[A-Za-z0-9._-]+' | sort -u); do
      grep -qxF ".$named" <<<"$paths" || fail "$named, which the manual page $page.1 names, in $deb"
    done
  done
  for option in --record --listen --token-file --title line.conf; do
    dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/man/man1/orvik-line.1.gz | gzip -dc |
      grep -qF -- "${option//-/\\-}" || fail "'$option' in the manual page orvik-line.1 of $deb"
  done
  # The line view's service: its own dynamic user on a read-only system,
  # its settings from the environment file.
  local unit
  unit=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/lib/systemd/system/orvik-line.service 2>/dev/null)
  for option in DynamicUser=yes ProtectSystem=strict EnvironmentFile=/etc/orvik-updater/line.conf; do
    grep -qxF "$option" <<<"$unit" || fail "$option in orvik-line.service of $deb"
  done
  for option in --no-mcu --no-usb --log; do
    dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/man/man1/orvik-updater-cli.1.gz | gzip -dc |
      grep -qF -- "${option//-/\\-}" || fail "'$option' in the manual page orvik-updater-cli.1 of $deb"
  done

  validate_deb "$deb"
}

# The architecture the file name says (NAME_VERSION_ARCH.deb) is the control
# file's and the programs' own; a dpkg of another architecture (one without
# it as a foreign architecture) refuses the package.
check_architecture() {
  local deb=$1
  local arch=${deb##*_}
  arch=${arch%.deb}
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "Architecture: $arch in $deb"
  local machine
  case $arch in
    amd64) machine='ELF 64-bit LSB .*, x86-64,' ;;
    arm64) machine='ELF 64-bit LSB .*, ARM aarch64,' ;;
    *) machine="no machine known for $arch" ;;
  esac
  local program
  for program in orvik-updater orvik-updater-cli orvik-line; do
    dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./usr/bin/$program" | file - | grep -q "$machine" ||
      fail "$program built for $arch in $deb"
  done
  local host
  host=$(dpkg --print-architecture)
  if [ "$arch" != "$host" ]; then
    local admin
    admin=$(mktemp -d)
    mkdir "$admin/info" "$admin/updates" && : >"$admin/status"
    # Captured first: grep -q would stop reading at the match, and dpkg's
    # later lines would then end it with SIGPIPE, which pipefail counts.
    local refusal
    refusal=$(dpkg --admindir="$admin" --dry-run -i "$deb" 2>&1)
    grep -qF "package architecture ($arch) does not match system ($host)" <<<"$refusal" ||
      fail "dpkg on $host refusing $deb"
    rm -rf "$admin"
  fi
}

# The validators of the .deb's ecosystems, each on the built package.
validate_deb() {
  local deb=$1
  echo "-- lintian"
  local tags
  # Lintian says that it runs as root on a line of its own: not a finding.
  tags=$(lintian "$deb" 2>&1 | grep -v '^running with root privileges is not recommended!$')
  [ -z "$tags" ] || { echo "$tags"; fail "no lintian tags on $deb"; }

  local extracted
  extracted=$(mktemp -d)
  dpkg-deb -x "$deb" "$extracted"
  echo "-- desktop-file-validate"
  desktop-file-validate "$extracted/usr/share/applications/orvik-updater.desktop" ||
    fail "a valid desktop entry in $deb"
  echo "-- appstreamcli validate --no-net"
  appstreamcli validate --no-net "$extracted"/usr/share/metainfo/*.metainfo.xml ||
    fail "valid AppStream metainfo in $deb"
  # The metainfo names the desktop entry it describes and this release.
  local metainfo
  metainfo=$(cat "$extracted"/usr/share/metainfo/*.metainfo.xml)
  grep -qF '<launchable type="desktop-id">orvik-updater.desktop</launchable>' <<<"$metainfo" ||
    fail "the desktop entry as the metainfo's launchable"
  grep -qF "<release version=\"$(dpkg-deb -f "$deb" Version)\"" <<<"$metainfo" ||
    fail "the package's version as the metainfo's release"
  rm -rf "$extracted"
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
  local expected
  for expected in README.txt SHA256SUMS orvik-updater-cli.exe orvik-updater.exe; do
    grep -qxF "$expected" <<<"$names" || fail "$expected in $zip"
  done
  [ "$names" = "$(echo "$names" | LC_ALL=C sort)" ] || fail "sorted members in $zip"
  local programs
  programs=$(echo "$names" | grep -ci '\.exe$')
  [ "$programs" -eq 2 ] || fail "two programs in $zip (found $programs)"
  local dlls
  dlls=$(echo "$names" | grep -ci '\.dll$')
  [ "$dlls" -eq 0 ] || fail "no DLL beside the statically linked programs in $zip (found $dlls)"

  local unpacked
  unpacked=$(mktemp -d)
  unzip -q "$zip" -d "$unpacked" || fail "an unpackable $zip"
  # README.txt: plain text for Windows, every line ended by CR LF.
  [ "$(grep -c $'\r$' "$unpacked/README.txt")" -eq "$(wc -l <"$unpacked/README.txt")" ] ||
    fail "CR LF line ends in README.txt of $zip"
  grep -qF 'orvik-updater-cli.exe' "$unpacked/README.txt" || fail "README.txt naming orvik-updater-cli.exe in $zip"
  grep -q '@VERSION@' "$unpacked/README.txt" && fail "the version filled in README.txt of $zip"
  echo "-- sha256sum -c SHA256SUMS"
  (cd "$unpacked" && sha256sum -c SHA256SUMS) || fail "matching SHA256SUMS in $zip"
  local program
  for program in orvik-updater orvik-updater-cli; do
    file "$unpacked/$program.exe" | grep -q 'PE32+ executable.*x86-64' || fail "$program.exe a 64-bit Windows program"
    # No link time in the header: bytes 8..11 of the COFF header are zero.
    local pe
    pe=$(od -An -tu4 -j 60 -N 4 "$unpacked/$program.exe" | tr -d ' ')
    [ "$(od -An -tu4 -j $((pe + 8)) -N 4 "$unpacked/$program.exe" | tr -d ' ')" = 0 ] ||
      fail "no time stamp in the PE header of $program.exe"
  done
  echo "-- check-windows-imports.sh"
  scripts/check-windows-imports.sh "$unpacked/orvik-updater.exe" "$unpacked/orvik-updater-cli.exe" ||
    fail "only system DLLs imported and the loader's protections kept in the programs of $zip"
  rm -rf "$unpacked"
}

# What the release publishes (packaging/make-release.sh): both packages and a
# detached SHA256SUMS naming exactly them, each with its own checksum.
check_release() {
  echo "== packaging/make-release.sh"
  local release
  release=$(mktemp -d)
  # Packages built without a signing configuration (as the test command
  # builds them) carry unsigned programs: say so to make-release.sh.
  local unsigned=()
  local probe
  probe=$(mktemp -d)
  unzip -q -o "${packages[1]}" orvik-updater-cli.exe -d "$probe" 2>/dev/null
  osslsigncode extract-signature -in "$probe/orvik-updater-cli.exe" -out "$probe/signature" >/dev/null 2>&1 ||
    unsigned=(--unsigned)
  rm -rf "$probe"
  packaging/make-release.sh "${unsigned[@]}" "$release" || fail "a release folder from packaging/make-release.sh"
  local expected
  expected=$(for package in "${packages[@]}"; do
    echo "$(sha256sum <"$package" | cut -d' ' -f1)  $(basename "$package")"
  done | LC_ALL=C sort -k2)
  [ "$(cat "$release/SHA256SUMS" 2>/dev/null)" = "$expected" ] ||
    fail "a SHA256SUMS beside the packages naming exactly them:
$(cat "$release/SHA256SUMS" 2>/dev/null)"
  [ "$(cd "$release" && ls | LC_ALL=C sort)" = "$( (echo SHA256SUMS; for package in "${packages[@]}"; do
    basename "$package"; done) | LC_ALL=C sort)" ] || fail "only the packages and SHA256SUMS in the release folder"
  rm -rf "$release"
}

packages=("$@")
host_arch=$(dpkg --print-architecture)
if [ ${#packages[@]} -eq 0 ]; then
  add_package_file "build/linux-release/orvik-updater_*_$host_arch.deb"
  add_package_file 'build/linux-arm64/orvik-updater_*_arm64.deb'
  add_package_file 'build/windows/orvik-updater-*-win64.zip'
elif [ $# -eq 1 ] && [[ $1 =~ ^[a-z0-9]+$ ]]; then
  packages=()
  if [ "$1" = "$host_arch" ]; then
    add_package_file "build/linux-release/orvik-updater_*_$1.deb"
  else
    add_package_file "build/linux-$1/orvik-updater_*_$1.deb"
  fi
fi

for package in "${packages[@]}"; do
  case $package in
    *.deb) check_deb "$package" ;;
    *.zip) check_zip "$package" ;;
    *) fail "a .deb or a .zip, not $package" ;;
  esac
done
# The release folder is made from the build folders' packages.
[ $# -eq 0 ] && [ ${#packages[@]} -eq 3 ] && check_release

if [ "$failures" -ne 0 ]; then
  echo "check-packages: $failures problem(s)" >&2
  exit 1
fi
echo "check-packages: all expected files present"
