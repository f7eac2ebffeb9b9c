#!/bin/bash
# Signs Windows programs with Authenticode (osslsigncode), in place:
#
#   scripts/sign-windows.sh FILE.exe...
#
# Signs only when a certificate is configured; otherwise it says so and
# leaves the files unsigned (the default, and what CI's packages are).
# The certificate and key are files outside the source tree, named by:
#
#   ORVIK_SIGN_CERT       the code-signing certificate, PEM or DER (a PEM file
#                         may hold the chain after it)
#   ORVIK_SIGN_KEY        its private key, PEM or DER
#   ORVIK_SIGN_PKCS12     instead of the two above: one .p12 / .pfx file
#   ORVIK_SIGN_PASS_FILE  optional: a file holding the key's password
#   ORVIK_SIGN_TIMESTAMP  optional: an RFC 3161 time-stamp server's URL, so
#                         that the signature stays valid after the
#                         certificate expires (needs the network)
#
# or by a file of such assignments named by ORVIK_SIGN_ENV_FILE (default
# ~/.config/orvik-updater/signing.env, read when it exists). The signing
# time is the release's (scripts/source-date-epoch.sh).
#
# `cmake --build --preset windows --target package` calls this for the two
# programs it packs, so the same variables give a signed .zip.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

[ $# -gt 0 ] || { echo "usage: $0 FILE.exe..." >&2; exit 2; }

env_file=${ORVIK_SIGN_ENV_FILE:-${XDG_CONFIG_HOME:-$HOME/.config}/orvik-updater/signing.env}
if [ -f "$env_file" ]; then
  # shellcheck source=/dev/null
  source "$env_file"
fi
cert=${ORVIK_SIGN_CERT:-}
key=${ORVIK_SIGN_KEY:-}
pkcs12=${ORVIK_SIGN_PKCS12:-}
pass_file=${ORVIK_SIGN_PASS_FILE:-}
timestamp=${ORVIK_SIGN_TIMESTAMP:-}

if [ -z "$cert$key$pkcs12" ]; then
  echo "sign-windows: no certificate configured (ORVIK_SIGN_CERT and ORVIK_SIGN_KEY, or ORVIK_SIGN_PKCS12): left unsigned"
  exit 0
fi

credentials=()
if [ -n "$pkcs12" ]; then
  [ -z "$cert$key" ] || { echo "sign-windows: give ORVIK_SIGN_PKCS12 or ORVIK_SIGN_CERT and ORVIK_SIGN_KEY, not both" >&2; exit 2; }
  [ -r "$pkcs12" ] || { echo "sign-windows: cannot read $pkcs12" >&2; exit 2; }
  credentials=(-pkcs12 "$pkcs12")
else
  [ -n "$cert" ] && [ -n "$key" ] || { echo "sign-windows: ORVIK_SIGN_CERT and ORVIK_SIGN_KEY go together" >&2; exit 2; }
  [ -r "$cert" ] || { echo "sign-windows: cannot read $cert" >&2; exit 2; }
  [ -r "$key" ] || { echo "sign-windows: cannot read $key" >&2; exit 2; }
  credentials=(-certs "$cert" -key "$key")
fi
if [ -n "$pass_file" ]; then
  [ -r "$pass_file" ] || { echo "sign-windows: cannot read $pass_file" >&2; exit 2; }
  credentials+=(-readpass "$pass_file")
fi
[ -z "$timestamp" ] || credentials+=(-ts "$timestamp")
command -v osslsigncode >/dev/null || { echo "sign-windows: osslsigncode is not installed (apt-get install osslsigncode)" >&2; exit 2; }

epoch=$("$here/source-date-epoch.sh")
for file in "$@"; do
  # osslsigncode does not overwrite: a fresh name beside the file.
  signed=$file.signing.$$
  rm -f "$signed"
  if ! osslsigncode sign "${credentials[@]}" -h sha256 -n "ORVIK Updater" -time "$epoch" \
         -in "$file" -out "$signed" >/dev/null; then
    rm -f "$signed"
    echo "sign-windows: signing $file failed" >&2
    exit 1
  fi
  chmod --reference="$file" "$signed"
  mv "$signed" "$file"
  echo "sign-windows: signed $file"
done
