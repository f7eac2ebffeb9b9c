#!/bin/bash
# Runs a command out of reach of the release manager's signing configuration:
#
#   scripts/without-signing.sh COMMAND [ARG...]
#
# Every ORVIK_SIGN_* variable (ORVIK_SIGN_ENV_FILE among them) is removed
# from the environment, and XDG_CONFIG_HOME points at an empty private folder
# (removed afterwards), so that scripts/sign-windows.sh finds no signing.env
# either. The test command runs its packages stage this way: the tests sign
# only with the throwaway keys they make themselves, and never ask for a
# token or a time-stamp server. Exits with the command's status.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARG...]" >&2; exit 2; }

for name in $(compgen -e); do
  [[ $name != ORVIK_SIGN_* ]] || unset "$name"
done
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
export XDG_CONFIG_HOME=$config
status=0
"$@" || status=$?
exit "$status"
