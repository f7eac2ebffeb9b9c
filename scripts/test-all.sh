#!/bin/bash
# Builds every configuration and runs every test: the one test command.
#
#   scripts/test-all.sh            everything (about 48 minutes on 2 cores)
#   scripts/test-all.sh linux      only some stages: linux, tsan, windows, fuzz, arm64, packages
#
# Stages:
#   linux     linux-debug preset: AddressSanitizer + UndefinedBehaviorSanitizer,
#             unit, dialog/worker, hidraw (fake sysfs, socketpair, FUSE),
#             Qt offscreen and command-line tests
#   tsan      linux-tsan preset: the threaded tests under ThreadSanitizer
#   windows   windows preset: MinGW-w64 cross-build; the same core tests, the
#             Win32 HID tests and the real window under Wine (+ Xvfb)
#   fuzz      libFuzzer targets, a bounded time each (ORVIK_FUZZ_SECONDS, default 60)
#   arm64     linux-arm64 preset: the Raspberry Pi build, cross-built; its unit
#             tests and the real arm64 CLI's end-to-end runs (update, station)
#             under qemu-user through CTest; its .deb checked as the amd64 one
#             (scripts/check-packages.sh arm64, scripts/check-reproducible.sh arm64)
#   packages  linux-release .deb, the Windows .zip (and the arm64 .deb, for
#             the release folder): their contents and the
#             package validators (scripts/check-packages.sh), a second build
#             compared byte for byte (scripts/check-reproducible.sh), and
#             Authenticode signing (scripts/check-signing.sh)
#
# Installs the Debian 12 packages it needs when they are missing (apt-get,
# through sudo when not root; the list is in scripts/packages.sh). Ends with
# one line "N passed, M failed" counting the tests of every stage.
set -u -o pipefail
cd "$(dirname "$0")/.."

stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=(linux tsan windows fuzz arm64 packages)

source scripts/packages.sh
orvik_install_packages "${ORVIK_ALL_PACKAGES[@]}" || exit 2
# The arm64 packages (multiarch) only for the stages that build for arm64.
if [[ " ${stages[*]} " =~ " arm64 "|" packages " ]]; then
  orvik_install_packages "${ORVIK_ARM64_PACKAGES[@]}" ||
    echo "!!!! the arm64 packages could not be installed: the arm64 build will say which are missing"
fi

# A runtime folder of this run's own when the session has none: mktemp -d
# makes it private (mode 0700) and fails rather than take one that exists.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  XDG_RUNTIME_DIR=$(mktemp -d "${TMPDIR:-/tmp}/orvik-runtime.XXXXXX") || exit 2
  trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
fi
export XDG_RUNTIME_DIR
export QT_QPA_PLATFORM=offscreen
jobs=${ORVIK_JOBS:-2}

passed=0
failed=0
failed_stages=()

log() { printf '\n==== %s ====\n' "$*"; }

# Runs ctest, adds its counts to the totals.
count_ctest() {
  local out
  out=$(mktemp)
  "$@" 2>&1 | tee "$out"
  local status=${PIPESTATUS[0]}
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$out" | tail -1)
  if [ -n "$line" ]; then
    local total failures
    failures=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - failures))
    failed=$((failed + failures))
  elif [ "$status" -ne 0 ]; then
    failed=$((failed + 1))
  fi
  rm -f "$out"
  return "$status"
}

stage_failed() {
  failed_stages+=("$1")
  echo "!!!! stage $1 failed"
}

configure_build() {
  local preset=$1
  shift
  cmake --preset "$preset" "$@" >/dev/null && cmake --build --preset "$preset" -j "$jobs"
}

# The arm64 stage's packages, named with the commands that install them when
# some are missing (as with ORVIK_NO_INSTALL=1). Fails then.
arm64_packages_present() {
  local missing
  missing=$(orvik_missing_packages "${ORVIK_ARM64_PACKAGES[@]}" | tr '\n' ' ')
  [ -z "$missing" ] && return 0
  echo "The arm64 build needs Debian packages that are not installed: $missing"
  echo "Install them as root (scripts/packages.sh, ORVIK_ARM64_PACKAGES):"
  echo "  dpkg --add-architecture arm64; apt-get update; apt-get install --no-install-recommends $missing"
  return 1
}

for stage in "${stages[@]}"; do
  stage_start=$SECONDS
  case "$stage" in
    linux)
      log "linux-debug (ASan + UBSan)"
      if configure_build linux-debug; then
        count_ctest ctest --preset linux-debug -j "$jobs" || stage_failed linux
      else
        failed=$((failed + 1)); stage_failed linux
      fi
      ;;
    tsan)
      log "linux-tsan (ThreadSanitizer)"
      # setarch -R: TSan of gcc 12 fails to map its shadow memory with the
      # newer kernels' larger address-space randomisation.
      if configure_build linux-tsan; then
        count_ctest setarch "$(uname -m)" -R ctest --preset linux-tsan -j "$jobs" || stage_failed tsan
      else
        failed=$((failed + 1)); stage_failed tsan
      fi
      ;;
    windows)
      log "windows (MinGW-w64, tests under Wine)"
      if configure_build windows; then
        count_ctest scripts/wine-env.sh build/windows ctest --preset windows || stage_failed windows
        scripts/wine-env.sh --stop build/windows >/dev/null 2>&1 || true
      else
        failed=$((failed + 1)); stage_failed windows
      fi
      ;;
    fuzz)
      log "fuzz (libFuzzer, ${ORVIK_FUZZ_SECONDS:-60} s each)"
      if [ -x scripts/fuzz.sh ]; then
        if scripts/fuzz.sh "${ORVIK_FUZZ_SECONDS:-60}"; then
          passed=$((passed + 1))
        else
          failed=$((failed + 1)); stage_failed fuzz
        fi
      else
        echo "no fuzz script yet"
      fi
      ;;
    arm64)
      log "arm64 (cross-built; unit tests and the CLI end to end under qemu-user; .deb)"
      # No binfmt_misc is needed: CTest and the tests call the emulator
      # themselves (cmake/aarch64-linux-gnu.cmake).
      if arm64_packages_present && configure_build linux-arm64 &&
         cmake --build --preset linux-arm64 --target package; then
        count_ctest ctest --preset linux-arm64 -j "$jobs" || stage_failed arm64
        for check in check-packages check-reproducible; do
          log "arm64: $check arm64"
          if scripts/$check.sh arm64; then
            passed=$((passed + 1))
          else
            failed=$((failed + 1)); stage_failed "arm64 ($check)"
          fi
        done
      else
        failed=$((failed + 1)); stage_failed arm64
      fi
      ;;
    packages)
      log "packages (.deb and .zip: contents, validators, double build, signing)"
      # Out of reach of a release manager's signing configuration: the
      # packages (the arm64 .deb too, for the release folder) are built unsigned, and the checks sign only with the
      # throwaway keys they make.
      nosign=(scripts/without-signing.sh)
      if "${nosign[@]}" cmake --preset linux-release >/dev/null &&
         "${nosign[@]}" cmake --build --preset linux-release -j "$jobs" &&
         "${nosign[@]}" cmake --build --preset linux-release --target package &&
         "${nosign[@]}" cmake --preset windows >/dev/null &&
         "${nosign[@]}" cmake --build --preset windows -j "$jobs" &&
         "${nosign[@]}" cmake --build --preset windows --target package &&
         arm64_packages_present && "${nosign[@]}" cmake --preset linux-arm64 >/dev/null &&
         "${nosign[@]}" cmake --build --preset linux-arm64 -j "$jobs" --target package; then
        # Each check counts as one test.
        for check in check-packages check-reproducible check-signing; do
          log "packages: $check"
          if "${nosign[@]}" scripts/$check.sh; then
            passed=$((passed + 1))
          else
            failed=$((failed + 1)); stage_failed "packages ($check)"
          fi
        done
        scripts/wine-env.sh --stop build/windows >/dev/null 2>&1 || true
      else
        failed=$((failed + 1)); stage_failed packages
      fi
      ;;
    *)
      echo "unknown stage: $stage" >&2
      exit 2
      ;;
  esac
  echo "(stage $stage: $((SECONDS - stage_start)) s)"
done

echo
[ ${#failed_stages[@]} -gt 0 ] && echo "failed stages: ${failed_stages[*]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ ${#failed_stages[@]} -eq 0 ]
