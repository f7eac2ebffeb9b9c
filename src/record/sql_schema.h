// The table both database back ends keep, its statements, and its columns in
// one order.
#pragma once

namespace orvik::record {

// PRAGMA user_version of an SQLite record; a newer one is refused.
inline constexpr int kSchemaVersion = 1;

// The columns written per run, in the order the statements bind them.
inline constexpr char kColumns[] =
    "run_id, state, time, host, station, operator, program_version, path, serial, port, slot, mcu, usb, "
    "mcu_version, usb_version, mcu_checksum, usb_checksum, status, failure, message, duration_ms";
inline constexpr int kColumnCount = 21;

// The table on a PostgreSQL server (docs/record-server.sql holds the same).
inline constexpr char kPostgresCreate[] =
    "CREATE TABLE IF NOT EXISTS units ("
    " id BIGSERIAL PRIMARY KEY,"
    " run_id TEXT NOT NULL UNIQUE,"
    " state TEXT NOT NULL CHECK (state IN ('started', 'finished')),"
    " time TEXT NOT NULL, host TEXT NOT NULL, station TEXT NOT NULL, operator TEXT NOT NULL,"
    " program_version TEXT NOT NULL, path TEXT NOT NULL, serial BYTEA NOT NULL, port TEXT NOT NULL,"
    " slot TEXT NOT NULL, mcu BOOLEAN NOT NULL, usb BOOLEAN NOT NULL, mcu_version TEXT NOT NULL,"
    " usb_version TEXT NOT NULL, mcu_checksum TEXT NOT NULL, usb_checksum TEXT NOT NULL,"
    " status INTEGER NOT NULL, failure INTEGER NOT NULL, message TEXT NOT NULL, duration_ms BIGINT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS units_serial ON units (serial, id);";

// A row, from a station or a spool: a result completes a started row and
// changes nothing in a finished one, so a row sent twice is stored once.
inline constexpr char kPostgresUpsert[] =
    "INSERT INTO units (run_id, state, time, host, station, operator, program_version, path, serial, port, slot,"
    " mcu, usb, mcu_version, usb_version, mcu_checksum, usb_checksum, status, failure, message, duration_ms)"
    " VALUES ($1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11,$12,$13,$14,$15,$16,$17,$18,$19,$20,$21)"
    " ON CONFLICT (run_id) DO UPDATE SET state = EXCLUDED.state, status = EXCLUDED.status,"
    " failure = EXCLUDED.failure, message = EXCLUDED.message, duration_ms = EXCLUDED.duration_ms"
    " WHERE units.state = 'started' AND EXCLUDED.state = 'finished'";

// The --skip-updated look-up: a serial's latest run. "$1" is the serial's
// bytes on both back ends (SQLite takes "$1" as the first parameter).
inline constexpr char kUpdatedQuery[] =
    "SELECT state, status, mcu, usb, mcu_checksum, usb_checksum, time FROM units WHERE serial = $1 "
    "ORDER BY id DESC LIMIT 1";

}  // namespace orvik::record
