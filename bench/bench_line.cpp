#include "bench_line.h"

#include <httplib.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "line/line_db.h"
#include "line/line_queries.h"
#include "line/line_server.h"
#include "process_usage.h"

namespace orvik::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 1000000;
constexpr int kStations = 16;
constexpr int kSlots = 16;
// The filled runs span this many days back from now: 1,000,000 over 30 days
// is a run every 2.6 s, about 11,000 in the default 8-hour range.
constexpr int kDays = 30;
constexpr int kRequests = 30;
constexpr int kWritesPerStation = 40;
constexpr std::chrono::milliseconds kWriteInterval{150};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Figures {
  double median = 0, p95 = 0, max = 0;
};
Figures Of(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values[std::min(values.size() - 1, values.size() * 95 / 100)], values.back()};
}

double ResidentMiB() { return static_cast<double>(CurrentProcessUsage().residentBytes) / (1024.0 * 1024.0); }

// The table of schema version 2 and its filler: run i on station i % 16,
// slot (i / 16) % 16, one in twenty failed with one of four failures.
constexpr char kSqliteTable[] =
    "CREATE TABLE units (id INTEGER PRIMARY KEY AUTOINCREMENT, run_id TEXT NOT NULL UNIQUE,"
    " state TEXT NOT NULL CHECK (state IN ('started', 'finished')), time TEXT NOT NULL, host TEXT NOT NULL,"
    " station TEXT NOT NULL, operator TEXT NOT NULL, program_version TEXT NOT NULL, path TEXT NOT NULL,"
    " serial BLOB NOT NULL, port TEXT NOT NULL, slot TEXT NOT NULL, mcu INTEGER NOT NULL, usb INTEGER NOT NULL,"
    " mcu_version TEXT NOT NULL, usb_version TEXT NOT NULL, mcu_checksum TEXT NOT NULL, usb_checksum TEXT NOT NULL,"
    " status INTEGER, failure INTEGER NOT NULL, message TEXT NOT NULL, duration_ms INTEGER NOT NULL,"
    " time_utc TEXT NOT NULL, finished_utc TEXT, rev INTEGER NOT NULL);"
    "CREATE INDEX units_serial ON units (serial, id); CREATE INDEX units_time_utc ON units (time_utc);"
    "CREATE INDEX units_rev ON units (rev); PRAGMA user_version = 2; PRAGMA journal_mode = WAL;";

constexpr char kPostgresTable[] =
    "SET client_min_messages = warning;"
    "DROP TABLE IF EXISTS units; DROP TABLE IF EXISTS orvik_schema; DROP SEQUENCE IF EXISTS units_rev_seq;"
    "CREATE SEQUENCE units_rev_seq;"
    "CREATE TABLE units (id BIGSERIAL PRIMARY KEY, run_id TEXT NOT NULL UNIQUE,"
    " state TEXT NOT NULL CHECK (state IN ('started', 'finished')), time TEXT NOT NULL, host TEXT NOT NULL,"
    " station TEXT NOT NULL, operator TEXT NOT NULL, program_version TEXT NOT NULL, path TEXT NOT NULL,"
    " serial BYTEA NOT NULL, port TEXT NOT NULL, slot TEXT NOT NULL, mcu BOOLEAN NOT NULL, usb BOOLEAN NOT NULL,"
    " mcu_version TEXT NOT NULL, usb_version TEXT NOT NULL, mcu_checksum TEXT NOT NULL, usb_checksum TEXT NOT NULL,"
    " status INTEGER, failure INTEGER NOT NULL, message TEXT NOT NULL, duration_ms BIGINT NOT NULL,"
    " time_utc TEXT NOT NULL, finished_utc TEXT, rev BIGINT NOT NULL);"
    "CREATE INDEX units_serial ON units (serial, id); CREATE INDEX units_time_utc ON units (time_utc);"
    "CREATE INDEX units_rev ON units (rev);"
    "CREATE TABLE orvik_schema (version INTEGER NOT NULL); INSERT INTO orvik_schema VALUES (2);"
    "CREATE OR REPLACE FUNCTION orvik_units_notify() RETURNS trigger AS $$ BEGIN"
    " PERFORM pg_notify('orvik_units', NEW.id::text); RETURN NEW; END $$ LANGUAGE plpgsql;"
    "CREATE TRIGGER units_notify AFTER INSERT OR UPDATE ON units FOR EACH ROW EXECUTE FUNCTION orvik_units_notify();";

std::string FillSql(bool postgres, std::time_t now) {
  const std::string start = std::to_string(now - kDays * 86400);
  const std::string step = std::to_string(kDays * 86400.0 / kRuns);
  const std::string utc = postgres ? "to_char(to_timestamp(" + start + " + i * " + step +
                                         ") AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')"
                                   : "strftime('%Y-%m-%dT%H:%M:%SZ', " + start + " + i * " + step + ", 'unixepoch')";
  const std::string failed = "(i % 20 = 7)";
  const std::string columns =
      " (run_id, state, time, host, station, operator, program_version, path, serial, port, slot, mcu, usb,"
      " mcu_version, usb_version, mcu_checksum, usb_checksum, status, failure, message, duration_ms, time_utc,"
      " finished_utc, rev) ";
  const std::string station = "'line-' || (i % 16)";
  const std::string body =
      "'finished', " + utc + ", " + station + ", " + station + ", '', '2.0.0.6', '/dev/hidraw' || (i % 8), " +
      (postgres ? "convert_to('SN' || lpad(i::text, 8, '0'), 'UTF8')" : "CAST(printf('SN%08d', i) AS BLOB)") +
      ", '1-1.' || ((i / 16) % 16), CAST((i / 16) % 16 + 1 AS TEXT), " + (postgres ? "true, true" : "1, 1") +
      ", 'Y1-3', 'Y1-1', '0x6b2d', '0x1f7c', CASE WHEN " + failed + " THEN 1 ELSE 0 END, CASE WHEN " + failed +
      " THEN 1340 + (i / 20) % 4 ELSE 0 END, CASE WHEN " + failed +
      " THEN 'Check write usb code reply fail' ELSE 'Update complete' END, 5021, " + utc + ", " + utc + ", i + 1";
  if (postgres) {
    return "INSERT INTO units" + columns + "SELECT md5(i::text), " + body + " FROM generate_series(0, " +
           std::to_string(kRuns - 1) + ") AS i; SELECT setval('units_rev_seq', " + std::to_string(kRuns + 1) +
           "); ANALYZE units;";
  }
  return "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(kRuns - 1) +
         ") INSERT INTO units" + columns + "SELECT printf('%032x', i), " + body + " FROM n; ANALYZE;";
}

// One writer per station: its own connection, a run started and finished
// every kWriteInterval, each write its own transaction, as a station does.
class Writer {
 public:
  virtual ~Writer() = default;
  virtual bool Write(const std::string& sql, std::string& error) = 0;
};

class SqliteWriter final : public Writer {
 public:
  explicit SqliteWriter(const std::string& path) {
    sqlite3_open(path.c_str(), &m_db);
    sqlite3_busy_timeout(m_db, 10000);
    sqlite3_exec(m_db, "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
  }
  ~SqliteWriter() override { sqlite3_close(m_db); }
  bool Write(const std::string& sql, std::string& error) override {
    char* message = nullptr;
    if (sqlite3_exec(m_db, ("BEGIN IMMEDIATE; " + sql + "; COMMIT;").c_str(), nullptr, nullptr, &message) == SQLITE_OK)
      return true;
    error = message != nullptr ? message : "?";
    sqlite3_free(message);
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }

 private:
  sqlite3* m_db = nullptr;
};

class PostgresWriter final : public Writer {
 public:
  explicit PostgresWriter(const std::string& uri) : m_conn(PQconnectdb(uri.c_str())) {}
  ~PostgresWriter() override { PQfinish(m_conn); }
  bool Write(const std::string& sql, std::string& error) override {
    PGresult* result = PQexec(m_conn, sql.c_str());
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!ok) error = PQerrorMessage(m_conn);
    PQclear(result);
    return ok;
  }

 private:
  PGconn* m_conn;
};

std::string InsertSql(bool postgres, int station, int n, const std::string& runId, const std::string& now) {
  const std::string rev = postgres ? "nextval('units_rev_seq')" : "(SELECT COALESCE(MAX(rev), 0) + 1 FROM units)";
  return "INSERT INTO units (run_id, state, time, host, station, operator, program_version, path, serial, port,"
         " slot, mcu, usb, mcu_version, usb_version, mcu_checksum, usb_checksum, status, failure, message,"
         " duration_ms, time_utc, finished_utc, rev) VALUES ('" + runId + "', 'started', '" + now + "', 'line-" +
         std::to_string(station) + "', 'line-" + std::to_string(station) + "', '', '2.0.0.6', '/dev/hidraw0', " +
         (postgres ? "'\\x4e4557'::bytea" : "X'4e4557'") + ", '1-1." + std::to_string(n % kSlots) + "', '" +
         std::to_string(n % kSlots + 1) + "', " + (postgres ? "true, true" : "1, 1") +
         ", 'Y1-3', 'Y1-1', '0x6b2d', '0x1f7c', NULL, 0, '', 0, '" + now + "', NULL, " + rev + ")";
}

std::string FinishSql(bool postgres, const std::string& runId, const std::string& now) {
  const std::string rev = postgres ? "nextval('units_rev_seq')" : "(SELECT MAX(rev) + 1 FROM units)";
  return "UPDATE units SET state = 'finished', status = 0, message = 'Update complete', duration_ms = 5021,"
         " finished_utc = '" + now + "', rev = " + rev + " WHERE run_id = '" + runId + "'";
}

std::string RunIdOf(const std::string& data) {
  const std::string key = "\"run_id\":\"";
  const std::size_t at = data.find(key);
  if (at == std::string::npos) return {};
  const std::size_t end = data.find('"', at + key.size());
  return data.substr(at + key.size(), end - at - key.size());
}

void Measure(const std::string& name, const std::string& spec, bool postgres) {
  const double rssStart = ResidentMiB();
  std::string error;
  auto queries = line::OpenLineDb(spec, error);
  auto watch = queries ? line::OpenLineDb(spec, error) : nullptr;
  if (!watch) {
    std::printf("%s: %s\n", name.c_str(), error.c_str());
    return;
  }
  line::LineOptions options;
  options.record = spec;
  options.port = 0;
  line::LineServer server(options, std::move(queries), std::move(watch));
  if (!server.Bind(error)) {
    std::printf("%s: %s\n", name.c_str(), error.c_str());
    return;
  }
  std::thread serving([&] { server.Run(); });
  httplib::Client client("127.0.0.1", server.Port());
  client.set_read_timeout(30, 0);

  const auto timed = [&](const std::string& path) {
    std::vector<double> times;
    for (int i = 0; i < kRequests; ++i) {
      const Clock::time_point start = Clock::now();
      const auto response = client.Get(path.c_str());
      times.push_back(Ms(Clock::now() - start));
      if (!response || response->status != 200) {
        std::printf("%s: %s failed\n", name.c_str(), path.c_str());
        break;
      }
    }
    return Of(times);
  };
  const Figures summary = timed("/api/summary");
  const Figures page = timed("/api/units?limit=50");
  const Figures serial = timed("/api/units?serial=SN00123456");
  const Figures stations = timed("/api/stations");
  const double rssQueries = ResidentMiB();

  // The live path: a stream, and 16 stations writing at once.
  std::mutex mutex;
  std::map<std::string, Clock::time_point> committed, received;
  std::atomic<bool> streaming{true};
  std::thread reader([&] {
    httplib::Client stream("127.0.0.1", server.Port());
    stream.set_read_timeout(60, 0);
    std::string buffer;
    stream.Get("/api/events", [&](const char* data, std::size_t length) {
      buffer.append(data, length);
      std::size_t end;
      while ((end = buffer.find("\n\n")) != std::string::npos) {
        const std::string runId = RunIdOf(buffer.substr(0, end));
        buffer.erase(0, end + 2);
        if (!runId.empty()) {
          const std::lock_guard lock(mutex);
          received.emplace(runId, Clock::now());
        }
      }
      return streaming.load();
    });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<std::thread> writers;
  std::atomic<int> failures{0};
  const std::string tag = std::to_string(std::time(nullptr));
  for (int station = 0; station < kStations; ++station) {
    writers.emplace_back([&, station] {
      std::unique_ptr<Writer> writer = postgres ? std::unique_ptr<Writer>(std::make_unique<PostgresWriter>(spec))
                                                : std::make_unique<SqliteWriter>(spec);
      std::string writeError;
      for (int n = 0; n < kWritesPerStation; ++n) {
        const std::string runId = "bench-" + tag + "-" + std::to_string(station) + "-" + std::to_string(n);
        const std::string now = line::UtcText(std::time(nullptr));
        if (!writer->Write(InsertSql(postgres, station, n, runId, now), writeError)) {
          if (failures++ == 0) std::printf("%s: a write failed: %s\n", name.c_str(), writeError.c_str());
          continue;
        }
        {
          const std::lock_guard lock(mutex);
          committed.emplace(runId, Clock::now());
        }
        std::this_thread::sleep_for(kWriteInterval / 2);
        writer->Write(FinishSql(postgres, runId, now), writeError);
        std::this_thread::sleep_for(kWriteInterval / 2);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  streaming = false;
  std::vector<double> latencies;
  std::size_t missing = 0;
  {
    const std::lock_guard lock(mutex);
    for (const auto& [runId, when] : committed) {
      const auto it = received.find(runId);
      if (it == received.end()) {
        ++missing;
        continue;
      }
      latencies.push_back(std::max(0.0, Ms(it->second - when)));
    }
  }
  // An event ends the stream's read once streaming is false.
  {
    std::string ignored;
    std::unique_ptr<Writer> writer = postgres ? std::unique_ptr<Writer>(std::make_unique<PostgresWriter>(spec))
                                              : std::make_unique<SqliteWriter>(spec);
    writer->Write(InsertSql(postgres, 0, 0, "bench-" + tag + "-end", line::UtcText(std::time(nullptr))), ignored);
  }
  reader.join();
  const Figures live = Of(latencies);
  const double rssEnd = ResidentMiB();
  server.Stop();
  serving.join();
  std::printf("%-24s %d runs, %d stations: summary %.1f / %.1f ms, first page %.1f / %.1f ms, serial %.1f / %.1f ms,"
              " tiles %.1f / %.1f ms (median / p95 of %d); row to event with %d stations writing: %.0f / %.0f ms"
              " (median / p95, max %.0f, %zu rows, %zu missed); resident %.1f MiB at start, %.1f after the"
              " queries, %.1f after the writes\n",
              name.c_str(), kRuns, kStations, summary.median, summary.p95, page.median, page.p95, serial.median,
              serial.p95, stations.median, stations.p95, kRequests, kStations, live.median, live.p95, live.max,
              latencies.size(), missing, rssStart, rssQueries, rssEnd);
  std::fflush(stdout);
}

}  // namespace

void BenchLineView(const std::filesystem::path& dir, const std::string& only) {
  const std::time_t now = std::time(nullptr);
  if (std::string("line view SQLite").find(only) != std::string::npos) {
    const std::filesystem::path path = dir / "orvik-bench-line.db";
    std::error_code ignored;
    for (const char* end : {"", "-wal", "-shm"}) std::filesystem::remove(path.string() + end, ignored);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    const std::string sql = std::string(kSqliteTable) + "BEGIN; " + FillSql(false, now) + " COMMIT;";
    char* error = nullptr;
    const Clock::time_point start = Clock::now();
    const bool filled = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK;
    if (!filled) std::printf("line view SQLite: cannot fill: %s\n", error != nullptr ? error : "?");
    sqlite3_free(error);
    sqlite3_close(db);
    if (filled) {
      std::printf("%-24s filled in %.1f s\n", "line view SQLite", Ms(Clock::now() - start) / 1000);
      Measure("line view SQLite", path.string(), false);
    }
    for (const char* end : {"", "-wal", "-shm"}) std::filesystem::remove(path.string() + end, ignored);
  }
  if (std::string("line view PostgreSQL").find(only) != std::string::npos) {
    const char* uri = std::getenv("ORVIK_BENCH_PG_URI");
    if (uri == nullptr || *uri == '\0') {
      std::printf("%-24s skipped: set ORVIK_BENCH_PG_URI to a local server's URI\n", "line view PostgreSQL");
      return;
    }
    PGconn* conn = PQconnectdb(uri);
    const std::string sql = std::string(kPostgresTable) + FillSql(true, now);
    PGresult* result = PQexec(conn, sql.c_str());
    const bool filled = PQresultStatus(result) == PGRES_TUPLES_OK || PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!filled) std::printf("line view PostgreSQL: cannot fill: %s\n", PQerrorMessage(conn));
    PQclear(result);
    PQfinish(conn);
    if (filled) Measure("line view PostgreSQL", uri, true);
  }
}

}  // namespace orvik::bench
