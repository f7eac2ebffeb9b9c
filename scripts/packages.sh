# Sourced by scripts/demo.sh and scripts/test-all.sh: the Debian 12 packages
# this tree needs, and the installation of those that are missing.
#
#   source scripts/packages.sh
#   orvik_install_packages "${ORVIK_BUILD_PACKAGES[@]}"

# Building the Linux programs and their tests (linux-debug, linux-release);
# orvik-line's web server is Debian's cpp-httplib.
ORVIK_BUILD_PACKAGES=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev googletest nlohmann-json3-dev
  qt6-base-dev fonts-dejavu-core libsystemd-dev
  libsqlite3-dev libpq-dev
  help2man  # the manual pages, part of the release build
  libcpp-httplib-dev
)

# Everything scripts/test-all.sh runs: the build above (with SQLite and libpq
# for the station record), a private PostgreSQL server for the record's
# tests (postgresql; openssl makes its throwaway certificate), the FUSE hidraw tests,
# the sleep lock against a logind mock on a private bus (dbus, python3-dbusmock),
# ThreadSanitizer and libFuzzer (clang), the station's table on a real terminal
# (tmux), the Windows cross-build and its tests
# under Wine on Xvfb, and the release packages with their validators, double
# build, comparison and signing check; the line view's page in a headless
# Chromium driven by selenium (chromium, chromium-driver, python3-selenium).
ORVIK_ALL_PACKAGES=(
  "${ORVIK_BUILD_PACKAGES[@]}"
  libfuse3-dev fuse3
  dbus python3-dbusmock
  clang-14 libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix wine wine64 fonts-wine
  xvfb xdotool imagemagick x11-utils
  dpkg-dev unzip zip file help2man man-db groff-base python3
  lintian desktop-file-utils appstream
  osslsigncode openssl softhsm2 libengine-pkcs11-openssl diffoscope-minimal faketime
  postgresql tmux
  systemd  # systemd-analyze verify on the station's unit
  chromium chromium-driver python3-selenium
)

# The arm64 (Raspberry Pi) cross-build, its tests under user-mode emulation
# and its .deb (scripts/test-all.sh arm64): the cross compiler, qemu-user, and
# the arm64 libraries through Debian's multiarch (NAME:arm64 installs beside
# the amd64 package; the architecture is added to dpkg first). Qt's code
# generators are the amd64 ones of qt6-base-dev above. libpq-dev cannot be
# installed for two architectures at once: libpq5:arm64 is the library, and
# the amd64 libpq-dev's headers serve both.
ORVIK_ARM64_PACKAGES=(
  g++-aarch64-linux-gnu qemu-user-static libc6:arm64 dpkg-dev
  qt6-base-dev qt6-base-dev:arm64 libsystemd-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64
  libsqlite3-dev libsqlite3-dev:arm64 libpq-dev libpq5:arm64
  libcpp-httplib-dev libcpp-httplib-dev:arm64
)

# orvik_missing_packages PACKAGE...: prints those not installed, one a line.
orvik_missing_packages() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || echo "$package"
  done
}

# orvik_install_packages PACKAGE...: installs those not yet installed with
# apt-get (through sudo when not root); a NAME:ARCH of an architecture dpkg
# does not have yet adds it (dpkg --add-architecture) first. Fails with a
# message naming them where there is no apt-get. ORVIK_NO_INSTALL=1 skips all
# this, for a system that has the tools under other names.
orvik_install_packages() {
  [ "${ORVIK_NO_INSTALL:-0}" = 1 ] && return 0
  local missing=()
  mapfile -t missing < <(orvik_missing_packages "$@")
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  # Architectures the missing packages need that dpkg does not know yet.
  local arches=() arch known
  known=$(dpkg --print-architecture; dpkg --print-foreign-architectures)
  for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/^[^:]*://p' | sort -u); do
    grep -qxF "$arch" <<<"$known" || arches+=("$arch")
  done
  local add_arches=""
  for arch in "${arches[@]}"; do add_arches+="dpkg --add-architecture $arch; "; done
  echo "== Installing ${missing[*]}"
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "No apt-get here: install ${missing[*]} (Debian 12 names; or your system's equivalents) and run this again" >&2
    echo "(with ORVIK_NO_INSTALL=1 once they are there)." >&2
    return 1
  fi
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "Not root and no sudo: as root, run ${add_arches}apt-get update; apt-get install ${missing[*]}" >&2
      return 1
    fi
    sudo=(sudo)
  fi
  for arch in "${arches[@]}"; do
    echo "== Adding the architecture $arch to dpkg (multiarch)"
    "${sudo[@]}" dpkg --add-architecture "$arch" || return 1
  done
  "${sudo[@]}" apt-get update -qq &&
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
