// The record's table in a database: ONE definition for SQLite and
// PostgreSQL (and docs/record-server.sql, which a test holds to it), its
// statements, the one decoder of its rows and the one "already updated"
// query.
//
// Schema version 2 (SQLite: PRAGMA user_version; PostgreSQL: the one row of
// table orvik_schema) is version 1 plus: `status` NULL while a run is
// started, `time_utc` (the start in UTC), `finished_utc` (when the result
// was written, UTC), `rev` (a change counter, larger on every insert and
// update), indexes on time_utc and rev, and on PostgreSQL a trigger that
// notifies channel orvik_units with the row's id on every change.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "record/record_text.h"

namespace orvik::record {

// The version this program writes; a newer one is refused, an older one
// upgraded in place.
inline constexpr int kSchemaVersion = 2;

enum class Dialect { Sqlite, Postgres };

struct ColumnDef {
  const char* name;
  const char* sqlite;    // type and constraints
  const char* postgres;
  int since;             // the schema version that added it
};

// The table `units`, in the order of its columns.
inline constexpr ColumnDef kTable[] = {
    {"id", "INTEGER PRIMARY KEY AUTOINCREMENT", "BIGSERIAL PRIMARY KEY", 1},
    {"run_id", "TEXT NOT NULL UNIQUE", "TEXT NOT NULL UNIQUE", 1},
    {"state", "TEXT NOT NULL CHECK (state IN ('started', 'finished'))",
     "TEXT NOT NULL CHECK (state IN ('started', 'finished'))", 1},
    {"time", "TEXT NOT NULL", "TEXT NOT NULL", 1},
    {"host", "TEXT NOT NULL", "TEXT NOT NULL", 1},
    {"station", "TEXT NOT NULL", "TEXT NOT NULL", 1},
    {"operator", "TEXT NOT NULL", "TEXT NOT NULL", 1},
    {"program_version", "TEXT NOT NULL", "TEXT NOT NULL", 1},
    {"path", "TEXT NOT NULL", "TEXT NOT NULL", 1},
    {"serial", "BLOB NOT NULL", "BYTEA NOT NULL", 1},  // the device's bytes
    {"port", "TEXT NOT NULL", "TEXT NOT NULL", 1},
    {"slot", "TEXT NOT NULL", "TEXT NOT NULL", 1},
    {"mcu", "INTEGER NOT NULL", "BOOLEAN NOT NULL", 1},
    {"usb", "INTEGER NOT NULL", "BOOLEAN NOT NULL", 1},
    {"mcu_version", "TEXT NOT NULL", "TEXT NOT NULL", 1},
    {"usb_version", "TEXT NOT NULL", "TEXT NOT NULL", 1},
    {"mcu_checksum", "TEXT NOT NULL", "TEXT NOT NULL", 1},
    {"usb_checksum", "TEXT NOT NULL", "TEXT NOT NULL", 1},
    {"status", "INTEGER", "INTEGER", 1},  // NULL while started (NOT NULL in version 1)
    {"failure", "INTEGER NOT NULL", "INTEGER NOT NULL", 1},
    {"message", "TEXT NOT NULL", "TEXT NOT NULL", 1},
    {"duration_ms", "INTEGER NOT NULL", "BIGINT NOT NULL", 1},
    {"time_utc", "TEXT NOT NULL", "TEXT NOT NULL", 2},
    {"finished_utc", "TEXT", "TEXT", 2},
    {"rev", "INTEGER NOT NULL", "BIGINT NOT NULL", 2},
};

// The names of the table's columns in `version` (1 or 2), in table order.
std::vector<std::string> ColumnsOfVersion(int version);

// CREATE TABLE and its indexes, as SQLite runs them (a new record).
std::string SqliteCreateSql();
// A version-1 SQLite record rebuilt as version 2, every row kept (SQLite
// cannot drop a NOT NULL): run inside one transaction.
std::string SqliteUpgradeSql();
// The whole PostgreSQL schema, idempotent: creates version 2, or upgrades
// version 1 in place, every row kept. The program runs it in one transaction;
// docs/record-server.sql holds it verbatim.
std::string PostgresSchemaSql();

// The columns a run is read with (History, the look-up), in RecordLine's
// terms; version 1 has no time_utc.
std::string SelectColumns(int version);
// The "already updated" look-up: a serial's latest run ("$1": the serial's
// bytes; SQLite takes "$1" as the first parameter too).
std::string UpdatedQuery();

// Writes. Parameters $1..$21 are kColumns' values, $22 time_utc, $23
// finished_utc (NULL while started); the status is NULL for a started run.
inline constexpr char kColumns[] =
    "run_id, state, time, host, station, operator, program_version, path, serial, port, slot, mcu, usb, "
    "mcu_version, usb_version, mcu_checksum, usb_checksum, status, failure, message, duration_ms, time_utc, "
    "finished_utc";
inline constexpr int kColumnCount = 23;
std::string SqliteInsertSql();
// $1 status, $2 failure, $3 message, $4 duration, $5 finished_utc, $6 run id.
std::string SqliteFinishSql();
// From a station or a spool: a result completes a started row and changes
// nothing in a finished one, so a row sent twice is stored once.
std::string PostgresUpsertSql();

// One column of a row as a back end gives it.
class SqlRow {
 public:
  virtual ~SqlRow() = default;
  virtual bool IsNull(int column) const = 0;
  virtual std::string Text(int column) const = 0;   // escapes (\xNN) not yet undone
  virtual std::string Bytes(int column) const = 0;  // a BLOB / BYTEA
  virtual std::int64_t Integer(int column) const = 0;
  virtual bool Flag(int column) const = 0;
};

// A row read with SelectColumns as the record's line.
RecordLine DecodeRow(const SqlRow& row);

// Whether a serial's latest run (decoded) shows the unit updated: finished,
// a success, the same controllers, this image's checksums.
bool ShowsUpdated(const RecordLine& latest, const RecordImage& image, bool mcu, bool usb);

// "2026-12-08T08:41:05Z": now, in UTC.
std::string UtcNow();

}  // namespace orvik::record
