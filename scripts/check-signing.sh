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
# - the signed programs still run under Wine: the CLI updates the emulated
#   device, and the windowed program passes the window test
#   (tests/wine/emulated_update_test.sh) on Xvfb.
set -u
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
mkdir "$scratch/unsigned" "$scratch/signed"
unzip -q "${zips[0]}" orvik-updater.exe orvik-updater-cli.exe -d "$scratch/unsigned" || exit 1
cp "$scratch"/unsigned/*.exe "$scratch/signed/"
programs=(orvik-updater.exe orvik-updater-cli.exe)

# No signing configuration at all, not even a signing.env file.
unset ORVIK_SIGN_CERT ORVIK_SIGN_KEY ORVIK_SIGN_PKCS12 ORVIK_SIGN_PASS_FILE ORVIK_SIGN_TIMESTAMP
export ORVIK_SIGN_ENV_FILE=$scratch/no-signing.env

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

for program in "${programs[@]}"; do
  echo "== osslsigncode verify $program"
  report=$(osslsigncode verify -in "$scratch/signed/$program" -CAfile "$scratch/cert.pem" 2>&1)
  status=$?
  echo "$report" | grep -E 'digest|Subject|verification|Succeeded|Failed'
  [ "$status" -eq 0 ] || fail "osslsigncode verify of $program (status $status)"
  echo "$report" | grep -q 'Subject: /CN=ORVIK throwaway test signing' || fail "no signature by the certificate on $program"
  current=$(echo "$report" | sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' | head -1)
  calculated=$(echo "$report" | sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p' | head -1)
  [ -n "$current" ] && [ "$current" = "$calculated" ] ||
    fail "the signed digest of $program ($current) is not the file's ($calculated)"

  # One byte changed in the code: the digest no longer matches.
  cp "$scratch/signed/$program" "$scratch/tampered.exe"
  printf '\x5a' | dd of="$scratch/tampered.exe" bs=1 seek=8192 conv=notrunc status=none
  osslsigncode verify -in "$scratch/tampered.exe" -CAfile "$scratch/cert.pem" >/dev/null 2>&1 &&
    fail "a changed $program still verified"

  rm -f "$scratch/removed.exe"
  osslsigncode remove-signature -in "$scratch/signed/$program" -out "$scratch/removed.exe" >/dev/null 2>&1
  cmp -s "$scratch/removed.exe" "$scratch/unsigned/$program" ||
    fail "removing the signature of $program did not give the unsigned program back"
done

echo "== the signed orvik-updater-cli.exe -Emulate under Wine"
output=$(cd "$scratch/signed" && "$root/scripts/wine-env.sh" "$root/build/windows" \
  timeout 120 wine ./orvik-updater-cli.exe -Emulate </dev/null 2>&1 | tr -d '\r')
status=$?
echo "$output" | tail -3
[ "$status" -eq 0 ] || fail "the signed orvik-updater-cli.exe ended with status $status"
echo "$output" | grep -q '^Update complete$' || fail "the signed orvik-updater-cli.exe did not say 'Update complete'"
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
