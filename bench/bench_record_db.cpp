#include "bench_record_db.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "record/record.h"

namespace orvik::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kUnits = 1000000;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Figures {
  double min = 0, median = 0;
};
Figures Of(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {values.front(), values[values.size() / 2]};
}

// The filler's rows: unit i has serial SN%08d and a finished success with
// this image, so that every look-up finds a row.
std::string FillSql(bool postgres, const record::RecordImage& image) {
  const std::string firmware = "'" + image.mcuVersion + "', '" + image.usbVersion + "', '" + image.mcuChecksum +
                               "', '" + image.usbChecksum + "'";
  const std::string columns =
      " (run_id, state, time, host, station, operator, program_version, path, serial, port, slot, mcu, usb,"
      " mcu_version, usb_version, mcu_checksum, usb_checksum, status, failure, message, duration_ms, time_utc,"
      " finished_utc, rev) ";
  if (postgres) {
    return "INSERT INTO units" + columns +
           "SELECT md5(i::text), 'finished', '2026-12-08T09:41:05+01:00', 'line-3', 'line-3', '', '2.0.0.6',"
           " '/dev/hidraw' || (i % 8), convert_to('SN' || lpad(i::text, 8, '0'), 'UTF8'), '', '', true, true, " +
           firmware + ", 0, 0, 'Update complete', 5021, '2026-12-08T08:41:05Z', '2026-12-08T08:41:10Z',"
           " nextval('units_rev_seq') FROM generate_series(0, " + std::to_string(kUnits - 1) +
           ") AS i";
  }
  return "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(kUnits - 1) +
         ") INSERT INTO units" + columns +
         "SELECT printf('%032x', i), 'finished', '2026-12-08T09:41:05+01:00', 'line-3', 'line-3', '', '2.0.0.6',"
         " '/dev/hidraw' || (i % 8), CAST(printf('SN%08d', i) AS BLOB), '', '', 1, 1, " +
         firmware + ", 0, 0, 'Update complete', 5021, '2026-12-08T08:41:05Z', '2026-12-08T08:41:10Z', i + 1 FROM n";
}

bool FillSqlite(const std::string& path, const record::RecordImage& image) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  const std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, sqlite3_close);
  const std::string sql = "BEGIN; " + FillSql(false, image) + "; COMMIT;";
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::printf("record SQLite: cannot fill: %s\n", error != nullptr ? error : "?");
    sqlite3_free(error);
    return false;
  }
  return true;
}

bool FillPostgres(const std::string& uri, const record::RecordImage& image) {
  const std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(uri.c_str()), PQfinish);
  const std::string sql = "TRUNCATE units; " + FillSql(true, image) + "; ANALYZE units;";
  const std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(conn.get(), sql.c_str()), PQclear);
  if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
    std::printf("record PostgreSQL: cannot fill: %s\n", PQerrorMessage(conn.get()));
    return false;
  }
  return true;
}

void Measure(const std::string& name, const std::string& spec, const record::RecordImage& image) {
  record::RecordOptions options;
  options.image = image;
  options.spoolFolder = std::filesystem::temp_directory_path();
  char serial[32];
  // Start-up to the first unit: open (schema check, connection) and its look-up.
  std::vector<double> startup;
  for (int run = 0; run < 5; ++run) {
    std::string error, notice;
    const Clock::time_point start = Clock::now();
    const auto opened = record::OpenRecord(spec, options, error, notice);
    if (!opened) {
      std::printf("%s: %s\n", name.c_str(), error.c_str());
      return;
    }
    std::snprintf(serial, sizeof serial, "SN%08d", run * 7919 % kUnits);
    if (!opened->UpdatedAt(serial, true, true)) std::printf("%s: %s not found\n", name.c_str(), serial);
    startup.push_back(Ms(Clock::now() - start));
  }
  std::string error, notice;
  const auto opened = record::OpenRecord(spec, options, error, notice);
  std::vector<double> lookups;
  for (int i = 0; i < 2000; ++i) {
    std::snprintf(serial, sizeof serial, "SN%08d", static_cast<int>((i * 104729LL) % kUnits));
    const Clock::time_point start = Clock::now();
    const bool found = opened->UpdatedAt(serial, true, true).has_value();
    lookups.push_back(Ms(Clock::now() - start));
    if (!found) std::printf("%s: %s not found\n", name.c_str(), serial);
  }
  std::vector<double> writes;
  record::Unit unit;
  unit.path = "/dev/hidraw0";
  for (int i = 0; i < 200; ++i) {
    std::snprintf(serial, sizeof serial, "NEW%08d", i);
    unit.serial = serial;
    record::Recorder::Run run;
    run.runId = record::NewRunId();
    run.unit = &unit;
    run.time = "2026-12-08T10:00:00+01:00";
    const Clock::time_point start = Clock::now();
    if (!opened->Started(run, error) || !opened->Finished(run, error)) {
      std::printf("%s: %s\n", name.c_str(), error.c_str());
      return;
    }
    writes.push_back(Ms(Clock::now() - start) / 2);
  }
  const Figures s = Of(startup), l = Of(lookups), w = Of(writes);
  std::printf("%-30s %d units: start-up to the first unit %.1f / %.1f ms, skip look-up %.3f / %.3f ms, "
              "a row's write with fsync %.2f / %.2f ms (min / median)\n",
              name.c_str(), kUnits, s.min, s.median, l.min, l.median, w.min, w.median);
  std::fflush(stdout);
}

}  // namespace

void BenchRecordDatabases(const std::filesystem::path& dir, const std::string& only, const record::RecordImage& image) {
  if (std::string("record SQLite").find(only) != std::string::npos) {
    const std::filesystem::path path = dir / "orvik-bench-record.db";
    std::error_code ignored;
    for (const char* end : {"", "-wal", "-shm"}) std::filesystem::remove(path.string() + end, ignored);
    std::string error, notice;
    record::RecordOptions options;
    options.image = image;
    // Created by the record itself, then filled in one transaction.
    if (!record::OpenRecord(path.string(), options, error, notice)) {
      std::printf("record SQLite: %s\n", error.c_str());
    } else if (FillSqlite(path.string(), image)) {
      Measure("record SQLite", path.string(), image);
    }
    for (const char* end : {"", "-wal", "-shm"}) std::filesystem::remove(path.string() + end, ignored);
  }
  if (std::string("record PostgreSQL").find(only) != std::string::npos) {
    const char* uri = std::getenv("ORVIK_BENCH_PG_URI");
    if (uri == nullptr || *uri == '\0') {
      std::printf("%-30s skipped: set ORVIK_BENCH_PG_URI to a local server's URI\n", "record PostgreSQL");
      return;
    }
    std::string error, notice;
    record::RecordOptions options;
    options.image = image;
    options.spoolFolder = std::filesystem::temp_directory_path();
    if (!record::OpenRecord(uri, options, error, notice)) {
      std::printf("record PostgreSQL: %s\n", error.c_str());
    } else if (FillPostgres(uri, image)) {
      Measure("record PostgreSQL", uri, image);
    }
  }
}

}  // namespace orvik::bench
