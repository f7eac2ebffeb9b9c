#include "record/sql_schema.h"

#include <ctime>

#include "log/log_file.h"

namespace orvik::record {
namespace {

std::string ColumnList(Dialect dialect) {
  std::string sql;
  for (const ColumnDef& column : kTable) {
    sql += std::string(sql.empty() ? "\n  " : ",\n  ") + column.name + " " +
           (dialect == Dialect::Sqlite ? column.sqlite : column.postgres);
  }
  return sql;
}

constexpr char kIndexes[] =
    "CREATE INDEX IF NOT EXISTS units_serial ON units (serial, id);\n"
    "CREATE INDEX IF NOT EXISTS units_time_utc ON units (time_utc);\n"
    "CREATE INDEX IF NOT EXISTS units_rev ON units (rev);\n";

}  // namespace

std::vector<std::string> ColumnsOfVersion(int version) {
  std::vector<std::string> names;
  for (const ColumnDef& column : kTable) {
    if (column.since <= version) names.emplace_back(column.name);
  }
  return names;
}

std::string SqliteCreateSql() {
  return "CREATE TABLE IF NOT EXISTS units (" + ColumnList(Dialect::Sqlite) + "\n);\n" + kIndexes;
}

std::string SqliteUpgradeSql() {
  std::string v1;
  for (const std::string& name : ColumnsOfVersion(1)) v1 += (v1.empty() ? "" : ", ") + name;
  std::string selected = v1;
  selected.replace(selected.find("status"), 6, "CASE WHEN state = 'started' THEN NULL ELSE status END");
  // time_utc from the local time's own offset; a finished run's result was
  // written its duration later.
  return "CREATE TABLE units_upgraded (" + ColumnList(Dialect::Sqlite) +
         "\n);\n"
         "INSERT INTO units_upgraded (" + v1 + ", time_utc, finished_utc, rev) SELECT " + selected +
         ", COALESCE(strftime('%Y-%m-%dT%H:%M:%SZ', time), ''),"
         " CASE WHEN state = 'finished' THEN strftime('%Y-%m-%dT%H:%M:%SZ', time,"
         " '+' || (duration_ms / 1000) || ' seconds') END, id FROM units;\n"
         "DROP TABLE units;\n"
         "ALTER TABLE units_upgraded RENAME TO units;\n" +
         kIndexes;
}

std::string PostgresSchemaSql() {
  return "CREATE TABLE IF NOT EXISTS units (" + ColumnList(Dialect::Postgres) +
         "\n);\n"
         "-- A version-1 table: the columns version 2 added, filled for every row.\n"
         "ALTER TABLE units ADD COLUMN IF NOT EXISTS time_utc TEXT,\n"
         "  ADD COLUMN IF NOT EXISTS finished_utc TEXT, ADD COLUMN IF NOT EXISTS rev BIGINT;\n"
         "ALTER TABLE units ALTER COLUMN status DROP NOT NULL;\n"
         "UPDATE units SET\n"
         "  time_utc = CASE WHEN \"time\" ~ '^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(Z|[+-]\\d\\d:\\d\\d)$'\n"
         "    THEN to_char(\"time\"::timestamptz AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"') ELSE '' END,\n"
         "  finished_utc = CASE WHEN state = 'finished'\n"
         "    AND \"time\" ~ '^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(Z|[+-]\\d\\d:\\d\\d)$'\n"
         "    THEN to_char((\"time\"::timestamptz + duration_ms * interval '1 millisecond') AT TIME ZONE 'UTC',\n"
         "      'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"') END,\n"
         "  status = CASE WHEN state = 'started' THEN NULL ELSE status END,\n"
         "  rev = id\n"
         "  WHERE rev IS NULL;\n"
         "ALTER TABLE units ALTER COLUMN time_utc SET NOT NULL, ALTER COLUMN rev SET NOT NULL;\n"
         "CREATE SEQUENCE IF NOT EXISTS units_rev_seq;\n"
         "SELECT setval('units_rev_seq', GREATEST((SELECT COALESCE(MAX(rev), 0) FROM units) + 1,\n"
         "  (SELECT last_value FROM units_rev_seq)));\n" +
         std::string(kIndexes) +
         "CREATE OR REPLACE FUNCTION orvik_units_notify() RETURNS trigger LANGUAGE plpgsql AS\n"
         "  $$BEGIN PERFORM pg_notify('orvik_units', NEW.id::text); RETURN NULL; END$$;\n"
         "CREATE OR REPLACE TRIGGER units_notify AFTER INSERT OR UPDATE ON units\n"
         "  FOR EACH ROW EXECUTE FUNCTION orvik_units_notify();\n"
         "CREATE TABLE IF NOT EXISTS orvik_schema (version INTEGER NOT NULL);\n"
         "DELETE FROM orvik_schema;\n"
         "INSERT INTO orvik_schema (version) VALUES (2);\n";
}

std::string SelectColumns(int version) {
  return "run_id, state, time, host, station, operator, program_version, path, serial, port, slot, mcu, usb, "
         "mcu_version, usb_version, mcu_checksum, usb_checksum, status, failure, message, duration_ms, " +
         std::string(version >= 2 ? "time_utc" : "''");
}

std::string UpdatedQuery() {
  return std::string("SELECT ") + SelectColumns(kSchemaVersion) + " FROM units WHERE serial = $1 ORDER BY id DESC LIMIT 1";
}

std::string SqliteInsertSql() {
  std::string values;
  for (int i = 1; i <= kColumnCount; ++i) {
    values += '$';
    values += std::to_string(i);
    values += ',';
  }
  return std::string("INSERT INTO units (") + kColumns + ", rev) VALUES (" + values +
         " (SELECT COALESCE(MAX(rev), 0) + 1 FROM units))";
}

std::string SqliteFinishSql() {
  return "UPDATE units SET state = 'finished', status = $1, failure = $2, message = $3, duration_ms = $4,"
         " finished_utc = $5, rev = (SELECT COALESCE(MAX(rev), 0) + 1 FROM units) WHERE run_id = $6";
}

std::string PostgresUpsertSql() {
  std::string values;
  for (int i = 1; i <= kColumnCount; ++i) {
    values += '$';
    values += std::to_string(i);
    values += ',';
  }
  return std::string("INSERT INTO units (") + kColumns + ", rev) VALUES (" + values +
         " nextval('units_rev_seq'))"
         " ON CONFLICT (run_id) DO UPDATE SET state = EXCLUDED.state, status = EXCLUDED.status,"
         " failure = EXCLUDED.failure, message = EXCLUDED.message, duration_ms = EXCLUDED.duration_ms,"
         " finished_utc = EXCLUDED.finished_utc, rev = EXCLUDED.rev"
         " WHERE units.state = 'started' AND EXCLUDED.state = 'finished'";
}

RecordLine DecodeRow(const SqlRow& row) {
  const auto text = [&](int column) { return UnescapeBytes(row.Text(column)); };
  RecordLine line;
  line.runId = text(0);
  line.state = text(1);
  line.time = text(2);
  line.host = text(3);
  line.station = text(4);
  line.operatorName = text(5);
  line.programVersion = text(6);
  line.path = text(7);
  line.serial = row.Bytes(8);
  line.port = text(9);
  line.slot = text(10);
  line.mcu = row.Flag(11);
  line.usb = row.Flag(12);
  line.mcuVersion = text(13);
  line.usbVersion = text(14);
  line.mcuChecksum = text(15);
  line.usbChecksum = text(16);
  // A version-1 record's started rows say 0; a started run has no status.
  line.status = row.IsNull(17) || line.state == kStateStarted ? 0 : static_cast<int>(row.Integer(17));
  line.failure = static_cast<int>(row.Integer(18));
  line.message = text(19);
  line.durationMs = row.Integer(20);
  line.timeUtc = text(21);
  if (line.timeUtc.empty()) line.timeUtc = UtcTimeOf(line.time);
  return line;
}

bool ShowsUpdated(const RecordLine& latest, const RecordImage& image, bool mcu, bool usb) {
  if (!latest.Finished() || latest.status != 0 || latest.mcu != mcu || latest.usb != usb) return false;
  if (mcu && (image.mcuChecksum.empty() || latest.mcuChecksum != image.mcuChecksum)) return false;
  if (usb && (image.usbChecksum.empty() || latest.usbChecksum != image.usbChecksum)) return false;
  return true;
}

std::string UtcNow() {
  std::tm utc{};
  if (!BreakDownTime(std::time(nullptr), false, utc)) return {};
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace orvik::record
