// The record in a PostgreSQL server that the stations of a line share. The
// same table as SQLite's; the run id is unique, so that a row sent twice (a
// spool delivered again after a crash) is stored once.
//
// Every wait on the server is bounded (record.h): the connection is used
// without blocking, each wait is a poll() with a deadline, and the server
// itself ends a statement after kServerStatementTimeout. A server that does
// not answer within the bound is a lost server.
//
// When the server is lost, a unit's result is kept in a local spool (JSON
// lines, flushed to the disk) and the unit's result stands; a unit that has
// not started yet is not started. A later start, or the next unit once the
// server answers again, sends the spool.
#include <libpq-fe.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

#include "log/log_file.h"
#include "record/append_file.h"
#include "record/backends.h"
#include "record/pg_connect.h"
#include "record/record_os.h"
#include "record/socket_wait.h"
#include "record/sql_schema.h"

namespace orvik::record {
namespace {

using Clock = std::chrono::steady_clock;

struct ResultClear {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Conn = PgConn;
using Result = std::unique_ptr<PGresult, ResultClear>;

std::string Message(const char* text) { return PgMessage(text); }

// Text for a column of type TEXT: the server takes valid UTF-8 without NUL.
std::string DbText(const std::string& text) { return EscapeBytes(text, true); }

std::uint64_t Fnv1a(std::string_view text) {
  std::uint64_t hash = 1469598103934665603ull;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return hash;
}

std::string Seconds(std::chrono::milliseconds bound) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(bound.count()) / 1000.0);
  return text;
}

// "20261208T084105Z": for the names of spool files kept aside.
std::string UtcStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  if (!BreakDownTime(now, false, utc)) return "0";
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

// How a statement ended.
enum class Outcome {
  Done,     // the server took it
  Refused,  // the server answered with an error: the connection is fine
  Lost,     // no answer within the bound, or the connection is gone
};

// A statement's parameters as libpq takes them: text, except those marked
// as bytes (sent and compared as they are).
struct Params {
  std::vector<std::optional<std::string>> values;
  std::vector<bool> binary;
  void Null() {
    values.emplace_back();
    binary.push_back(false);
  }
  void Text(std::string value) {
    values.push_back(std::move(value));
    binary.push_back(false);
  }
  void Bytes(std::string value) {
    values.push_back(std::move(value));
    binary.push_back(true);
  }
};

// A row of a text-format result (the serial's bytea in its hex form).
class PostgresRow final : public SqlRow {
 public:
  PostgresRow(PGresult* result, int row) : m_result(result), m_row(row) {}
  bool IsNull(int column) const override { return PQgetisnull(m_result, m_row, column) != 0; }
  std::string Text(int column) const override { return PQgetvalue(m_result, m_row, column); }
  std::string Bytes(int column) const override {
    std::size_t length = 0;
    unsigned char* bytes =
        PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(m_result, m_row, column)), &length);
    if (bytes == nullptr) return {};
    std::string value(reinterpret_cast<const char*>(bytes), length);
    PQfreemem(bytes);
    return value;
  }
  std::int64_t Integer(int column) const override { return std::strtoll(PQgetvalue(m_result, m_row, column), nullptr, 10); }
  bool Flag(int column) const override { return PQgetvalue(m_result, m_row, column)[0] == 't'; }

 private:
  PGresult* m_result;
  int m_row;
};

class PostgresRecord final : public StationRecord {
 public:
  PostgresRecord(const std::string& uri, const RecordOptions& options)
      : StationRecord(options), m_uri(uri), m_shown(DisplayName(uri)) {
    char name[40];
    std::snprintf(name, sizeof name, "record-spool-%016llx", static_cast<unsigned long long>(Fnv1a(m_shown)));
    m_spoolStem = name;
  }

  bool Open(std::string& error, std::string& notice) {
    if (HoldsPassword(m_uri)) {
      error = kPasswordRefusal;
      return false;
    }
    if (!Connect(error)) {
      error = "cannot reach the record server " + m_server + ": " + error;
      return false;
    }
    // The shape first: nothing is changed on a server whose table is not a
    // station record, or of a newer version.
    if (!ReadShape(error) || !CheckShape(error)) return false;
    if (m_options.readOnly) {
      if (!m_tableExists) {
        error = "the server holds no record (no table units)";
        return false;
      }
      return CheckRights(error);
    }
    if (m_version < kSchemaVersion) {
      // One station creates or upgrades the table, in one transaction; the
      // others wait for its lock and find it done.
      const std::string was = m_tableExists ? "version " + std::to_string(m_version) : "no table";
      std::string why;
      if (Exec("BEGIN", {}, why) != Outcome::Done ||
          Exec("SELECT pg_advisory_xact_lock(7301953)", {}, why) != Outcome::Done ||
          Exec(PostgresSchemaSql().c_str(), {}, why) != Outcome::Done || Exec("COMMIT", {}, why) != Outcome::Done) {
        std::string ignored;
        if (m_conn) Exec("ROLLBACK", {}, ignored);
        error = m_conn ? "the record on the server (" + was + ") could not be made version " +
                             std::to_string(kSchemaVersion) + ": " + why +
                             " (a role that may not create or alter it needs the table's owner to run "
                             "docs/record-server.sql)"
                       : why;
        return false;
      }
      if (!ReadShape(error) || !CheckShape(error)) return false;
    }
    return CheckRights(error) && Deliver(error, notice);
  }

  std::optional<std::string> UpdatedAt(const std::string& serial, bool mcu, bool usb) override {
    if (serial.empty() || (!mcu && !usb)) return std::nullopt;
    const std::lock_guard<std::mutex> lock(m_lock);
    if (!m_conn) return std::nullopt;
    std::string error;
    Params params;
    params.Bytes(serial);
    Result result;
    if (Exec(UpdatedQuery().c_str(), params, error, &result) != Outcome::Done || PQntuples(result.get()) != 1) {
      return std::nullopt;
    }
    const RecordLine latest = DecodeRow(PostgresRow(result.get(), 0));
    if (!ShowsUpdated(latest, m_options.image, mcu, usb)) return std::nullopt;
    return latest.time;
  }

  bool Started(const Run& run, std::string& error) override {
    const std::lock_guard<std::mutex> lock(m_lock);
    if (!m_conn && !Reconnect(error)) return false;
    return Upsert(LineFor(run, kStateStarted), error) == Outcome::Done;
  }

  bool Finished(const Run& run, std::string& error) override {
    const std::lock_guard<std::mutex> lock(m_lock);
    const RecordLine line = LineFor(run, kStateFinished);
    std::string lost = m_lostReason;
    if (m_conn) {
      const Outcome outcome = Upsert(line, error);
      if (outcome == Outcome::Done) {
        error.clear();
        return true;
      }
      // A row the server refuses would be refused again from the spool.
      if (outcome == Outcome::Refused) return false;
      lost = error;
    }
    // Kept on this machine, to be sent when a station next reaches the server.
    std::string spoolError;
    if (!Spool(line, spoolError)) {
      error = lost + "; the row could not be kept in " + SpoolPath().string() + ": " + spoolError;
      return false;
    }
    error = lost + "; the row was kept in " + SpoolPath().string() + " and is sent when a station next reaches " +
            m_shown;
    return true;
  }

  std::string Where() const override { return m_shown; }

  using StationRecord::History;
  bool History(const std::optional<std::string>& serial, const RunVisitor& each, std::string& error) override {
    const std::lock_guard<std::mutex> lock(m_lock);
    if (!m_conn) {
      error = m_lostReason;
      return false;
    }
    const std::string sql = std::string("SELECT ") + SelectColumns(m_version) + " FROM units" +
                            (serial ? " WHERE serial = $1" : "") + " ORDER BY id DESC";
    Params params;
    if (serial) params.Bytes(*serial);
    // One row at a time from the server: the history's memory stays bounded.
    bool stopped = false;
    const Outcome outcome = Exec(sql.c_str(), params, error, nullptr, [&](PGresult* r) {
      for (int row = 0; row < PQntuples(r) && !stopped; ++row) stopped = !each(DecodeRow(PostgresRow(r, row)));
    }, &stopped);
    return outcome == Outcome::Done || (stopped && outcome != Outcome::Refused);
  }

 private:
  // The table's version and columns as the server has them.
  bool ReadShape(std::string& error) {
    Result shape;
    if (Exec("SELECT to_regclass('units') IS NOT NULL, to_regclass('orvik_schema') IS NOT NULL,"
             " (SELECT string_agg(attname, ',' ORDER BY attname) FROM pg_attribute"
             "  WHERE attrelid = to_regclass('units') AND attnum > 0 AND NOT attisdropped)",
             {}, error, &shape) != Outcome::Done) {
      return false;
    }
    m_tableExists = std::string(PQgetvalue(shape.get(), 0, 0)) == "t";
    const bool versioned = std::string(PQgetvalue(shape.get(), 0, 1)) == "t";
    m_columns = PQgetvalue(shape.get(), 0, 2);
    m_version = m_tableExists ? 1 : 0;
    if (versioned) {
      Result version;
      if (Exec("SELECT COALESCE(MAX(version), 0) FROM orvik_schema", {}, error, &version) != Outcome::Done) {
        return false;
      }
      m_version = std::atoi(PQgetvalue(version.get(), 0, 0));
    }
    return true;
  }

  bool CheckShape(std::string& error) const {
    if (m_version > kSchemaVersion) {
      error = "its schema version is " + std::to_string(m_version) + ", newer than this program's (" +
              std::to_string(kSchemaVersion) + "): a newer orvik-updater-cli wrote it";
      return false;
    }
    if (!m_tableExists) return true;
    std::vector<std::string> expected = ColumnsOfVersion(std::max(m_version, 1));
    std::sort(expected.begin(), expected.end());
    std::string names;
    for (const std::string& name : expected) names += (names.empty() ? "" : ",") + name;
    if (names != m_columns) {
      error = "the table units on the server is not a station record of version " +
              std::to_string(std::max(m_version, 1)) + " (its columns: " + m_columns + "); nothing was changed";
      return false;
    }
    return true;
  }

  // The rights a station needs, each asked of the server, the first missing
  // one named: refused at start rather than unit by unit.
  bool CheckRights(std::string& error) {
    const bool write = !m_options.readOnly;
    Result rights;
    if (Exec("SELECT current_user, has_table_privilege('units', 'SELECT'), has_table_privilege('units', 'INSERT'),"
             " has_table_privilege('units', 'UPDATE'),"
             " has_sequence_privilege(pg_get_serial_sequence('units', 'id'), 'USAGE'),"
             " to_regclass('units_rev_seq') IS NOT NULL AND has_sequence_privilege('units_rev_seq', 'USAGE')",
             {}, error, &rights) != Outcome::Done) {
      return false;
    }
    const auto has = [&](int column) { return std::string(PQgetvalue(rights.get(), 0, column)) == "t"; };
    const std::string role = PQgetvalue(rights.get(), 0, 0);
    struct Right {
      int column;
      bool needed;
      const char* what;
    };
    for (const Right& right : {Right{1, true, "SELECT on units"}, Right{2, write, "INSERT on units"},
                               Right{3, write, "UPDATE on units"}, Right{4, write, "USAGE on the sequence units_id_seq"},
                               Right{5, write, "USAGE on the sequence units_rev_seq"}}) {
      if (right.needed && !has(right.column)) {
        error = "the role " + role + " lacks " + right.what + " (the table's owner grants it: see docs/record-server.sql)";
        return false;
      }
    }
    return true;
  }

  std::string Scrubbed(const std::string& text) const { return WithoutCredentials(text, m_uri); }

  // Connects within the connection bound (PgConnect).
  bool Connect(std::string& error) {
    m_conn.reset();
    Conn conn = PgConnect(m_uri, PgConnectRequest{"orvik-updater-cli", m_options.readOnly}, m_server, error);
    if (!conn) return false;
    m_conn = std::move(conn);
    m_lostReason.clear();
    return true;
  }

  // A lost server is tried again before a unit starts, at most once per
  // kServerRetryInterval; once it answers, what the spool holds is sent.
  bool Reconnect(std::string& error) {
    if (m_lastTry && Clock::now() - *m_lastTry < kServerRetryInterval) {
      error = m_lostReason;
      return false;
    }
    m_lastTry = Clock::now();
    std::string reason;
    if (!Connect(reason)) {
      m_lostReason = "the record server " + m_server + " is lost: " + reason;
      error = m_lostReason;
      return false;
    }
    std::string notice;
    if (!Deliver(reason, notice)) {
      error = reason;
      return m_conn != nullptr;  // a spool that could not be sent does not stop the unit
    }
    return true;
  }

  void MarkLost(const std::string& reason) {
    m_conn.reset();
    m_lostReason = reason;
    m_lastTry = Clock::now();
  }

  // Runs `sql` with `params` (a multi-statement text when there are none)
  // and waits for every result, each wait bounded. `last` gets the last
  // result; `rows` (when given) gets the rows one at a time as they come.
  Outcome Exec(const char* sql, const Params& params, std::string& error, Result* last = nullptr,
               const std::function<void(PGresult*)>& rows = {}, const bool* stop = nullptr) {
    if (!m_conn) {
      error = m_lostReason;
      return Outcome::Lost;
    }
    PGconn* conn = m_conn.get();
    const int count = static_cast<int>(params.values.size());
    std::vector<const char*> values(count);
    std::vector<int> lengths(count), formats(count);
    for (int i = 0; i < count; ++i) {
      values[i] = params.values[i] ? params.values[i]->data() : nullptr;
      lengths[i] = params.values[i] ? static_cast<int>(params.values[i]->size()) : 0;
      formats[i] = params.binary[i] ? 1 : 0;
    }
    const int sent = count == 0 && !rows ? PQsendQuery(conn, sql)
                                         : PQsendQueryParams(conn, sql, count, nullptr, values.data(), lengths.data(),
                                                             formats.data(), 0);
    if (sent != 1) return Failed(error);
    if (rows) PQsetSingleRowMode(conn);
    Clock::time_point deadline = Clock::now() + m_options.serverWait;
    // Whatever part of the statement the socket did not take yet.
    for (;;) {
      const int flushed = PQflush(conn);
      if (flushed == 0) break;
      if (flushed < 0) return Failed(error);
      if (WaitSocket(PQsocket(conn), true, deadline) == SocketReady::TimedOut) return TimedOut(error);
    }
    Outcome outcome = Outcome::Done;
    for (;;) {
      while (PQisBusy(conn)) {
        const SocketReady ready = WaitSocket(PQsocket(conn), false, deadline);
        if (ready == SocketReady::TimedOut) return TimedOut(error);
        if (PQconsumeInput(conn) != 1) return Failed(error);
      }
      Result result(PQgetResult(conn));
      if (!result) break;
      // Each row or result that arrives starts the bound again: a long
      // history is slow, not hung.
      deadline = Clock::now() + m_options.serverWait;
      const ExecStatusType status = PQresultStatus(result.get());
      if (status == PGRES_SINGLE_TUPLE || (status == PGRES_TUPLES_OK && rows)) {
        if (rows && (stop == nullptr || !*stop)) rows(result.get());
        if (stop != nullptr && *stop) {
          // The reader has what it wants: the rest is not waited for.
          MarkLost("the history was read in part");
          return Outcome::Done;
        }
      } else if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && outcome == Outcome::Done) {
        error = Scrubbed(Message(PQresultErrorMessage(result.get())));
        outcome = Outcome::Refused;
      }
      if (last != nullptr) *last = std::move(result);
    }
    if (PQstatus(conn) == CONNECTION_BAD) return Failed(error);
    return outcome;
  }

  Outcome TimedOut(std::string& error) {
    error = "the record server " + m_server + " did not answer within " + Seconds(m_options.serverWait);
    MarkLost(error);
    return Outcome::Lost;
  }

  // The connection's own error: lost when the connection is gone, refused
  // when it was only the statement.
  Outcome Failed(std::string& error) {
    const std::string message = Scrubbed(Message(PQerrorMessage(m_conn.get())));
    if (PQstatus(m_conn.get()) == CONNECTION_OK) {
      error = message;
      return Outcome::Refused;
    }
    error = "the record server " + m_server + " was lost: " + message;
    MarkLost(error);
    return Outcome::Lost;
  }

  Outcome Upsert(const RecordLine& line, std::string& error) {
    Params params;
    static_assert(kColumnCount == 23);
    for (const std::string* text : {&line.runId, &line.state, &line.time, &line.host, &line.station,
                                    &line.operatorName, &line.programVersion, &line.path}) {
      params.Text(DbText(*text));
    }
    params.Bytes(line.serial);
    params.Text(DbText(line.port));
    params.Text(DbText(line.slot));
    params.Text(line.mcu ? "t" : "f");
    params.Text(line.usb ? "t" : "f");
    for (const std::string* text : {&line.mcuVersion, &line.usbVersion, &line.mcuChecksum, &line.usbChecksum}) {
      params.Text(DbText(*text));
    }
    if (line.Finished()) {
      params.Text(std::to_string(line.status));
    } else {
      params.Null();  // no status while started
    }
    params.Text(std::to_string(line.failure));
    params.Text(DbText(line.message));
    params.Text(std::to_string(line.durationMs));
    params.Text(DbText(line.timeUtc.empty() ? UtcTimeOf(line.time) : line.timeUtc));
    if (line.Finished()) {
      params.Text(UtcNow());
    } else {
      params.Null();
    }
    static const std::string sql = PostgresUpsertSql();
    return Exec(sql.c_str(), params, error);
  }

  // --- The spool ------------------------------------------------------------
  //
  // Files in the spool folder, per server (STEM: record-spool-HASH):
  //   STEM.jsonl          rows waiting, appended to by any station
  //   STEM.lock           held to append to STEM.jsonl or to take it away
  //   STEM.send.lock      held by the one station that sends
  //   STEM.sending-ID.jsonl  taken away by a sender; removed once the
  //                          server has every row (a sender that crashed
  //                          leaves it to the next one: the run id makes a
  //                          row sent twice one row)
  //   STEM.bad-TIME.jsonl lines that do not parse (a line cut short), kept
  //                       aside, never dropped

  std::filesystem::path SpoolPath() const { return m_options.spoolFolder / (m_spoolStem + ".jsonl"); }
  std::filesystem::path SpoolFile(const std::string& suffix) const {
    return m_options.spoolFolder / (m_spoolStem + suffix);
  }

  bool Spool(const RecordLine& line, std::string& error) {
    if (!MakePrivateFolder(m_options.spoolFolder, error)) return false;
    const auto lock = FileLock::Take(SpoolFile(".lock"), kSpoolLockBound, error);
    if (!lock) return false;
    // A last line that a crash cut short is ended first, so that this one
    // stays whole.
    std::string bytes = FormatRecordLine(RecordFormat::JsonLines, line);
    std::string ignored;
    if (const auto existing = RandomReadFile::Open(SpoolPath(), ignored); existing && existing->Size() > 0) {
      char last = '\n';
      if (existing->ReadAt(existing->Size() - 1, &last, 1, ignored) == 1 && last != '\n') bytes.insert(0, 1, '\n');
    }
    const auto spool = AppendFile::Open(SpoolPath(), error);
    return spool && spool->Append(bytes, error);
  }

  // Sends what stations kept in the spool. Nothing to do when another
  // station is sending it now.
  bool Deliver(std::string& error, std::string& notice) {
    std::error_code code;
    if (!std::filesystem::exists(m_options.spoolFolder, code)) return true;
    const auto sender = FileLock::Take(SpoolFile(".send.lock"), std::chrono::milliseconds(0), error);
    if (!sender) return true;
    {
      const auto lock = FileLock::Take(SpoolFile(".lock"), kSpoolLockBound, error);
      if (!lock) return false;
      if (std::filesystem::exists(SpoolPath(), code)) {
        std::filesystem::rename(SpoolPath(), SpoolFile(".sending-" + NewRunId() + ".jsonl"), code);
        if (code) {
          error = "the spool " + SpoolPath().string() + " cannot be taken: " + code.message();
          return false;
        }
      }
    }
    std::vector<std::filesystem::path> taken;
    const std::string prefix = m_spoolStem + ".sending-";
    for (const auto& entry : std::filesystem::directory_iterator(m_options.spoolFolder, code)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(prefix, 0) == 0) taken.push_back(entry.path());
    }
    std::size_t sent = 0, bad = 0;
    std::filesystem::path aside;
    for (const std::filesystem::path& file : taken) {
      if (!SendSpool(file, sent, bad, aside, error)) return false;
    }
    if (sent != 0) {
      notice = "sent " + std::to_string(sent) + (sent == 1 ? " row" : " rows") + " kept in " + SpoolPath().string() +
               " to " + m_shown;
    }
    if (bad != 0) {
      notice += std::string(notice.empty() ? "" : "; ") + std::to_string(bad) +
                (bad == 1 ? " spooled line that cannot be read (cut short?) was" : " spooled lines that cannot be read (cut short?) were") +
                " kept aside in " + aside.string();
    }
    return true;
  }

  // One taken spool file, in one transaction: every row that parses and
  // that the server takes; the others are kept aside. The file is removed
  // once the server has committed.
  bool SendSpool(const std::filesystem::path& file, std::size_t& sent, std::size_t& bad,
                 std::filesystem::path& aside, std::string& error) {
    std::string readError;
    const std::optional<std::string> text = ReadRegularFile(file, readError);
    if (!text) {
      error = "the spool " + file.string() + " cannot be read: " + readError;
      return false;
    }
    std::vector<RecordLine> rows;
    std::string keptAside;
    std::string_view rest = *text;
    while (!rest.empty()) {
      const std::size_t end = rest.find('\n');
      const std::string_view line = rest.substr(0, end);
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
      if (line.find_first_not_of(" \r\t") == std::string_view::npos) continue;
      if (auto parsed = ParseJsonLine(line)) {
        rows.push_back(std::move(*parsed));
      } else {
        keptAside.append(line);
        keptAside += '\n';
      }
    }
    if (Exec("BEGIN", {}, error) != Outcome::Done) return false;
    for (const RecordLine& row : rows) {
      std::string rowError;
      if (Exec("SAVEPOINT spooled_row", {}, error) != Outcome::Done) return false;
      const Outcome outcome = Upsert(row, rowError);
      if (outcome == Outcome::Lost) {
        error = rowError;
        return false;
      }
      if (outcome == Outcome::Refused) {
        // Refused by the server (not lost): kept aside with the rest.
        if (Exec("ROLLBACK TO SAVEPOINT spooled_row", {}, error) != Outcome::Done) return false;
        keptAside += FormatRecordLine(RecordFormat::JsonLines, row);
        continue;
      }
      ++sent;
    }
    if (Exec("COMMIT", {}, error) != Outcome::Done) return false;
    if (!keptAside.empty()) {
      aside = SpoolFile(".bad-" + UtcStamp() + ".jsonl");
      std::string asideError;
      const auto asideFile = AppendFile::Open(aside, asideError);
      if (!asideFile || !asideFile->Append(keptAside, asideError)) {
        // The taken file stays, and with it every line: sent again next time.
        error = "spooled lines that cannot be read could not be kept aside in " + aside.string() + ": " + asideError;
        return false;
      }
      bad += static_cast<std::size_t>(std::count(keptAside.begin(), keptAside.end(), '\n'));
    }
    std::error_code removed;
    std::filesystem::remove(file, removed);
    return true;
  }

  std::mutex m_lock;  // the connection and the lost state
  std::string m_uri;
  std::string m_shown;
  std::string m_server;  // the host, for messages
  std::string m_spoolStem;
  Conn m_conn;  // null while the server is lost
  std::string m_lostReason;
  std::optional<Clock::time_point> m_lastTry;
  bool m_tableExists = false;
  int m_version = 0;
  std::string m_columns;  // sorted, comma-separated
};

}  // namespace

std::unique_ptr<StationRecord> OpenPostgresRecord(const std::string& uri, const RecordOptions& options,
                                                  std::string& error, std::string& notice) {
  auto record = std::make_unique<PostgresRecord>(uri, options);
  if (!record->Open(error, notice)) return nullptr;
  return record;
}

}  // namespace orvik::record
