#!/bin/bash
# The station's systemd unit (packaging/systemd/orvik-station@.service):
#
#   packaging/station-service-test.sh PATH-TO-orvik-updater-cli
#
# 1. systemd-analyze verify finds nothing wrong with an instance of it (the
#    program's path put where the package installs it);
# 2. its ExecStart, read from the unit with the instance's specifiers and
#    environment filled in as systemd fills them, runs as an unprivileged
#    user with nothing but the unit's environment, over emulated units, and
#    SIGTERM while a unit is being updated lets that unit finish, then ends
#    the station within the unit's TimeoutStopSec with a status the unit
#    counts as success; its result lines are on standard output (the
#    journal), each unit's log in the LogsDirectory, the program's log in
#    the StateDirectory.
set -u -o pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$1
unit=$here/systemd/orvik-station@.service
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
chmod 0755 "$scratch"

# --- 1. systemd-analyze verify ----------------------------------------------
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$scratch/units" "$scratch/bin"
  cp "$program" "$scratch/bin/orvik-updater-cli"
  sed "s#/usr/bin/orvik-updater-cli#$scratch/bin/orvik-updater-cli#" "$unit" >"$scratch/units/orvik-station@line1.service"
  # Documentation's man page is the package's, not installed here.
  report=$(cd "$scratch/units" && SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no \
    "$scratch/units/orvik-station@line1.service" 2>&1)
  [ -z "$report" ] || fail "systemd-analyze verify: $report"
else
  echo "systemd-analyze is not installed: verify skipped"
fi

# --- 2. ExecStart as the unit runs it ---------------------------------------
value() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }
instance=line1
service_user=$(value User)
[ "$service_user" = orvik-station ] || fail "User=orvik-station, not '$service_user'"
for key in StateDirectory RuntimeDirectory LogsDirectory; do
  [ "$(value $key)" = "orvik-station/%i" ] || fail "$key=orvik-station/%i, not '$(value $key)'"
done
grep -qx 'EnvironmentFile=/etc/orvik-updater/station-%i.conf' "$unit" || fail "the instance's options file"
stop_timeout=$(value TimeoutStopSec)
stop_timeout=${stop_timeout%s}

# The folders systemd makes: %S (/var/lib), %L (/var/log), %t (/run).
state=$scratch/var/lib
logs=$scratch/var/log
runtime=$scratch/run
mkdir -p "$state/orvik-station/$instance" "$logs/orvik-station/$instance" "$runtime/orvik-station/$instance"
# The service's stand-in user: nobody when this runs as root, else this user.
run_as=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody "$state/orvik-station/$instance" "$logs/orvik-station/$instance" "$runtime/orvik-station/$instance"
  run_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
chmod 0750 "$state/orvik-station/$instance" "$logs/orvik-station/$instance"
chmod 0755 "$runtime/orvik-station/$instance"

# The instance's options file, as an engineer writes it: a demonstration
# station over an emulated unit.
conf=$scratch/station-$instance.conf
cat >"$conf" <<'CONF'
# A rehearsal without hardware.
ORVIK_STATION_OPTIONS=--no-mcu --station-name line-1 -Emulate:good/serial=A1
CONF

specifiers() {
  sed -e "s#%i#$instance#g" -e "s#%S#$state#g" -e "s#%L#$logs#g" -e "s#%t#$runtime#g" \
      -e "s#/usr/bin/orvik-updater-cli#$scratch/bin/orvik-updater-cli#g"
}
# Environment= lines, then the EnvironmentFile's assignments.
environment=(PATH=/usr/bin:/bin LANG=C.UTF-8)
read -ra assigned <<<"$(sed -n 's/^Environment=//p' "$unit" | specifiers)"
environment+=("${assigned[@]}")
while IFS= read -r line; do
  case $line in '#'* | '') continue ;; esac
  environment+=("$line")
done <"$conf"
# ExecStart: $NAME is split at blanks, as systemd does without quotes.
exec_start=$(value ExecStart | specifiers)
options=$(sed -n 's/^ORVIK_STATION_OPTIONS=//p' "$conf")
read -ra command <<<"${exec_start/\$ORVIK_STATION_OPTIONS/$options}"
[ -x "${command[0]}" ] || fail "ExecStart's program: ${command[0]}"

out=$scratch/journal
env -i "${environment[@]}" "${run_as[@]}" "${command[@]}" >"$out" 2>&1 </dev/null &
station=$!
# SIGTERM once the unit is being updated: its log has its first lines (an
# update without the MCU takes over a second).
for _ in $(seq 200); do
  [ -s "$logs/orvik-station/$instance/A1.log" ] && break
  sleep 0.05
done
grep -q 'Update complete' "$out" && fail "the unit was done before SIGTERM: the test is too slow"
kill -TERM "$station"
stopped_at=$SECONDS
wait "$station"
status=$?
(( SECONDS - stopped_at <= stop_timeout )) || fail "the station took longer than TimeoutStopSec to stop"
case " 0 $(value SuccessExitStatus) " in
  *" $status "*) ;;
  *) fail "exit status $status after SIGTERM, which the unit counts as a failure" ;;
esac
grep -qE '  serial A1  Update complete  ' "$out" || fail "the unit being updated at SIGTERM did not finish:
$(cat "$out")"
[ -s "$logs/orvik-station/$instance/A1.log" ] || fail "no unit log A1.log in the LogsDirectory: $(ls -R "$logs")"
# The program's folder is root's, as /usr/bin is: its log goes to the state
# folder. (Run as another user, the copy's folder is that user's own.)
if [ "$(id -u)" -eq 0 ]; then
  [ -s "$state/orvik-station/$instance/orvik-updater/orvik-updater-cli.log" ] ||
    fail "no program log in the StateDirectory: $(ls -R "$state")"
  [ "$(ls "$scratch/bin")" = orvik-updater-cli ] || fail "files beside the program: $(ls "$scratch/bin")"
fi

[ "$failures" -eq 0 ] || exit 1
echo "PASS"
