#!/usr/bin/env bash
# The memory --history takes over a record of 1,000,000 runs, per form:
#
#   bench/history_rss.sh PATH-TO-orvik-updater-cli [DIR] [RUNS]
#
# Writes each record (JSON lines, CSV, SQLite; PostgreSQL when
# ORVIK_BENCH_PG_URI names a server, e.g. one started by
# tests/record/pg_server.sh), then runs `--history --json` on it under
# /usr/bin/time -v and prints the elapsed time and the peak resident set.
# A figure for the docs, not a timed test.
set -euo pipefail
cli=$1
dir=${2:-$(mktemp -d)}
runs=${3:-1000000}
mkdir -p "$dir"

python3 - "$dir" "$runs" <<'PY'
import json, sqlite3, sys
dir, runs = sys.argv[1], int(sys.argv[2])
fields = ["time", "host", "program_version", "path", "serial", "mcu", "usb", "mcu_version", "usb_version",
          "mcu_checksum", "usb_checksum", "status", "failure", "message", "duration_ms", "station", "operator",
          "port", "slot", "run_id", "state", "time_utc"]
def row(i, state):
    return {"time": "2026-12-08T09:41:05+01:00", "host": "line-3", "program_version": "2.0.0.6",
            "path": "/dev/hidraw%d" % (i % 8), "serial": "SN%08d" % i, "mcu": True, "usb": True,
            "mcu_version": "Y1-3", "usb_version": "Y1-1", "mcu_checksum": "0x02ae", "usb_checksum": "0x63ed",
            "status": 0 if state == "finished" else None, "failure": 0,
            "message": "Update complete" if state == "finished" else "", "duration_ms": 5021,
            "station": "line-3", "operator": "", "port": "1-1.%d" % (i % 8), "slot": "", "run_id": "%032x" % i,
            "state": state, "time_utc": "2026-12-08T08:41:05Z"}
def cell(v):
    if v is True: return "true"
    if v is False: return "false"
    if v is None: return ""
    if isinstance(v, int): return str(v)
    return '"' + v.replace('"', '""') + '"'
with open(dir + "/h.jsonl", "w") as j, open(dir + "/h.csv", "w") as c:
    c.write(",".join(fields) + "\n")
    for i in range(runs):
        for state in ("started", "finished"):
            r = row(i, state)
            j.write(json.dumps(r, separators=(",", ":")) + "\n")
            c.write(",".join(cell(r[f]) for f in fields) + "\n")
PY
# SQLite: the program makes the table; the rows are added in one statement.
"$cli" --station=1 --no-mcu --record "$dir/h.db" -Emulate:good/leave=100 >/dev/null 2>&1 || true
sqlite3 "$dir/h.db" "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $runs)
  INSERT INTO units (run_id, state, time, host, station, operator, program_version, path, serial, port, slot, mcu,
    usb, mcu_version, usb_version, mcu_checksum, usb_checksum, status, failure, message, duration_ms, time_utc,
    finished_utc, rev)
  SELECT printf('%032x', i), 'finished', '2026-12-08T09:41:05+01:00', 'line-3', 'line-3', '', '2.0.0.6',
    '/dev/hidraw' || (i % 8), CAST(printf('SN%08d', i) AS BLOB), '', '', 1, 1, 'Y1-3', 'Y1-1', '0x02ae', '0x63ed',
    0, 0, 'Update complete', 5021, '2026-12-08T08:41:05Z', '2026-12-08T08:41:10Z', i + 1 FROM n;"
records=("$dir/h.jsonl" "$dir/h.csv" "$dir/h.db")
if [ -n "${ORVIK_BENCH_PG_URI:-}" ]; then
  "$cli" --station=1 --no-mcu --record "$ORVIK_BENCH_PG_URI" -Emulate:good/leave=100 >/dev/null 2>&1 || true
  psql -X -q -d "$ORVIK_BENCH_PG_URI" -c "INSERT INTO units (run_id, state, time, host, station, operator,
    program_version, path, serial, port, slot, mcu, usb, mcu_version, usb_version, mcu_checksum, usb_checksum,
    status, failure, message, duration_ms, time_utc, finished_utc, rev)
    SELECT md5(i::text), 'finished', '2026-12-08T09:41:05+01:00', 'line-3', 'line-3', '', '2.0.0.6',
    '/dev/hidraw' || (i % 8), convert_to('SN' || lpad(i::text, 8, '0'), 'UTF8'), '', '', true, true, 'Y1-3',
    'Y1-1', '0x02ae', '0x63ed', 0, 0, 'Update complete', 5021, '2026-12-08T08:41:05Z', '2026-12-08T08:41:10Z',
    nextval('units_rev_seq') FROM generate_series(1, $runs) AS i"
  records+=("$ORVIK_BENCH_PG_URI")
fi
for record in "${records[@]}"; do
  /usr/bin/time -v "$cli" --history --record "$record" --json 2>"$dir/time.txt" | wc -l >"$dir/lines.txt"
  printf '%-12s %s runs: %s s, peak RSS %s kB\n' "$(basename "${record%%\?*}")" "$(cat "$dir/lines.txt")" \
    "$(grep 'Elapsed (wall clock)' "$dir/time.txt" | awk '{print $NF}')" \
    "$(grep 'Maximum resident set size' "$dir/time.txt" | awk '{print $NF}')"
done
