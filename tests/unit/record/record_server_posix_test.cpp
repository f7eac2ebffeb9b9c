// The record on a PostgreSQL server that stops answering: a private server
// (tests/record/pg_server.sh) whose backend for the record's connection is
// stopped with SIGSTOP, as a hung host or a pulled cable would leave it.
// Skipped where the server programs are not installed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "record/record.h"

namespace orvik::record {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kWait{1500};  // the tests' bound on a server's answer

std::string Shell(const std::string& command, int* status = nullptr) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  std::array<char, 4096> buffer{};
  while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) output += buffer.data();
  const int code = ::pclose(pipe);
  if (status != nullptr) *status = WIFEXITED(code) ? WEXITSTATUS(code) : -1;
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

class Server {
 public:
  Server() {
    char name[] = "/tmp/orvik-pg.XXXXXX";
    if (::mkdtemp(name) == nullptr) return;
    m_dir = name;
    fs::permissions(m_dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    const char* source = std::getenv("ORVIK_SOURCE_DIR");
    m_script = std::string(source != nullptr ? source : ".") + "/tests/record/pg_server.sh";
    int status = 0;
    Shell("bash '" + m_script + "' start '" + m_dir.string() + "' 2>&1", &status);
    m_skipped = status == 77;
    m_started = status == 0;
    if (m_started) m_uri = Shell("cat '" + m_dir.string() + "/uri'");
  }
  ~Server() {
    for (const int pid : m_stopped) ::kill(pid, SIGCONT);
    if (m_started) Shell("bash '" + m_script + "' stop '" + m_dir.string() + "' immediate");
    std::error_code ignored;
    if (!m_dir.empty()) fs::remove_all(m_dir, ignored);
  }
  bool Skipped() const { return m_skipped; }
  bool Started() const { return m_started; }
  const std::string& Uri() const { return m_uri; }
  fs::path Dir() const { return m_dir; }

  std::string Sql(const std::string& sql) { return Shell("psql -X -Atq -d '" + m_uri + "' -c \"" + sql + "\" 2>&1"); }

  // The backends serving the record's connections, newest first.
  std::vector<int> Backends() {
    std::vector<int> pids;
    const std::string text = Sql(
        "SELECT pid FROM pg_stat_activity WHERE application_name = 'orvik-updater-cli' ORDER BY backend_start DESC");
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t end = std::min(text.find('\n', at), text.size());
      pids.push_back(std::atoi(text.substr(at, end - at).c_str()));
      at = end + 1;
    }
    return pids;
  }
  void Stop(int pid) {
    ::kill(pid, SIGSTOP);
    m_stopped.push_back(pid);
  }

 private:
  fs::path m_dir;
  std::string m_script;
  std::string m_uri;
  bool m_skipped = false;
  bool m_started = false;
  std::vector<int> m_stopped;
};

RecordOptions Options(const fs::path& spool) {
  RecordOptions options;
  options.image = {"Y1-3", "Y1-1", "0x02ae", "0x63ed"};
  options.station = "s1";
  options.spoolFolder = spool;
  options.serverWait = kWait;
  return options;
}

Recorder::Run RunOf(const Unit& unit, std::string id) {
  Recorder::Run run;
  run.runId = std::move(id);
  run.unit = &unit;
  run.time = "2026-12-08T09:41:05+01:00";
  run.message = "Update complete";
  return run;
}

#define ORVIK_NEED_SERVER(server)                                              \
  if ((server).Skipped()) GTEST_SKIP() << "no PostgreSQL server programs here"; \
  ASSERT_TRUE((server).Started()) << "the test server did not start"

// A server that hangs while a unit runs: the result waits at most the
// bound, goes to the spool and stands; the next unit is not started; a
// later start sends the spool, and the row is stored once.
TEST(RecordServer, AServerThatHangsDuringAUnitIsLostAndTheResultSpooled) {
  Server server;
  ORVIK_NEED_SERVER(server);
  const fs::path spool = server.Dir() / "spool";
  std::string error, notice;
  auto record = OpenRecord(server.Uri(), Options(spool), error, notice);
  ASSERT_TRUE(record) << error;
  Unit unit;
  unit.path = "emulated:1";
  unit.serial = "H1";
  const auto run = RunOf(unit, NewRunId());
  ASSERT_TRUE(record->Started(run, error)) << error;
  const std::vector<int> backends = server.Backends();
  ASSERT_EQ(backends.size(), 1u);
  server.Stop(backends[0]);

  const Clock::time_point begin = Clock::now();
  EXPECT_TRUE(record->Finished(run, error));
  EXPECT_LT(Clock::now() - begin, kWait + milliseconds(1000));
  EXPECT_NE(error.find("did not answer within 1.5 s"), std::string::npos) << error;
  EXPECT_NE(error.find("the row was kept in " + spool.string()), std::string::npos) << error;
  EXPECT_EQ(fs::status(spool).permissions() & fs::perms::all, fs::perms::owner_all);

  // Before the next unit: lost, said at once, the unit not started.
  const Clock::time_point next = Clock::now();
  EXPECT_FALSE(record->Started(RunOf(unit, NewRunId()), error));
  EXPECT_LT(Clock::now() - next, milliseconds(500));
  EXPECT_NE(error.find("did not answer"), std::string::npos) << error;

  auto again = OpenRecord(server.Uri(), Options(spool), error, notice);
  ASSERT_TRUE(again) << error;
  EXPECT_NE(notice.find("sent 1 row kept in "), std::string::npos) << notice;
  EXPECT_EQ(server.Sql("SELECT state, count(*) FROM units WHERE run_id = '" + run.runId + "' GROUP BY state"),
            "finished|1");
}

// A server that hangs before a unit starts: the start is refused within the
// bound, with the reason.
TEST(RecordServer, AServerThatHangsBeforeAUnitRefusesItsStartWithinTheBound) {
  Server server;
  ORVIK_NEED_SERVER(server);
  std::string error, notice;
  auto record = OpenRecord(server.Uri(), Options(server.Dir() / "spool"), error, notice);
  ASSERT_TRUE(record) << error;
  const std::vector<int> backends = server.Backends();
  ASSERT_EQ(backends.size(), 1u);
  server.Stop(backends[0]);
  Unit unit;
  unit.serial = "H2";
  const Clock::time_point begin = Clock::now();
  EXPECT_FALSE(record->Started(RunOf(unit, NewRunId()), error));
  EXPECT_LT(Clock::now() - begin, kWait + milliseconds(1000));
  EXPECT_NE(error.find("the record server"), std::string::npos) << error;
  EXPECT_NE(error.find("did not answer within"), std::string::npos) << error;
  // The skip look-up says "not updated" rather than wait.
  EXPECT_FALSE(record->UpdatedAt("H2", true, true));
}

// Two stations spool at once while others start and send the spool: every
// row reaches the server exactly once, none is lost.
TEST(RecordServer, TwoStationsSharingOneSpoolDeliverEachRowOnce) {
  Server server;
  ORVIK_NEED_SERVER(server);
  const fs::path spool = server.Dir() / "spool";
  std::string error, notice;
  auto a = OpenRecord(server.Uri(), Options(spool), error, notice);
  ASSERT_TRUE(a) << error;
  auto b = OpenRecord(server.Uri(), Options(spool), error, notice);
  ASSERT_TRUE(b) << error;
  for (const int pid : server.Backends()) server.Stop(pid);

  constexpr int kRows = 25;
  std::atomic<bool> writing{true};
  std::atomic<int> spooled{0};
  const auto station = [&](StationRecord& record, const char* name) {
    Unit unit;
    unit.serial = name;
    for (int i = 0; i < kRows; ++i) {
      std::string why;
      if (record.Finished(RunOf(unit, std::string(name) + "-" + std::to_string(i)), why)) ++spooled;
    }
  };
  std::thread first(station, std::ref(*a), "A");
  std::thread second(station, std::ref(*b), "B");
  std::thread sender([&] {
    while (writing) {
      std::string why, said;
      OpenRecord(server.Uri(), Options(spool), why, said);
    }
  });
  first.join();
  second.join();
  writing = false;
  sender.join();
  EXPECT_EQ(spooled, 2 * kRows);
  ASSERT_TRUE(OpenRecord(server.Uri(), Options(spool), error, notice)) << error;
  EXPECT_EQ(server.Sql("SELECT count(*), count(DISTINCT run_id) FROM units WHERE state = 'finished'"),
            std::to_string(2 * kRows) + "|" + std::to_string(2 * kRows));
  for (const auto& entry : fs::directory_iterator(spool)) {
    EXPECT_EQ(entry.path().extension(), ".lock") << entry.path();
  }
}

// A spool line cut short (a crash mid-write) is kept aside with a warning;
// the whole lines around it are sent.
TEST(RecordServer, ASpoolLineCutShortIsKeptAsideNotDropped) {
  Server server;
  ORVIK_NEED_SERVER(server);
  const fs::path spool = server.Dir() / "spool";
  std::string error, notice;
  auto record = OpenRecord(server.Uri(), Options(spool), error, notice);
  ASSERT_TRUE(record) << error;
  for (const int pid : server.Backends()) server.Stop(pid);
  Unit unit;
  unit.serial = "C1";
  ASSERT_TRUE(record->Finished(RunOf(unit, "cut-1"), error)) << error;
  fs::path file;
  for (const auto& entry : fs::directory_iterator(spool)) {
    if (entry.path().extension() == ".jsonl") file = entry.path();
  }
  ASSERT_FALSE(file.empty());
  {
    std::ofstream cut(file, std::ios::app | std::ios::binary);
    cut << "{\"time\":\"2026-12-08T09:41:05+01:00\",\"host\":\"li";
  }
  ASSERT_TRUE(record->Finished(RunOf(unit, "cut-2"), error)) << error;
  auto again = OpenRecord(server.Uri(), Options(spool), error, notice);
  ASSERT_TRUE(again) << error;
  EXPECT_NE(notice.find("sent 2 rows"), std::string::npos) << notice;
  EXPECT_NE(notice.find("1 spooled line that cannot be read"), std::string::npos) << notice;
  std::size_t aside = 0;
  for (const auto& entry : fs::directory_iterator(spool)) {
    if (entry.path().filename().string().find(".bad-") == std::string::npos) continue;
    std::ifstream in(entry.path());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\"host\":\"li"), std::string::npos) << text;
    ++aside;
  }
  EXPECT_EQ(aside, 1u);
}

// The previous version's table on the server, with a finished and a started
// run.
constexpr char kVersion1[] =
    "CREATE TABLE units (id BIGSERIAL PRIMARY KEY, run_id TEXT NOT NULL UNIQUE,"
    " state TEXT NOT NULL CHECK (state IN ('started', 'finished')), time TEXT NOT NULL, host TEXT NOT NULL,"
    " station TEXT NOT NULL, operator TEXT NOT NULL, program_version TEXT NOT NULL, path TEXT NOT NULL,"
    " serial BYTEA NOT NULL, port TEXT NOT NULL, slot TEXT NOT NULL, mcu BOOLEAN NOT NULL, usb BOOLEAN NOT NULL,"
    " mcu_version TEXT NOT NULL, usb_version TEXT NOT NULL, mcu_checksum TEXT NOT NULL, usb_checksum TEXT NOT NULL,"
    " status INTEGER NOT NULL, failure INTEGER NOT NULL, message TEXT NOT NULL, duration_ms BIGINT NOT NULL);"
    "CREATE INDEX units_serial ON units (serial, id);"
    "INSERT INTO units (run_id, state, time, host, station, operator, program_version, path, serial, port, slot,"
    " mcu, usb, mcu_version, usb_version, mcu_checksum, usb_checksum, status, failure, message, duration_ms) VALUES"
    " ('r1', 'finished', '2026-12-08T09:41:05+01:00', 'h', 's', '', '2.0.0.5', '/dev/hidraw3', 'A1', '', '',"
    "  true, true, 'Y1-3', 'Y1-1', '0x02ae', '0x63ed', 0, 0, 'Update complete', 5021),"
    " ('r2', 'started', '2026-12-31T23:30:00-05:30', 'h', 's', '', '2.0.0.5', '/dev/hidraw4', 'A2', '', '',"
    "  true, true, 'Y1-3', 'Y1-1', '0x02ae', '0x63ed', 0, 0, '', 0);";

// A station opening the previous version's table upgrades it in one
// transaction, every row kept; the docs' script, run again, changes nothing.
TEST(RecordServer, AVersion1TableIsUpgradedKeepingEveryRow) {
  Server server;
  ORVIK_NEED_SERVER(server);
  server.Sql(kVersion1);
  std::string error, notice;
  auto record = OpenRecord(server.Uri(), Options(server.Dir() / "spool"), error, notice);
  ASSERT_TRUE(record) << error;
  const std::string rows =
      "SELECT run_id, COALESCE(status::text, 'NULL'), time_utc, rev, COALESCE(finished_utc, 'NULL')"
      " FROM units ORDER BY id";
  EXPECT_EQ(server.Sql(rows), "r1|0|2026-12-08T08:41:05Z|1|2026-12-08T08:41:10Z\n"
                              "r2|NULL|2027-01-01T05:00:00Z|2|NULL");
  EXPECT_EQ(server.Sql("SELECT version FROM orvik_schema"), "2");
  EXPECT_TRUE(record->UpdatedAt("A1", true, true));
  EXPECT_FALSE(record->UpdatedAt("A2", true, true));
  const char* source = std::getenv("ORVIK_SOURCE_DIR");
  const std::string script = std::string(source != nullptr ? source : ".") + "/docs/record-server.sql";
  Shell("psql -X -q -d '" + server.Uri() + "' -v station=orvik -f '" + script + "' 2>&1");
  EXPECT_EQ(server.Sql(rows), "r1|0|2026-12-08T08:41:05Z|1|2026-12-08T08:41:10Z\n"
                              "r2|NULL|2027-01-01T05:00:00Z|2|NULL");
  // New rows get a change counter beyond the upgraded ones.
  Unit unit;
  unit.serial = "A3";
  ASSERT_TRUE(record->Started(RunOf(unit, "r3"), error)) << error;
  EXPECT_EQ(server.Sql("SELECT rev > 2, status IS NULL FROM units WHERE run_id = 'r3'"), "t|t");
}

// A table of other columns is refused before anything is changed; a role
// without a right it needs is refused at start with the right named.
TEST(RecordServer, AForeignTableOrAMissingRightIsRefusedAtStart) {
  Server server;
  ORVIK_NEED_SERVER(server);
  server.Sql("CREATE TABLE units (id INTEGER, name TEXT)");
  std::string error, notice;
  EXPECT_FALSE(OpenRecord(server.Uri(), Options(server.Dir() / "spool"), error, notice));
  EXPECT_NE(error.find("the table units on the server is not a station record"), std::string::npos) << error;
  EXPECT_EQ(error.find("lost"), std::string::npos) << error;
  EXPECT_EQ(server.Sql("SELECT to_regclass('orvik_schema') IS NULL, count(*) FROM pg_attribute"
                       " WHERE attrelid = 'units'::regclass AND attnum > 0"),
            "t|2");

  server.Sql("DROP TABLE units; CREATE ROLE station LOGIN");
  const char* source = std::getenv("ORVIK_SOURCE_DIR");
  const std::string script = std::string(source != nullptr ? source : ".") + "/docs/record-server.sql";
  Shell("psql -X -q -d '" + server.Uri() + "' -v station=station -f '" + script + "' 2>&1");
  std::string uri = server.Uri();
  uri.replace(uri.find("user=orvik"), 10, "user=station");
  auto granted = OpenRecord(uri, Options(server.Dir() / "spool"), error, notice);
  EXPECT_TRUE(granted) << error;
  struct Case {
    const char* revoke;
    const char* named;
  };
  for (const Case& c : {Case{"REVOKE INSERT ON units FROM station", "lacks INSERT on units"},
                        Case{"REVOKE UPDATE ON units FROM station", "lacks UPDATE on units"},
                        Case{"REVOKE USAGE ON SEQUENCE units_rev_seq FROM station", "lacks USAGE on the sequence units_rev_seq"}}) {
    SCOPED_TRACE(c.revoke);
    Shell("psql -X -q -d '" + server.Uri() + "' -v station=station -f '" + script + "' 2>&1");
    server.Sql(c.revoke);
    EXPECT_FALSE(OpenRecord(uri, Options(server.Dir() / "spool"), error, notice));
    EXPECT_NE(error.find(std::string("the role station ") + c.named), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace orvik::record
