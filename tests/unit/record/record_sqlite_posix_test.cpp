// The record in SQLite as a line meets it: a database made by the previous
// version, one that is not a station record, and a reader that may only
// read.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "record/record.h"
#include "support/test_support.h"

namespace orvik::record {
namespace {

namespace fs = std::filesystem;

// Runs SQL on the database at `path` outside the record's code; the first
// column of each row, as text.
std::vector<std::string> Sql(const fs::path& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.string().c_str(), &db);
  std::vector<std::string> rows;
  sqlite3_exec(
      db, sql.c_str(),
      [](void* into, int, char** values, char**) {
        static_cast<std::vector<std::string>*>(into)->push_back(values[0] != nullptr ? values[0] : "NULL");
        return 0;
      },
      &rows, nullptr);
  sqlite3_close(db);
  return rows;
}

// The table as the previous version of the program made it.
constexpr char kVersion1[] =
    "CREATE TABLE units (id INTEGER PRIMARY KEY AUTOINCREMENT, run_id TEXT NOT NULL UNIQUE,"
    " state TEXT NOT NULL CHECK (state IN ('started', 'finished')),"
    " time TEXT NOT NULL, host TEXT NOT NULL, station TEXT NOT NULL, operator TEXT NOT NULL,"
    " program_version TEXT NOT NULL, path TEXT NOT NULL, serial BLOB NOT NULL, port TEXT NOT NULL,"
    " slot TEXT NOT NULL, mcu INTEGER NOT NULL, usb INTEGER NOT NULL, mcu_version TEXT NOT NULL,"
    " usb_version TEXT NOT NULL, mcu_checksum TEXT NOT NULL, usb_checksum TEXT NOT NULL,"
    " status INTEGER NOT NULL, failure INTEGER NOT NULL, message TEXT NOT NULL, duration_ms INTEGER NOT NULL);"
    "CREATE INDEX units_serial ON units (serial, id);"
    "INSERT INTO units (run_id, state, time, host, station, operator, program_version, path, serial, port, slot,"
    " mcu, usb, mcu_version, usb_version, mcu_checksum, usb_checksum, status, failure, message, duration_ms) VALUES"
    " ('r1', 'finished', '2026-12-08T09:41:05+01:00', 'h', 's', '', '2.0.0.5', '/dev/hidraw3', X'4131', '', '',"
    "  1, 1, 'Y1-3', 'Y1-1', '0x02ae', '0x63ed', 0, 0, 'Update complete', 5021),"
    " ('r2', 'started', '2026-12-31T23:30:00-05:30', 'h', 's', '', '2.0.0.5', '/dev/hidraw4', X'4132', '', '',"
    "  1, 1, 'Y1-3', 'Y1-1', '0x02ae', '0x63ed', 0, 0, '', 0);"
    "PRAGMA user_version=1;";

RecordOptions Options() {
  RecordOptions options;
  options.image = {"Y1-3", "Y1-1", "0x02ae", "0x63ed"};
  return options;
}

std::set<std::string> FilesIn(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

// A station opening a previous version's record upgrades it in place:
// every row kept, a started row's status NULL, times in UTC from each
// row's own offset, the change counter from the row's id.
TEST(RecordSqlite, AVersion1RecordIsUpgradedKeepingEveryRow) {
  test::TempDir dir;
  const fs::path path = dir / "units.db";
  Sql(path, kVersion1);
  std::string error, notice;
  auto record = OpenRecord(path.string(), Options(), error, notice);
  ASSERT_TRUE(record) << error;
  EXPECT_EQ(Sql(path, "PRAGMA user_version"), std::vector<std::string>{"2"});
  EXPECT_EQ(Sql(path, "SELECT run_id || ' ' || COALESCE(status, 'NULL') || ' ' || time_utc || ' ' || rev || ' ' ||"
                      " COALESCE(finished_utc, 'NULL') || ' ' || hex(serial) FROM units ORDER BY id"),
            (std::vector<std::string>{"r1 0 2026-12-08T08:41:05Z 1 2026-12-08T08:41:10Z 4131",
                                      "r2 NULL 2027-01-01T05:00:00Z 2 NULL 4132"}));
  // The upgraded record works as a new one: the finished run passes over,
  // the started one does not, a new run gets the next id and change.
  EXPECT_TRUE(record->UpdatedAt("A1", true, true));
  EXPECT_FALSE(record->UpdatedAt("A2", true, true));
  Unit unit;
  unit.serial = "A3";
  Recorder::Run run;
  run.runId = "r3";
  run.unit = &unit;
  run.time = "2026-12-09T10:00:00+01:00";
  ASSERT_TRUE(record->Started(run, error)) << error;
  EXPECT_EQ(Sql(path, "SELECT id || ' ' || rev || ' ' || COALESCE(status, 'NULL') || ' ' || time_utc FROM units"
                      " WHERE run_id = 'r3'"),
            std::vector<std::string>{"3 3 NULL 2026-12-09T09:00:00Z"});
  ASSERT_TRUE(record->Finished(run, error)) << error;
  EXPECT_EQ(Sql(path, "SELECT rev || ' ' || status FROM units WHERE run_id = 'r3'"), std::vector<std::string>{"4 0"});
}

// A database that is not a station record is refused before anything in it
// changes: not switched to WAL, no table made, no version written.
TEST(RecordSqlite, AForeignDatabaseIsRefusedBeforeAnyChange) {
  struct Case {
    const char* name;
    const char* sql;
    const char* error;
  };
  for (const Case& c : {
           Case{"a table units of other columns", "CREATE TABLE units (id INTEGER, name TEXT);",
                "its table units is not a station record of version 2"},
           Case{"version 1 with columns missing", "CREATE TABLE units (id INTEGER, run_id TEXT); PRAGMA user_version=1;",
                "is not a station record of version 1"},
           Case{"a version without its table", "CREATE TABLE other (a); PRAGMA user_version=2;", "has no table units"},
       }) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const fs::path path = dir / "other.db";
    Sql(path, c.sql);
    const auto before = Sql(path, "SELECT group_concat(sql, ';') FROM sqlite_master");
    std::string error, notice;
    EXPECT_FALSE(OpenRecord(path.string(), Options(), error, notice));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_EQ(Sql(path, "PRAGMA journal_mode"), std::vector<std::string>{"delete"});
    EXPECT_EQ(Sql(path, "SELECT group_concat(sql, ';') FROM sqlite_master"), before);
    EXPECT_EQ(FilesIn(dir.path()), std::set<std::string>{"other.db"});
  }
}

// --history reads a record, of this version or the previous one, and
// leaves nothing beside it (no -wal, no -shm) and the file untouched.
TEST(RecordSqlite, AReaderCreatesNothingAndReadsEitherVersion) {
  for (const bool upgraded : {true, false}) {
    SCOPED_TRACE(upgraded ? "version 2" : "version 1");
    test::TempDir dir;
    const fs::path path = dir / "units.db";
    Sql(path, kVersion1);
    if (upgraded) {
      std::string error, notice;
      ASSERT_TRUE(OpenRecord(path.string(), Options(), error, notice)) << error;
    }
    ASSERT_EQ(FilesIn(dir.path()), std::set<std::string>{"units.db"});
    const auto bytes = test::ReadBytes(path);
    RecordOptions options;
    options.readOnly = true;
    std::string error, notice;
    auto reader = OpenRecord(path.string(), options, error, notice);
    ASSERT_TRUE(reader) << error;
    std::vector<RecordLine> lines;
    ASSERT_TRUE(reader->History(std::nullopt, lines, error)) << error;
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].runId, "r2");
    EXPECT_FALSE(lines[0].Finished());
    EXPECT_EQ(lines[0].timeUtc, "2027-01-01T05:00:00Z");
    EXPECT_EQ(lines[1].serial, "A1");
    EXPECT_EQ(FilesIn(dir.path()), std::set<std::string>{"units.db"});
    reader.reset();
    EXPECT_EQ(FilesIn(dir.path()), std::set<std::string>{"units.db"});
    EXPECT_EQ(test::ReadBytes(path), bytes);
  }
}

}  // namespace
}  // namespace orvik::record
