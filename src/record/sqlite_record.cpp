// The record in an SQLite database: WAL mode so that readers never wait for
// a writer, synchronous=FULL so that a row that was written survives a power
// loss, and a busy timeout so that the stations of one machine take turns
// writing one file.
//
// At start the record's shape is checked before anything is changed (no WAL
// switch, no table, on a database that is not a station record); a
// version-1 record is upgraded in one transaction, every row kept. A reader
// (--history) opens it read-only and creates nothing beside it.
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "log/native_path.h"
#include "record/backends.h"
#include "record/sql_schema.h"

namespace orvik::record {
namespace {

struct DbClose {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalize {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Db = std::unique_ptr<sqlite3, DbClose>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalize>;

std::string Text(const unsigned char* text, int length) {
  return text == nullptr ? std::string()
                         : std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
}

class SqliteRow final : public SqlRow {
 public:
  explicit SqliteRow(sqlite3_stmt* statement) : m_statement(statement) {}
  bool IsNull(int column) const override { return sqlite3_column_type(m_statement, column) == SQLITE_NULL; }
  std::string Text(int column) const override {
    if (sqlite3_column_type(m_statement, column) == SQLITE_BLOB) return Bytes(column);
    return record::Text(sqlite3_column_text(m_statement, column), sqlite3_column_bytes(m_statement, column));
  }
  std::string Bytes(int column) const override {
    const void* bytes = sqlite3_column_blob(m_statement, column);
    const int length = sqlite3_column_bytes(m_statement, column);
    return bytes == nullptr ? std::string() : std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(length));
  }
  std::int64_t Integer(int column) const override { return sqlite3_column_int64(m_statement, column); }
  bool Flag(int column) const override { return sqlite3_column_int(m_statement, column) != 0; }

 private:
  sqlite3_stmt* m_statement;
};

// "file:" URI for a path: every character a URI gives a meaning escaped.
std::string FileUri(const std::string& path) {
  std::string uri = "file:";
  constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : path) {
    const auto b = static_cast<unsigned char>(c);
    if (b == '%' || b == '?' || b == '#' || b < 0x21 || b >= 0x7F) {
      uri += '%';
      uri += kHex[b >> 4];
      uri += kHex[b & 0x0F];
    } else {
      uri += c;
    }
  }
  return uri;
}

class SqliteRecord final : public StationRecord {
 public:
  SqliteRecord(const std::string& path, const RecordOptions& options) : StationRecord(options), m_path(path) {}

  bool Open(std::string& error) {
    // A FIFO or a device at the path would hold the start up or be read as
    // garbage: only a regular file (or none yet) is a database.
    std::error_code statusError;
    const std::filesystem::path file = PathFromUtf8(m_path);
    const auto status = std::filesystem::status(file, statusError);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
      error = "not a regular file";
      return false;
    }
    if (m_options.readOnly && !std::filesystem::exists(status)) {
      error = "no such file";
      return false;
    }
    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI;
    std::string name = FileUri(m_path);
    if (m_options.readOnly) {
      // Read-only, creating nothing: with no write-ahead log beside it no
      // station has the database open, and it is read as the immutable
      // file it then is (no -shm, no -wal, no lock: a reader with read
      // rights only can read it). With a log, a station is writing: the
      // log and its index are read as they are.
      flags |= SQLITE_OPEN_READONLY;
      name += std::filesystem::exists(m_path + "-wal", statusError) ? "?mode=ro" : "?mode=ro&immutable=1";
    } else {
      flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    }
    const int opened = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
    m_db.reset(db);
    if (opened != SQLITE_OK) return Fail(error);
    sqlite3_busy_timeout(db, static_cast<int>(m_options.busyTimeout.count()));
    sqlite3_extended_result_codes(db, 1);
    if (!Version(m_version, error)) return false;
    if (m_version > kSchemaVersion) {
      error = "its schema version is " + std::to_string(m_version) + ", newer than this program's (" +
              std::to_string(kSchemaVersion) + "): a newer orvik-updater-cli wrote it";
      return false;
    }
    // The shape first: nothing is changed in a database that is not ours.
    if (!CheckShape(error)) return false;
    if (m_options.readOnly) {
      if (m_version == 0) {
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
    if (m_version < kSchemaVersion) {
      // One station creates or upgrades the table; the others wait for its
      // transaction and find it done.
      if (!Exec("BEGIN IMMEDIATE", error)) return false;
      int now = 0;
      bool done = Version(now, error) && (now == kSchemaVersion ||
                                          (Exec(now == 0 ? SqliteCreateSql().c_str() : SqliteUpgradeSql().c_str(), error) &&
                                           Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str(), error)));
      if (!done) {
        std::string ignored;
        Exec("ROLLBACK", ignored);
        return false;
      }
      if (!Exec("COMMIT", error)) return false;
      m_version = kSchemaVersion;
    }
    return true;
  }

  std::optional<std::string> UpdatedAt(const std::string& serial, bool mcu, bool usb) override {
    if (serial.empty() || (!mcu && !usb)) return std::nullopt;
    const std::lock_guard<std::mutex> lock(m_lock);
    std::string error;
    const Statement statement = Prepare(UpdatedQuery(), error);
    if (!statement) return std::nullopt;
    sqlite3_bind_blob(statement.get(), 1, serial.data(), static_cast<int>(serial.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(statement.get()) != SQLITE_ROW) return std::nullopt;
    const RecordLine latest = DecodeRow(SqliteRow(statement.get()));
    if (!ShowsUpdated(latest, m_options.image, mcu, usb)) return std::nullopt;
    return latest.time;
  }

  bool Started(const Run& run, std::string& error) override {
    const std::lock_guard<std::mutex> lock(m_lock);
    return Insert(LineFor(run, kStateStarted), error);
  }

  bool Finished(const Run& run, std::string& error) override {
    const std::lock_guard<std::mutex> lock(m_lock);
    const RecordLine line = LineFor(run, kStateFinished);
    const Statement statement = Prepare(SqliteFinishSql(), error);
    if (!statement) return false;
    const std::string finished = UtcNow();
    sqlite3_bind_int64(statement.get(), 1, line.status);
    sqlite3_bind_int64(statement.get(), 2, line.failure);
    sqlite3_bind_text(statement.get(), 3, line.message.data(), static_cast<int>(line.message.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(statement.get(), 4, line.durationMs);
    sqlite3_bind_text(statement.get(), 5, finished.data(), static_cast<int>(finished.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(statement.get(), 6, line.runId.data(), static_cast<int>(line.runId.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(statement.get()) != SQLITE_DONE) return Fail(error);
    // A run that was never recorded as started gets its row now.
    return sqlite3_changes(m_db.get()) != 0 || Insert(line, error);
  }

  std::string Where() const override { return m_path; }

  using StationRecord::History;
  bool History(const std::optional<std::string>& serial, const RunVisitor& each, std::string& error) override {
    const std::lock_guard<std::mutex> lock(m_lock);
    const Statement statement = Prepare(std::string("SELECT ") + SelectColumns(m_version) + " FROM units" +
                                            (serial ? " WHERE serial = $1" : "") + " ORDER BY id DESC",
                                        error);
    if (!statement) return false;
    if (serial) {
      sqlite3_bind_blob(statement.get(), 1, serial->data(), static_cast<int>(serial->size()), SQLITE_TRANSIENT);
    }
    for (;;) {
      const int step = sqlite3_step(statement.get());
      if (step == SQLITE_DONE) return true;
      if (step != SQLITE_ROW) return Fail(error);
      if (!each(DecodeRow(SqliteRow(statement.get())))) return true;
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
    if (sqlite3_prepare_v2(m_db.get(), sql.c_str(), static_cast<int>(sql.size() + 1), &statement, nullptr) !=
        SQLITE_OK) {
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

  // A table "units" of another program, or a version whose columns are not
  // those this version has, is refused.
  bool CheckShape(std::string& error) {
    const Statement statement = Prepare("SELECT name FROM pragma_table_info('units') ORDER BY cid", error);
    if (!statement) return false;
    std::vector<std::string> columns;
    for (int step; (step = sqlite3_step(statement.get())) == SQLITE_ROW;) {
      columns.push_back(Text(sqlite3_column_text(statement.get(), 0), sqlite3_column_bytes(statement.get(), 0)));
    }
    if (columns.empty() && m_version == 0) return true;  // a new record, or another program's database
    std::vector<std::string> expected = ColumnsOfVersion(m_version == 0 ? kSchemaVersion : m_version);
    std::sort(columns.begin(), columns.end());
    std::sort(expected.begin(), expected.end());
    if (columns != expected) {
      error = columns.empty() ? "its schema version is " + std::to_string(m_version) + " but it has no table units"
                              : "its table units is not a station record of version " +
                                    std::to_string(m_version == 0 ? kSchemaVersion : m_version) +
                                    " (other columns); nothing was changed";
      return false;
    }
    return true;
  }

  bool Insert(const RecordLine& line, std::string& error) {
    const Statement statement = Prepare(SqliteInsertSql(), error);
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
    if (line.Finished()) {
      sqlite3_bind_int64(s, ++index, line.status);
    } else {
      sqlite3_bind_null(s, ++index);  // no status while started
    }
    sqlite3_bind_int64(s, ++index, line.failure);
    text(line.message);
    sqlite3_bind_int64(s, ++index, line.durationMs);
    text(line.timeUtc);
    if (line.Finished()) {
      text(UtcNow());
    } else {
      sqlite3_bind_null(s, ++index);
    }
    if (sqlite3_step(s) != SQLITE_DONE) return Fail(error);
    return true;
  }

  std::mutex m_lock;  // the connection
  std::string m_path;
  Db m_db;
  int m_version = 0;
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
