// The record in an SQLite database: WAL mode so that readers never wait for
// a writer, synchronous=FULL so that a row that was written survives a power
// loss, and a busy timeout so that the stations of one machine take turns
// writing one file.
#include <sqlite3.h>

#include <filesystem>
#include <mutex>

#include "record/backends.h"
#include "record/sql_schema.h"

namespace orvik::record {
namespace {

constexpr char kCreate[] =
    "CREATE TABLE IF NOT EXISTS units ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " run_id TEXT NOT NULL UNIQUE,"
    " state TEXT NOT NULL CHECK (state IN ('started', 'finished')),"
    " time TEXT NOT NULL, host TEXT NOT NULL, station TEXT NOT NULL, operator TEXT NOT NULL,"
    " program_version TEXT NOT NULL, path TEXT NOT NULL, serial BLOB NOT NULL, port TEXT NOT NULL,"
    " slot TEXT NOT NULL, mcu INTEGER NOT NULL, usb INTEGER NOT NULL, mcu_version TEXT NOT NULL,"
    " usb_version TEXT NOT NULL, mcu_checksum TEXT NOT NULL, usb_checksum TEXT NOT NULL,"
    " status INTEGER NOT NULL, failure INTEGER NOT NULL, message TEXT NOT NULL, duration_ms INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS units_serial ON units (serial, id);";

struct DbClose {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalize {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Db = std::unique_ptr<sqlite3, DbClose>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalize>;

std::string Text(const unsigned char* text, int length) {
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
}

class SqliteRecord final : public StationRecord {
 public:
  SqliteRecord(const std::string& path, const RecordOptions& options) : StationRecord(options), m_path(path) {}

  bool Open(std::string& error) {
    // A FIFO or a device at the path would hold the start up or be read as
    // garbage: only a regular file (or none yet) is a database.
    std::error_code statusError;
    const auto status = std::filesystem::status(std::filesystem::path(m_path), statusError);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
      error = "not a regular file";
      return false;
    }
    if (m_options.readOnly && !std::filesystem::exists(status)) {
      error = "no such file";
      return false;
    }
    sqlite3* db = nullptr;
    const int flags = (m_options.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                      SQLITE_OPEN_NOMUTEX;
    const int opened = sqlite3_open_v2(m_path.c_str(), &db, flags, nullptr);
    m_db.reset(db);
    if (opened != SQLITE_OK) return Fail(error);
    sqlite3_busy_timeout(db, static_cast<int>(m_options.busyTimeout.count()));
    sqlite3_extended_result_codes(db, 1);
    int version = 0;
    if (!Version(version, error)) return false;
    if (version > kSchemaVersion) {
      error = "its schema version is " + std::to_string(version) + ", newer than this program's (" +
              std::to_string(kSchemaVersion) + "): a newer orvik-updater-cli wrote it";
      return false;
    }
    if (m_options.readOnly) {
      if (version == 0) {
        error = "it holds no record";
        return false;
      }
      return true;
    }
    if (sqlite3_db_readonly(db, "main") == 1) {
      error = "the database is read-only";
      return false;
    }
    // WAL: the journal mode stays with the file; synchronous is per connection.
    if (!Exec("PRAGMA journal_mode=WAL", error) || !Exec("PRAGMA synchronous=FULL", error)) return false;
    if (version == 0) {
      // One station creates the table; the others wait for its transaction
      // and find it there.
      if (!Exec("BEGIN IMMEDIATE", error)) return false;
      if (!Exec(kCreate, error) || !Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str(), error)) {
        Exec("ROLLBACK", error);
        return false;
      }
      if (!Exec("COMMIT", error)) return false;
    }
    return true;
  }

  std::optional<std::string> UpdatedAt(const std::string& serial, bool mcu, bool usb) override {
    if (serial.empty() || (!mcu && !usb)) return std::nullopt;
    const std::lock_guard<std::mutex> lock(m_lock);
    std::string error;
    const Statement statement = Prepare(
        "SELECT state, status, mcu, usb, mcu_checksum, usb_checksum, time FROM units WHERE serial = ? "
        "ORDER BY id DESC LIMIT 1",
        error);
    if (!statement) return std::nullopt;
    sqlite3_bind_blob(statement.get(), 1, serial.data(), static_cast<int>(serial.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(statement.get()) != SQLITE_ROW) return std::nullopt;
    sqlite3_stmt* row = statement.get();
    const auto text = [&](int column) { return Text(sqlite3_column_text(row, column), sqlite3_column_bytes(row, column)); };
    if (text(0) != kStateFinished || sqlite3_column_int64(row, 1) != 0 || (sqlite3_column_int(row, 2) != 0) != mcu ||
        (sqlite3_column_int(row, 3) != 0) != usb) {
      return std::nullopt;
    }
    if (mcu && (m_options.image.mcuChecksum.empty() || text(4) != m_options.image.mcuChecksum)) return std::nullopt;
    if (usb && (m_options.image.usbChecksum.empty() || text(5) != m_options.image.usbChecksum)) return std::nullopt;
    return text(6);
  }

  bool Started(const Run& run, std::string& error) override {
    const std::lock_guard<std::mutex> lock(m_lock);
    return Insert(LineFor(run, kStateStarted), error);
  }

  bool Finished(const Run& run, std::string& error) override {
    const std::lock_guard<std::mutex> lock(m_lock);
    const RecordLine line = LineFor(run, kStateFinished);
    const Statement statement = Prepare(
        "UPDATE units SET state = 'finished', status = ?, failure = ?, message = ?, duration_ms = ? "
        "WHERE run_id = ?",
        error);
    if (!statement) return false;
    sqlite3_bind_int64(statement.get(), 1, line.status);
    sqlite3_bind_int64(statement.get(), 2, line.failure);
    sqlite3_bind_text(statement.get(), 3, line.message.data(), static_cast<int>(line.message.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(statement.get(), 4, line.durationMs);
    sqlite3_bind_text(statement.get(), 5, line.runId.data(), static_cast<int>(line.runId.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(statement.get()) != SQLITE_DONE) return Fail(error);
    // A run that was never recorded as started gets its row now.
    return sqlite3_changes(m_db.get()) != 0 || Insert(line, error);
  }

  std::string Where() const override { return m_path; }

  using StationRecord::History;
  bool History(const std::optional<std::string>& serial, const RunVisitor& each, std::string& error) override {
    const std::lock_guard<std::mutex> lock(m_lock);
    const Statement statement = Prepare(std::string("SELECT ") + kColumns + " FROM units" +
                                            (serial ? " WHERE serial = ?" : "") + " ORDER BY id DESC",
                                        error);
    if (!statement) return false;
    if (serial) {
      sqlite3_bind_blob(statement.get(), 1, serial->data(), static_cast<int>(serial->size()), SQLITE_TRANSIENT);
    }
    sqlite3_stmt* row = statement.get();
    for (;;) {
      const int step = sqlite3_step(row);
      if (step == SQLITE_DONE) return true;
      if (step != SQLITE_ROW) return Fail(error);
      const auto text = [&](int column) {
        return sqlite3_column_type(row, column) == SQLITE_BLOB
                   ? std::string(static_cast<const char*>(sqlite3_column_blob(row, column)),
                                 static_cast<std::size_t>(sqlite3_column_bytes(row, column)))
                   : Text(sqlite3_column_text(row, column), sqlite3_column_bytes(row, column));
      };
      RecordLine line;
      line.runId = text(0);
      line.state = text(1);
      line.time = text(2);
      line.host = text(3);
      line.station = text(4);
      line.operatorName = text(5);
      line.programVersion = text(6);
      line.path = text(7);
      line.serial = text(8);
      line.port = text(9);
      line.slot = text(10);
      line.mcu = sqlite3_column_int(row, 11) != 0;
      line.usb = sqlite3_column_int(row, 12) != 0;
      line.mcuVersion = text(13);
      line.usbVersion = text(14);
      line.mcuChecksum = text(15);
      line.usbChecksum = text(16);
      line.status = sqlite3_column_int(row, 17);
      line.failure = sqlite3_column_int(row, 18);
      line.message = text(19);
      line.durationMs = sqlite3_column_int64(row, 20);
      if (!each(line)) return true;
    }
  }

 private:
  bool Fail(std::string& error) const {
    error = m_db ? sqlite3_errmsg(m_db.get()) : "out of memory";
    return false;
  }

  bool Exec(const char* sql, std::string& error) {
    if (sqlite3_exec(m_db.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    return Fail(error);
  }

  Statement Prepare(const std::string& sql, std::string& error) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db.get(), sql.c_str(), static_cast<int>(sql.size() + 1), &statement, nullptr) != SQLITE_OK) {
      Fail(error);
      return nullptr;
    }
    return Statement(statement);
  }

  bool Version(int& version, std::string& error) {
    const Statement statement = Prepare("PRAGMA user_version", error);
    if (!statement) return false;
    if (sqlite3_step(statement.get()) != SQLITE_ROW) return Fail(error);
    version = sqlite3_column_int(statement.get(), 0);
    return true;
  }

  bool Insert(const RecordLine& line, std::string& error) {
    const Statement statement =
        Prepare(std::string("INSERT INTO units (") + kColumns +
                    ") VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                error);
    if (!statement) return false;
    sqlite3_stmt* s = statement.get();
    int index = 0;
    const auto text = [&](const std::string& value) {
      sqlite3_bind_text(s, ++index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    };
    text(line.runId);
    text(line.state);
    text(line.time);
    text(line.host);
    text(line.station);
    text(line.operatorName);
    text(line.programVersion);
    text(line.path);
    sqlite3_bind_blob(s, ++index, line.serial.data(), static_cast<int>(line.serial.size()), SQLITE_TRANSIENT);
    text(line.port);
    text(line.slot);
    sqlite3_bind_int(s, ++index, line.mcu ? 1 : 0);
    sqlite3_bind_int(s, ++index, line.usb ? 1 : 0);
    text(line.mcuVersion);
    text(line.usbVersion);
    text(line.mcuChecksum);
    text(line.usbChecksum);
    sqlite3_bind_int64(s, ++index, line.status);
    sqlite3_bind_int64(s, ++index, line.failure);
    text(line.message);
    sqlite3_bind_int64(s, ++index, line.durationMs);
    if (sqlite3_step(s) != SQLITE_DONE) return Fail(error);
    return true;
  }

  std::mutex m_lock;  // the connection
  std::string m_path;
  Db m_db;
};

}  // namespace

bool DatabasesBuilt() { return true; }

std::unique_ptr<StationRecord> OpenSqliteRecord(const std::string& path, const RecordOptions& options,
                                                std::string& error, std::string& notice) {
  (void)notice;
  auto record = std::make_unique<SqliteRecord>(path, options);
  if (!record->Open(error)) return nullptr;
  return record;
}

}  // namespace orvik::record
