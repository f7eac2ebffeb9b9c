// The record in a PostgreSQL server that the stations of a line share. The
// same table as SQLite's; the run id is unique, so that a row sent twice (a
// spool delivered again after a crash) is stored once.
//
// When the server is lost mid-station, the unit's row is kept in a local
// spool (JSON lines, one file per server, flushed to the disk) and the
// station ends; the next start against that server sends the spool first.
#include <libpq-fe.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

#include "record/append_file.h"
#include "record/backends.h"
#include "record/sql_schema.h"

namespace orvik::record {
namespace {

constexpr char kCreate[] =
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

// Rows from a spool, or a finished run whose started row may be there: the
// result completes a started row and changes nothing in a finished one.
constexpr char kUpsert[] =
    "INSERT INTO units (run_id, state, time, host, station, operator, program_version, path, serial, port, slot,"
    " mcu, usb, mcu_version, usb_version, mcu_checksum, usb_checksum, status, failure, message, duration_ms)"
    " VALUES ($1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11,$12,$13,$14,$15,$16,$17,$18,$19,$20,$21)"
    " ON CONFLICT (run_id) DO UPDATE SET state = EXCLUDED.state, status = EXCLUDED.status,"
    " failure = EXCLUDED.failure, message = EXCLUDED.message, duration_ms = EXCLUDED.duration_ms"
    " WHERE units.state = 'started' AND EXCLUDED.state = 'finished'";

struct ConnFinish {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};
struct ResultClear {
  void operator()(PGresult* result) const { PQclear(result); }
};
struct OptionsFree {
  void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};
using Conn = std::unique_ptr<PGconn, ConnFinish>;
using Result = std::unique_ptr<PGresult, ResultClear>;

// libpq's message without its line ends.
std::string Message(const char* text) {
  std::string message = text != nullptr ? text : "";
  std::replace(message.begin(), message.end(), '\n', ' ');
  std::replace(message.begin(), message.end(), '\t', ' ');
  while (!message.empty() && message.back() == ' ') message.pop_back();
  return message;
}

// Text for a column of type TEXT: the server takes valid UTF-8 without NUL.
std::string DbText(const std::string& text) { return EscapeBytes(text, true); }

std::uint64_t Fnv1a(std::string_view text) {
  std::uint64_t hash = 1469598103934665603ull;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return hash;
}

class PostgresRecord final : public StationRecord {
 public:
  PostgresRecord(const std::string& uri, const RecordOptions& options)
      : StationRecord(options), m_uri(uri), m_shown(DisplayName(uri)) {
    char name[40];
    std::snprintf(name, sizeof name, "record-spool-%016llx.jsonl", static_cast<unsigned long long>(Fnv1a(m_shown)));
    m_spool = options.spoolFolder / name;
  }

  bool Open(std::string& error, std::string& notice) {
    char* parseError = nullptr;
    const std::unique_ptr<PQconninfoOption, OptionsFree> parsed(PQconninfoParse(m_uri.c_str(), &parseError));
    if (!parsed) {
      error = "not a valid URI: " + Message(parseError);
      PQfreemem(parseError);
      return false;
    }
    std::vector<std::string> keys, values;
    std::string host = "localhost", sslmode, rootcert;
    bool timeout = false;
    for (const PQconninfoOption* option = parsed.get(); option->keyword != nullptr; ++option) {
      if (option->val == nullptr) continue;
      const std::string key = option->keyword;
      if (key == "password") {
        error = "a password in the URI would show in the process list, the shell's history and the log; "
                "give it in PGPASSWORD, ~/.pgpass or a service file instead";
        return false;
      }
      if (key == "host" || key == "hostaddr") host = option->val;
      if (key == "sslmode") sslmode = option->val;
      if (key == "sslrootcert") rootcert = option->val;
      if (key == "connect_timeout") timeout = true;
      keys.push_back(key);
      values.push_back(option->val);
    }
    m_host = host;
    if (!timeout) {
      keys.push_back("connect_timeout");
      values.push_back(std::to_string(kDefaultConnectTimeoutSeconds));
    }
    keys.push_back("application_name");
    values.push_back("orvik-updater-cli");
    // verify-full with no root certificate named: the system's, unless the
    // user keeps one where libpq looks first.
    if ((sslmode == "verify-full" || sslmode == "verify-ca") && rootcert.empty()) {
      const char* home = std::getenv("HOME");
      std::error_code ignored;
      if (home == nullptr || !std::filesystem::exists(std::filesystem::path(home) / ".postgresql" / "root.crt", ignored)) {
        keys.push_back("sslrootcert");
        values.push_back("/etc/ssl/certs/ca-certificates.crt");
      }
    }
    std::vector<const char*> keyPointers, valuePointers;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      keyPointers.push_back(keys[i].c_str());
      valuePointers.push_back(values[i].c_str());
    }
    keyPointers.push_back(nullptr);
    valuePointers.push_back(nullptr);
    m_conn.reset(PQconnectdbParams(keyPointers.data(), valuePointers.data(), 0));
    if (!m_conn || PQstatus(m_conn.get()) != CONNECTION_OK) {
      error = "cannot reach the record server " + host + ": " + (m_conn ? Message(PQerrorMessage(m_conn.get())) : "out of memory");
      return false;
    }
    if (m_options.readOnly) return true;
    // One station creates the table; the others wait for its lock and find it.
    Result exists = Exec("SELECT to_regclass('units') IS NOT NULL", error);
    if (!exists) return false;
    if (std::string(PQgetvalue(exists.get(), 0, 0)) != "t") {
      if (!Exec("BEGIN", error) || !Exec("SELECT pg_advisory_xact_lock(7301953)", error) ||
          !Exec(kCreate, error) || !Exec("COMMIT", error)) {
        return false;
      }
    }
    return Deliver(error, notice);
  }

  std::optional<std::string> UpdatedAt(const std::string& serial, bool mcu, bool usb) override {
    if (serial.empty() || (!mcu && !usb)) return std::nullopt;
    const std::lock_guard<std::mutex> lock(m_lock);
    if (m_lost) return std::nullopt;
    std::string error;
    const char* values[] = {serial.data()};
    const int lengths[] = {static_cast<int>(serial.size())};
    const int formats[] = {1};
    const Result result(PQexecParams(m_conn.get(),
                                     "SELECT state, status, mcu, usb, mcu_checksum, usb_checksum, time FROM units "
                                     "WHERE serial = $1 ORDER BY id DESC LIMIT 1",
                                     1, nullptr, values, lengths, formats, 0));
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK || PQntuples(result.get()) != 1) return std::nullopt;
    const auto text = [&](int column) { return std::string(PQgetvalue(result.get(), 0, column)); };
    if (text(0) != kStateFinished || text(1) != "0" || (text(2) == "t") != mcu || (text(3) == "t") != usb) {
      return std::nullopt;
    }
    if (mcu && (m_options.image.mcuChecksum.empty() || text(4) != m_options.image.mcuChecksum)) return std::nullopt;
    if (usb && (m_options.image.usbChecksum.empty() || text(5) != m_options.image.usbChecksum)) return std::nullopt;
    return UnescapeBytes(text(6));
  }

  bool Started(const Run& run, std::string& error) override {
    const std::lock_guard<std::mutex> lock(m_lock);
    if (m_lost) {
      error = "the record server " + m_host + " was lost";
      return false;
    }
    if (Upsert(LineFor(run, kStateStarted), error)) return true;
    Lost();
    return false;
  }

  bool Finished(const Run& run, std::string& error) override {
    const std::lock_guard<std::mutex> lock(m_lock);
    const RecordLine line = LineFor(run, kStateFinished);
    if (!m_lost && Upsert(line, error)) return true;
    Lost();
    // Kept on this machine, to be sent at the next start.
    std::string spoolError;
    std::error_code ignored;
    std::filesystem::create_directories(m_spool.parent_path(), ignored);
    const auto spool = AppendFile::Open(m_spool, spoolError);
    if (!spool || !spool->Append(FormatRecordLine(RecordFormat::JsonLines, line), spoolError)) {
      error = "the record server " + m_host + " was lost (" + error + "), and the row could not be kept in " +
              m_spool.string() + ": " + spoolError;
      return false;
    }
    error = "the record server " + m_host + " was lost; the row was kept in " + m_spool.string() +
            " and is sent when a station next starts against " + m_shown;
    return false;
  }

  std::string Where() const override { return m_shown; }

  bool History(const std::optional<std::string>& serial, std::vector<RecordLine>& lines, std::string& error) override {
    const std::lock_guard<std::mutex> lock(m_lock);
    const std::string sql = std::string("SELECT ") + kColumns + " FROM units" + (serial ? " WHERE serial = $1" : "") +
                            " ORDER BY id DESC";
    const char* values[] = {serial ? serial->data() : nullptr};
    const int lengths[] = {serial ? static_cast<int>(serial->size()) : 0};
    const int formats[] = {1};
    // Binary results: the serial's bytes as they are.
    const Result result(PQexecParams(m_conn.get(), sql.c_str(), serial ? 1 : 0, nullptr, values, lengths, formats, 0));
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
      error = Message(PQerrorMessage(m_conn.get()));
      return false;
    }
    PGresult* r = result.get();
    for (int row = 0; row < PQntuples(r); ++row) {
      const auto text = [&](int column) { return UnescapeBytes(PQgetvalue(r, row, column)); };
      const auto number = [&](int column) { return std::strtoll(PQgetvalue(r, row, column), nullptr, 10); };
      RecordLine line;
      line.runId = text(0);
      line.state = text(1);
      line.time = text(2);
      line.host = text(3);
      line.station = text(4);
      line.operatorName = text(5);
      line.programVersion = text(6);
      line.path = text(7);
      std::size_t length = 0;
      unsigned char* bytes =
          PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(r, row, 8)), &length);
      if (bytes != nullptr) {
        line.serial.assign(reinterpret_cast<const char*>(bytes), length);
        PQfreemem(bytes);
      }
      line.port = text(9);
      line.slot = text(10);
      line.mcu = text(11) == "t";
      line.usb = text(12) == "t";
      line.mcuVersion = text(13);
      line.usbVersion = text(14);
      line.mcuChecksum = text(15);
      line.usbChecksum = text(16);
      line.status = static_cast<int>(number(17));
      line.failure = static_cast<int>(number(18));
      line.message = text(19);
      line.durationMs = number(20);
      lines.push_back(std::move(line));
    }
    return true;
  }

 private:
  Result Exec(const char* sql, std::string& error) {
    Result result(PQexec(m_conn.get(), sql));
    const ExecStatusType status = PQresultStatus(result.get());
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return result;
    error = Message(PQerrorMessage(m_conn.get()));
    return nullptr;
  }

  bool Upsert(const RecordLine& line, std::string& error) {
    const std::string texts[] = {DbText(line.runId),       DbText(line.state),        DbText(line.time),
                                 DbText(line.host),        DbText(line.station),      DbText(line.operatorName),
                                 DbText(line.programVersion), DbText(line.path),      line.serial,
                                 DbText(line.port),        DbText(line.slot),         line.mcu ? "t" : "f",
                                 line.usb ? "t" : "f",     DbText(line.mcuVersion),   DbText(line.usbVersion),
                                 DbText(line.mcuChecksum), DbText(line.usbChecksum),  std::to_string(line.status),
                                 std::to_string(line.failure), DbText(line.message),  std::to_string(line.durationMs)};
    static_assert(std::size(texts) == kColumnCount);
    const char* values[kColumnCount];
    int lengths[kColumnCount];
    int formats[kColumnCount];
    for (int i = 0; i < kColumnCount; ++i) {
      values[i] = texts[i].data();
      lengths[i] = static_cast<int>(texts[i].size());
      formats[i] = i == 8 ? 1 : 0;  // the serial as bytes
    }
    const Result result(PQexecParams(m_conn.get(), kUpsert, kColumnCount, nullptr, values, lengths, formats, 0));
    if (PQresultStatus(result.get()) == PGRES_COMMAND_OK) return true;
    error = Message(PQerrorMessage(m_conn.get()));
    return false;
  }

  // After a failed statement: whether the connection is gone for good. A
  // lost server is not tried again in this station's life.
  void Lost() {
    if (PQstatus(m_conn.get()) != CONNECTION_OK) m_lost = true;
    m_lost = true;
  }

  // Sends what an earlier station kept in the spool, in one transaction;
  // the spool is removed once the server has it all.
  bool Deliver(std::string& error, std::string& notice) {
    std::string readError;
    const std::optional<std::string> text = ReadRegularFile(m_spool, readError);
    if (!text) {
      error = "the spool " + m_spool.string() + " cannot be read: " + readError;
      return false;
    }
    if (text->empty()) return true;
    std::vector<RecordLine> lines;
    ReadRecord(*text, RecordFormat::JsonLines, [&](const RecordLine& line) { lines.push_back(line); });
    if (!Exec("BEGIN", error)) return false;
    for (const RecordLine& line : lines) {
      if (!Upsert(line, error)) {
        std::string ignored;
        Exec("ROLLBACK", ignored);
        error = "the spool " + m_spool.string() + " could not be sent: " + error;
        return false;
      }
    }
    if (!Exec("COMMIT", error)) return false;
    std::error_code removed;
    std::filesystem::remove(m_spool, removed);
    notice = "sent " + std::to_string(lines.size()) + (lines.size() == 1 ? " row" : " rows") + " kept in " +
             m_spool.string() + " to " + m_shown;
    return true;
  }

  std::mutex m_lock;  // the connection and m_lost
  std::string m_uri;
  std::string m_shown;
  std::string m_host;
  std::filesystem::path m_spool;
  Conn m_conn;
  bool m_lost = false;
};

}  // namespace

std::unique_ptr<StationRecord> OpenPostgresRecord(const std::string& uri, const RecordOptions& options,
                                                  std::string& error, std::string& notice) {
  auto record = std::make_unique<PostgresRecord>(uri, options);
  if (!record->Open(error, notice)) return nullptr;
  return record;
}

}  // namespace orvik::record
