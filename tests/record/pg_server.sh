#!/usr/bin/env bash
# A private PostgreSQL server for the record's tests, in a folder of its own,
# listening on a Unix socket there (and, with "tls", on 127.0.0.1 with a
# throwaway certificate for "localhost").
#
#   pg_server.sh start DIR [tls]   prints nothing; DIR/uri holds the record URI,
#                                  DIR/tcp-uri the TLS one (with "tls")
#   pg_server.sh stop DIR [immediate]
#   pg_server.sh restart DIR
#
# The server refuses to run as root: as root it runs as "nobody". Exits 77
# (skipped) when the PostgreSQL server programs are not installed.
set -euo pipefail

action=$1
dir=$2
bin=
for candidate in /usr/lib/postgresql/*/bin; do
  [ -x "$candidate/pg_ctl" ] && bin=$candidate
done
if [ -z "$bin" ]; then
  command -v pg_ctl >/dev/null 2>&1 || { echo "PostgreSQL server programs not installed" >&2; exit 77; }
  bin=$(dirname "$(command -v pg_ctl)")
fi

as_server() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u nobody -- "$@"
  else
    "$@"
  fi
}

case $action in
  start)
    mode=${3:-}
    mkdir -p "$dir/data" "$dir/socket"
    chmod 755 "$dir"
    [ "$(id -u)" -eq 0 ] && chown -R nobody "$dir/data" "$dir/socket"
    chmod 700 "$dir/data"
    as_server "$bin/initdb" -D "$dir/data" --auth=trust -U orvik -E UTF8 --locale=C >"$dir/initdb.log" 2>&1
    listen="''"
    if [ "$mode" = tls ]; then
      # A throwaway authority and a server certificate for localhost.
      openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=orvik test root" \
        -keyout "$dir/ca.key" -out "$dir/ca.crt" >/dev/null 2>&1
      openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout "$dir/data/server.key" \
        -out "$dir/server.csr" >/dev/null 2>&1
      printf 'subjectAltName=DNS:localhost\n' >"$dir/san.ext"
      openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" -CAcreateserial \
        -days 2 -extfile "$dir/san.ext" -out "$dir/data/server.crt" >/dev/null 2>&1
      chmod 600 "$dir/data/server.key"
      [ "$(id -u)" -eq 0 ] && chown nobody "$dir/data/server.key" "$dir/data/server.crt"
      chmod 644 "$dir/ca.crt"
      port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
      listen="127.0.0.1"
      printf 'ssl = on\n' >>"$dir/data/postgresql.conf"
      printf 'hostssl all all 127.0.0.1/32 trust\n' >"$dir/data/pg_hba.conf"
      printf 'local all all trust\n' >>"$dir/data/pg_hba.conf"
      echo "postgresql://orvik@localhost:$port/orvik?sslmode=verify-full&sslrootcert=$dir/ca.crt" >"$dir/tcp-uri"
      echo "$port" >"$dir/port"
    fi
    port=$(cat "$dir/port" 2>/dev/null || echo 5432)
    echo "-k $dir/socket -c listen_addresses=$listen -p $port" >"$dir/options"
    as_server "$bin/pg_ctl" -D "$dir/data" -l "$dir/socket/server.log" -w -t 60 -o "$(cat "$dir/options")" start >/dev/null
    as_server "$bin/createdb" -h "$dir/socket" -p "$port" -U orvik orvik
    echo "postgresql:///orvik?host=$dir/socket&port=$port&user=orvik" >"$dir/uri"
    ;;
  stop)
    as_server "$bin/pg_ctl" -D "$dir/data" -m "${3:-fast}" -w stop >/dev/null 2>&1 || true
    ;;
  restart)
    as_server "$bin/pg_ctl" -D "$dir/data" -l "$dir/socket/server.log" -w -t 60 -o "$(cat "$dir/options")" start >/dev/null
    ;;
  *)
    echo "usage: $0 start|stop|restart DIR" >&2
    exit 2
    ;;
esac
