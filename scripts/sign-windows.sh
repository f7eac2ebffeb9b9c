#!/bin/bash
# Signs Windows programs with Authenticode (osslsigncode), in place:
#
#   scripts/sign-windows.sh FILE.exe...
#
# Signs only when a certificate is configured; otherwise it says so and
# leaves the files unsigned (the default, and what CI's packages are).
# The certificate and key are named by:
#
#   ORVIK_SIGN_CERT       the code-signing certificate: a file, PEM or DER
#                         (a PEM file may hold the chain after it), or a
#                         PKCS#11 URI of the certificate in the token
#   ORVIK_SIGN_KEY        its private key: a file, PEM or DER, or a PKCS#11
#                         URI (pkcs11:token=...;object=...;type=private) of
#                         the key in a hardware token or HSM
#   ORVIK_SIGN_PKCS12     instead of the two above: one .p12 / .pfx file
#   ORVIK_SIGN_PASS_FILE  optional: a file holding the key's password, or the
#                         token's PIN
#   ORVIK_SIGN_TIMESTAMP  optional: an RFC 3161 time-stamp server's URL, so
#                         that the signature stays valid after the
#                         certificate expires (needs the network)
#   ORVIK_SIGN_PKCS11_MODULE  with a PKCS#11 key: the token's PKCS#11 module
#                         (its vendor's library; SoftHSM2's is
#                         /usr/lib/softhsm/libsofthsm2.so)
#   ORVIK_SIGN_PKCS11_ENGINE  optional: OpenSSL's PKCS#11 engine (default:
#                         pkcs11.so in OpenSSL's engine folder, Debian's
#                         libengine-pkcs11-openssl)
#
# Variables not set in the environment are read from the file that
# ORVIK_SIGN_ENV_FILE names (default ~/.config/orvik-updater/signing.env,
# read when it exists). That file holds only NAME=value lines of the names
# above (blank lines and # comments aside); a value is taken as written,
# without expansion, a pair of quotes around it removed. It is read, never
# run, and refused unless it is a regular file (not a link) of the invoking
# user's own that nobody else may write. The signing time
# is the release's (scripts/source-date-epoch.sh).
#
# `cmake --build --preset windows --target package` calls this for the two
# programs it packs, so the same variables give a signed .zip.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

[ $# -gt 0 ] || { echo "usage: $0 FILE.exe..." >&2; exit 2; }

refuse() {
  echo "sign-windows: $*" >&2
  exit 2
}

readonly settings=(ORVIK_SIGN_CERT ORVIK_SIGN_KEY ORVIK_SIGN_PKCS12 ORVIK_SIGN_PASS_FILE ORVIK_SIGN_TIMESTAMP
                   ORVIK_SIGN_PKCS11_MODULE ORVIK_SIGN_PKCS11_ENGINE)

# read_settings FILE: sets each setting the file names that the environment
# does not.
read_settings() {
  local file=$1
  local mode owner kind
  # Someone who can change this file can choose the key and what is signed:
  # it must be the invoking user's own regular file that only they may write.
  # A link is refused rather than followed, since whoever owns the link's
  # folder or target could swap what it points to.
  [ ! -L "$file" ] || refuse "$file is a symbolic link: give the file itself"
  read -r mode owner kind < <(stat -c '%a %u %F' -- "$file") || refuse "cannot read $file"
  [ "$kind" = "regular file" ] || [ "$kind" = "regular empty file" ] || refuse "$file is not a regular file: refused"
  [ "$owner" = "$(id -u)" ] || refuse "$file belongs to user $owner, not to you ($(id -u)): refused"
  (( (8#$mode & 8#022) == 0 )) || refuse "$file may be written by others than its owner (mode $mode): refused"
  local number=0 line name value known
  while IFS= read -r line || [ -n "$line" ]; do
    number=$((number + 1))
    line=${line%$'\r'}
    [[ $line =~ ^[[:space:]]*(#.*)?$ ]] && continue
    [[ $line =~ ^[[:space:]]*([A-Za-z_][A-Za-z0-9_]*)=(.*)$ ]] || refuse "$file:$number: not a NAME=value line"
    name=${BASH_REMATCH[1]}
    value=${BASH_REMATCH[2]}
    known=0
    for setting in "${settings[@]}"; do [ "$name" = "$setting" ] && known=1; done
    [ "$known" = 1 ] || refuse "$file:$number: unknown name $name"
    if [[ $value =~ ^\"(.*)\"$ ]] || [[ $value =~ ^\'(.*)\'$ ]]; then
      value=${BASH_REMATCH[1]}
    fi
    # Taken as written: a "$HOME/..." would name no file. Say so rather than
    # fail later on a path that looks right.
    [[ $value == *'$'* || $value == *'`'* || $value == '~'* ]] &&
      refuse "$file:$number: $name is not expanded: write the value out in full"
    [ -n "${!name+set}" ] || printf -v "$name" '%s' "$value"
  done <"$file"
}

env_file=${ORVIK_SIGN_ENV_FILE:-${XDG_CONFIG_HOME:-$HOME/.config}/orvik-updater/signing.env}
if [ -e "$env_file" ] || [ -L "$env_file" ]; then read_settings "$env_file"; fi
cert=${ORVIK_SIGN_CERT:-}
key=${ORVIK_SIGN_KEY:-}
pkcs12=${ORVIK_SIGN_PKCS12:-}
pass_file=${ORVIK_SIGN_PASS_FILE:-}
timestamp=${ORVIK_SIGN_TIMESTAMP:-}
module=${ORVIK_SIGN_PKCS11_MODULE:-}
engine=${ORVIK_SIGN_PKCS11_ENGINE:-}

if [ -z "$cert$key$pkcs12" ]; then
  echo "sign-windows: no certificate configured (ORVIK_SIGN_CERT and ORVIK_SIGN_KEY, or ORVIK_SIGN_PKCS12): left unsigned"
  exit 0
fi

credentials=()
if [ -n "$pkcs12" ]; then
  [ -z "$cert$key" ] || refuse "give ORVIK_SIGN_PKCS12 or ORVIK_SIGN_CERT and ORVIK_SIGN_KEY, not both"
  [ -r "$pkcs12" ] || refuse "cannot read $pkcs12"
  credentials=(-pkcs12 "$pkcs12")
elif [[ $key == pkcs11:* ]]; then
  [ -n "$cert" ] || refuse "ORVIK_SIGN_CERT and ORVIK_SIGN_KEY go together"
  [ -n "$module" ] || refuse "a PKCS#11 key needs its token's module in ORVIK_SIGN_PKCS11_MODULE"
  [ -r "$module" ] || refuse "cannot read the PKCS#11 module $module"
  if [ -z "$engine" ]; then
    engine="$(openssl version -e 2>/dev/null | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so"
  fi
  [ -r "$engine" ] ||
    refuse "no OpenSSL PKCS#11 engine at $engine (apt-get install libengine-pkcs11-openssl, or set ORVIK_SIGN_PKCS11_ENGINE)"
  credentials=(-pkcs11engine "$engine" -pkcs11module "$module")
  if [[ $cert == pkcs11:* ]]; then
    credentials+=(-pkcs11cert "$cert")
  else
    [ -r "$cert" ] || refuse "cannot read $cert"
    credentials+=(-certs "$cert")
  fi
  credentials+=(-key "$key")
else
  [ -n "$cert" ] && [ -n "$key" ] || refuse "ORVIK_SIGN_CERT and ORVIK_SIGN_KEY go together"
  [[ $cert != pkcs11:* ]] || refuse "a certificate in a token goes with a key in a token (ORVIK_SIGN_KEY=pkcs11:...)"
  [ -r "$cert" ] || refuse "cannot read $cert"
  [ -r "$key" ] || refuse "cannot read $key"
  credentials=(-certs "$cert" -key "$key")
fi
if [ -n "$pass_file" ]; then
  [ -r "$pass_file" ] || refuse "cannot read $pass_file"
  credentials+=(-readpass "$pass_file")
fi
[ -z "$timestamp" ] || credentials+=(-ts "$timestamp")
command -v osslsigncode >/dev/null || refuse "osslsigncode is not installed (apt-get install osslsigncode)"

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
