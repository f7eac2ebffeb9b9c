#!/bin/bash
# Checks the Authenticode signing of the Windows programs with a throwaway
# certificate, made here and deleted afterwards:
#
#   scripts/check-signing.sh
#
# Uses the programs of build/windows/orvik-updater-*-win64.zip (made by
# `cmake --build --preset windows --target package`):
# - without a certificate scripts/sign-windows.sh leaves them unchanged, and
#   half a configuration (a certificate without its key) is refused;
# - with one, osslsigncode verify finds a signature by that certificate on
#   both, whose digest matches the file's; a changed byte makes it fail;
# - removing the signature gives the unsigned bytes back;
# - the same holds for a second throwaway key kept in a SoftHSM2 token that
#   this check creates (in its own folder, named by SOFTHSM2_CONF) and
#   removes, named by a PKCS#11 URI in a signing.env file;
# - a signing.env file that others may write, that is a link or another
#   user's, or that holds anything but NAME=value lines of the signing
#   settings, is refused, and nothing in it runs;
# - under scripts/without-signing.sh (how the test command builds and checks
#   the packages) no configuration signs: not the environment's, not the
#   file ORVIK_SIGN_ENV_FILE names, not the one in the home folder;
# - packaging/make-release.sh refuses unsigned programs unless --unsigned,
#   accepts signed ones, and never writes into a folder that holds something;
# - the signed programs still run under Wine: the CLI updates the emulated
#   device, and the windowed program passes the window test
#   (tests/wine/emulated_update_test.sh) on Xvfb.
set -u -o pipefail
cd "$(dirname "$0")/.."
root=$PWD

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

zips=(build/windows/orvik-updater-*-win64.zip)
[ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] ||
  { echo "check-signing: no single build/windows/orvik-updater-*-win64.zip: build --target package" >&2; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/orvik-signing.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/unsigned" "$scratch/signed" "$scratch/token-signed"
unzip -q "${zips[0]}" orvik-updater.exe orvik-updater-cli.exe -d "$scratch/unsigned" || exit 1
cp "$scratch"/unsigned/*.exe "$scratch/signed/"
cp "$scratch"/unsigned/*.exe "$scratch/token-signed/"
programs=(orvik-updater.exe orvik-updater-cli.exe)

# No signing configuration at all, not even a signing.env file.
unset ORVIK_SIGN_CERT ORVIK_SIGN_KEY ORVIK_SIGN_PKCS12 ORVIK_SIGN_PASS_FILE ORVIK_SIGN_TIMESTAMP \
  ORVIK_SIGN_PKCS11_MODULE ORVIK_SIGN_PKCS11_ENGINE
export ORVIK_SIGN_ENV_FILE=$scratch/no-signing.env

# verify_signed DIR SUBJECT CERT: both programs in DIR carry a signature by
# SUBJECT whose digest is the file's, a changed byte breaks it, and removing
# it gives the unsigned program back.
verify_signed() {
  local dir=$1 subject=$2 cert=$3
  local program report status current calculated
  for program in "${programs[@]}"; do
    echo "== osslsigncode verify $dir/$program"
    report=$(osslsigncode verify -in "$dir/$program" -CAfile "$cert" 2>&1)
    status=$?
    echo "$report" | grep -E 'digest|Subject|verification|Succeeded|Failed'
    [ "$status" -eq 0 ] || fail "osslsigncode verify of $program (status $status)"
    echo "$report" | grep -q "Subject: /CN=$subject" || fail "no signature by $subject on $program"
    current=$(echo "$report" | sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' | head -1)
    calculated=$(echo "$report" | sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p' | head -1)
    [ -n "$current" ] && [ "$current" = "$calculated" ] ||
      fail "the signed digest of $program ($current) is not the file's ($calculated)"

    # One byte changed in the code: the digest no longer matches.
    cp "$dir/$program" "$scratch/tampered.exe"
    printf '\x5a' | dd of="$scratch/tampered.exe" bs=1 seek=8192 conv=notrunc status=none
    osslsigncode verify -in "$scratch/tampered.exe" -CAfile "$cert" >/dev/null 2>&1 &&
      fail "a changed $program still verified"

    rm -f "$scratch/removed.exe"
    osslsigncode remove-signature -in "$dir/$program" -out "$scratch/removed.exe" >/dev/null 2>&1
    cmp -s "$scratch/removed.exe" "$scratch/unsigned/$program" ||
      fail "removing the signature of $program did not give the unsigned program back"
  done
}

echo "== unsigned by default"
scripts/sign-windows.sh "$scratch"/signed/*.exe || fail "sign-windows.sh without a certificate failed"
for program in "${programs[@]}"; do
  cmp -s "$scratch/unsigned/$program" "$scratch/signed/$program" || fail "$program changed without a certificate"
done

echo "== a throwaway certificate"
openssl req -x509 -newkey rsa:3072 -nodes -days 2 -subj "/CN=ORVIK throwaway test signing" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$scratch/key.pem" -out "$scratch/cert.pem" 2>/dev/null ||
  { echo "check-signing: openssl could not make a certificate" >&2; exit 1; }

ORVIK_SIGN_CERT=$scratch/cert.pem scripts/sign-windows.sh "$scratch/signed/orvik-updater.exe" >/dev/null 2>&1
[ $? -eq 2 ] || fail "a certificate without its key was not refused"

echo "== signing"
ORVIK_SIGN_CERT=$scratch/cert.pem ORVIK_SIGN_KEY=$scratch/key.pem \
  scripts/sign-windows.sh "$scratch"/signed/*.exe || fail "sign-windows.sh failed"

verify_signed "$scratch/signed" "ORVIK throwaway test signing" "$scratch/cert.pem"

echo "== signing.env is read, never run"
# settings FILE MODE LINE...: a signing.env with these lines and this mode.
settings() {
  local file=$1 mode=$2
  shift 2
  printf '%s\n' "$@" >"$file" && chmod "$mode" "$file"
}
ran=$scratch/ran
good=("ORVIK_SIGN_CERT=$scratch/cert.pem" "ORVIK_SIGN_KEY=$scratch/key.pem")
# Each case adds one line to a good configuration, or gives it a mode that
# lets others write it: refused (status 2), nothing run, nothing signed.
# The last field says where the file is: "own" (the file itself), "link" (a
# symbolic link to a good file of one's own), "foreign" (another user's file,
# mode 0644; only where this check can give a file away, as root).
cases=(
  "group-writable|620||own"
  "others-writable|602||own"
  "a command|600|touch $ran|own"
  "a command substitution|600|ORVIK_SIGN_TIMESTAMP=\$(touch $ran)|own"
  "a variable to expand|600|ORVIK_SIGN_PASS_FILE=\$HOME/pass|own"
  "an unknown name|600|PATH=$scratch|own"
  "a symbolic link|600||link"
  "another user's file|644||foreign"
)
for case in "${cases[@]}"; do
  IFS='|' read -r name mode line where <<<"$case"
  [ "$where" = foreign ] && [ "$(id -u)" -ne 0 ] && continue
  cp "$scratch/unsigned/orvik-updater-cli.exe" "$scratch/env-test.exe"
  rm -f "$scratch/case.env" "$scratch/target.env"
  case $where in
    own) settings "$scratch/case.env" "$mode" "${good[@]}" "$line" ;;
    link) settings "$scratch/target.env" "$mode" "${good[@]}" && ln -s "$scratch/target.env" "$scratch/case.env" ;;
    foreign) settings "$scratch/case.env" "$mode" "${good[@]}" && chown nobody "$scratch/case.env" ;;
  esac
  ORVIK_SIGN_ENV_FILE=$scratch/case.env scripts/sign-windows.sh "$scratch/env-test.exe" >/dev/null 2>&1
  status=$?
  [ "$status" -eq 2 ] || fail "a signing.env with $name was not refused (status $status)"
  [ -e "$ran" ] && fail "a signing.env with $name ran a command"
  cmp -s "$scratch/env-test.exe" "$scratch/unsigned/orvik-updater-cli.exe" || fail "a signing.env with $name signed"
  rm -f "$ran"
done
settings "$scratch/good.env" 600 "# the owner's own settings" "${good[@]}"
ORVIK_SIGN_ENV_FILE=$scratch/good.env scripts/sign-windows.sh "$scratch/env-test.exe" >/dev/null ||
  fail "a plain signing.env of the owner's was not used"
osslsigncode verify -in "$scratch/env-test.exe" -CAfile "$scratch/cert.pem" >/dev/null 2>&1 ||
  fail "signing through a plain signing.env gave no valid signature"

echo "== a key in a SoftHSM2 token, named by a PKCS#11 URI"
module=""
for candidate in /usr/lib/softhsm/libsofthsm2.so /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so; do
  if [ -r "$candidate" ]; then
    module=$candidate
    break
  fi
done
if [ -z "$module" ] || ! command -v softhsm2-util >/dev/null; then
  fail "SoftHSM2 is not installed (apt-get install softhsm2 libengine-pkcs11-openssl)"
else
  # A token store of this check's own, removed with the scratch folder.
  mkdir "$scratch/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$scratch/tokens" \
    >"$scratch/softhsm2.conf"
  export SOFTHSM2_CONF=$scratch/softhsm2.conf
  pin=$(openssl rand -hex 8)
  printf '%s' "$pin" >"$scratch/pin"
  openssl req -x509 -newkey rsa:3072 -nodes -days 2 -subj "/CN=ORVIK throwaway token signing" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$scratch/token-key.pem" -out "$scratch/token-cert.pem" \
    2>/dev/null || fail "openssl could not make the token's certificate"
  openssl pkcs8 -topk8 -nocrypt -in "$scratch/token-key.pem" -out "$scratch/token-key8.pem" &&
    softhsm2-util --init-token --free --label orvik-check --so-pin "$(openssl rand -hex 8)" --pin "$pin" >/dev/null &&
    softhsm2-util --import "$scratch/token-key8.pem" --token orvik-check --label codesign --id 01 --pin "$pin" \
      >/dev/null || fail "could not put the throwaway key into a SoftHSM2 token"
  # Only the token holds the key from here on.
  rm -f "$scratch/token-key.pem" "$scratch/token-key8.pem"
  settings "$scratch/token.env" 600 \
    "ORVIK_SIGN_CERT=$scratch/token-cert.pem" \
    "ORVIK_SIGN_KEY=pkcs11:token=orvik-check;object=codesign;type=private" \
    "ORVIK_SIGN_PKCS11_MODULE=$module" \
    "ORVIK_SIGN_PASS_FILE=$scratch/pin"
  ORVIK_SIGN_ENV_FILE=$scratch/token.env scripts/sign-windows.sh "$scratch"/token-signed/*.exe ||
    fail "sign-windows.sh with the key in the token failed"
  verify_signed "$scratch/token-signed" "ORVIK throwaway token signing" "$scratch/token-cert.pem"
  unset SOFTHSM2_CONF
fi

echo "== no signing under scripts/without-signing.sh"
# Each case is a configuration that signs when used directly; under
# scripts/without-signing.sh none of them may touch the program.
mkdir -p "$scratch/home/.config/orvik-updater" "$scratch/xdg/orvik-updater"
cp "$scratch/good.env" "$scratch/home/.config/orvik-updater/signing.env"
cp "$scratch/good.env" "$scratch/xdg/orvik-updater/signing.env"
nosign_cases=(
  "ORVIK_SIGN_ENV_FILE|ORVIK_SIGN_ENV_FILE=$scratch/good.env"
  "ORVIK_SIGN_CERT and ORVIK_SIGN_KEY|ORVIK_SIGN_CERT=$scratch/cert.pem ORVIK_SIGN_KEY=$scratch/key.pem"
  "signing.env in the home folder|HOME=$scratch/home"
  "signing.env in XDG_CONFIG_HOME|XDG_CONFIG_HOME=$scratch/xdg"
)
for case in "${nosign_cases[@]}"; do
  IFS='|' read -r name assignments <<<"$case"
  cp "$scratch/unsigned/orvik-updater-cli.exe" "$scratch/env-test.exe"
  # shellcheck disable=SC2086  # the assignments hold no blanks
  env -u XDG_CONFIG_HOME -u ORVIK_SIGN_ENV_FILE $assignments scripts/sign-windows.sh "$scratch/env-test.exe" >/dev/null 2>&1 &&
    ! cmp -s "$scratch/env-test.exe" "$scratch/unsigned/orvik-updater-cli.exe" ||
    fail "the configuration by $name does not sign by itself: the case proves nothing"
  cp "$scratch/unsigned/orvik-updater-cli.exe" "$scratch/env-test.exe"
  # shellcheck disable=SC2086
  env -u XDG_CONFIG_HOME -u ORVIK_SIGN_ENV_FILE $assignments scripts/without-signing.sh scripts/sign-windows.sh "$scratch/env-test.exe" \
    >/dev/null 2>&1 || fail "sign-windows.sh under without-signing.sh with $name failed"
  cmp -s "$scratch/env-test.exe" "$scratch/unsigned/orvik-updater-cli.exe" ||
    fail "the configuration by $name signed under without-signing.sh"
done

echo "== packaging/make-release.sh"
# A build folder of packages: the .zip with the programs of a folder, and
# stand-in .debs for amd64 and arm64 (make-release.sh only copies them).
# fake_build DIR PROGRAMS: makes DIR/linux-release, DIR/linux-arm64 and DIR/windows.
fake_build() {
  local dir=$1 programs=$2
  rm -rf "$dir"
  mkdir -p "$dir/linux-release" "$dir/linux-arm64" "$dir/windows" "$dir/zip"
  echo "stand-in" >"$dir/linux-release/orvik-updater_9.9_amd64.deb"
  echo "stand-in" >"$dir/linux-arm64/orvik-updater_9.9_arm64.deb"
  cp "$programs"/orvik-updater.exe "$programs"/orvik-updater-cli.exe "$dir/zip/"
  (cd "$dir/zip" && sha256sum orvik-updater-cli.exe orvik-updater.exe >SHA256SUMS &&
    zip -q -X "$dir/windows/orvik-updater-9.9-win64.zip" SHA256SUMS orvik-updater-cli.exe orvik-updater.exe)
}
fake_build "$scratch/build-unsigned" "$scratch/unsigned"
fake_build "$scratch/build-signed" "$scratch/signed"
mkdir "$scratch/releases"
echo "an earlier release" >"$scratch/releases/earlier.txt"
touch "$scratch/a-file"
# name|build|arguments|expected status|expected text in the output|folder
release_cases=(
  "unsigned, refused|build-unsigned||1|no valid signature|new-1"
  "unsigned with --unsigned|build-unsigned|--unsigned|0|UNSIGNED|new-2"
  "signed, its certificate given|build-signed|--cafile $scratch/cert.pem|0|signed and verified|new-3"
  "signed by an unknown certificate|build-signed||1|no valid signature|new-4"
  "into a folder that holds something|build-unsigned|--unsigned|1|is not empty|releases"
  "onto a file|build-unsigned|--unsigned|1|not a folder|a-file"
)
for case in "${release_cases[@]}"; do
  IFS='|' read -r name build arguments expected text folder <<<"$case"
  # shellcheck disable=SC2086  # the arguments hold no blanks
  output=$(ORVIK_BUILD_DIR=$scratch/$build packaging/make-release.sh $arguments "$scratch/$folder" 2>&1)
  status=$?
  [ "$status" -eq "$expected" ] || fail "make-release.sh, $name: status $status, not $expected: $output"
  grep -qF -- "$text" <<<"$output" || fail "make-release.sh, $name: no '$text' in: $output"
  if [ "$expected" -eq 0 ]; then
    (cd "$scratch/$folder" && sha256sum --quiet -c SHA256SUMS) || fail "make-release.sh, $name: a bad SHA256SUMS"
  elif [[ $folder == new-* ]] && [ -e "$scratch/$folder" ]; then
    fail "make-release.sh, $name: made $folder although it refused"
  fi
done
[ "$(ls -A "$scratch/releases")" = earlier.txt ] && [ "$(cat "$scratch/releases/earlier.txt")" = "an earlier release" ] ||
  fail "make-release.sh changed a folder that held an earlier release: $(ls -A "$scratch/releases")"

echo "== judging a CLI run"
# cli_run_ok OUTPUT-FILE STATUS: the run ended with status 0 and said
# "Update complete" on a line of its own (Windows line ends allowed).
cli_run_ok() {
  [ "$2" -eq 0 ] && tr -d '\r' <"$1" | grep -q '^Update complete$'
}
# The judgement itself, on stand-in runs: only status 0 with the text passes.
judge_cases=(
  "says it and exits 0|printf 'Update complete\\r\\n'; exit 0|0"
  "says it and exits 3|printf 'Update complete\\r\\n'; exit 3|1"
  "exits 0 silently|exit 0|1"
)
for case in "${judge_cases[@]}"; do
  IFS='|' read -r name script expected <<<"$case"
  bash -c "$script" >"$scratch/cli.out" 2>&1
  status=$?
  cli_run_ok "$scratch/cli.out" "$status"
  [ $? -eq "$expected" ] || fail "a stand-in CLI that $name was judged wrongly"
done

echo "== the signed orvik-updater-cli.exe -Emulate under Wine"
# The output goes to a file, so that the status is Wine's, not a filter's.
(cd "$scratch/signed" && "$root/scripts/wine-env.sh" "$root/build/windows" \
  timeout 120 wine ./orvik-updater-cli.exe -Emulate </dev/null >"$scratch/cli.out" 2>&1)
status=$?
tr -d '\r' <"$scratch/cli.out" | tail -3
[ "$status" -eq 0 ] || fail "the signed orvik-updater-cli.exe ended with status $status"
cli_run_ok "$scratch/cli.out" "$status" || fail "the signed orvik-updater-cli.exe did not say 'Update complete'"
scripts/wine-env.sh --stop build/windows >/dev/null 2>&1

echo "== the window test on the signed orvik-updater.exe"
ORVIK_UPDATER_EXE=$scratch/signed/orvik-updater.exe \
ORVIK_WINE_GUI_DIR=$root/build/windows/wine-gui \
ORVIK_ARTIFACTS_DIR=$root/build/windows/artifacts/signed \
  bash tests/wine/emulated_update_test.sh
status=$?
[ "$status" -eq 0 ] || fail "the window test on the signed orvik-updater.exe (status $status)"

if [ "$failures" -ne 0 ]; then
  echo "check-signing: $failures problem(s)" >&2
  exit 1
fi
echo "check-signing: both programs signed, verified, and running"
