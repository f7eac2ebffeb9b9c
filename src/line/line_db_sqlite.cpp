// The record in an SQLite file, read-only. A station's commit shows as a new
// PRAGMA data_version on this connection (SQLite raises it whenever another
// connection has changed the file), so that watching costs one cheap pragma
// a few times a second and never reads the table.
#include <sqlite3.h>

#include <filesystem>
#include <thread>

#include "line/line_db.h"

namespace orvik::line {
namespace {

// How often the data version is looked at while waiting for a change.
constexpr std::chrono::milliseconds kPollInterval{100};
// How long a read waits for a station's write lock (a checkpoint).
constexpr int kBusyTimeoutMs = 2000;

struct DbClose {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalize {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalize>;

class SqliteLineDb final : public LineDb {
 public:
  bool Open(const std::string& path, std::string& error) {
    std::error_code statusError;
    const auto status = std::filesystem::status(std::filesystem::path(path), statusError);
    if (!std::filesystem::exists(status)) {
      error = "no such file: " + path;
      return false;
    }
    if (!std::filesystem::is_regular_file(status)) {
      error = "not a regular file: " + path;
      return false;
    }
    sqlite3* db = nullptr;
    const int result = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    m_db.reset(db);
    if (result != SQLITE_OK) {
      error = "cannot open " + path + ": " + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(result));
      return false;
    }
    sqlite3_busy_timeout(m_db.get(), kBusyTimeoutMs);
    // A read-only connection can still be asked to write by a crafted query;
    // there are none here, and the pragma makes sure of it.
    sqlite3_exec(m_db.get(), "PRAGMA query_only = 1", nullptr, nullptr, nullptr);
    return true;
  }

  bool Query(std::string_view sql, const std::vector<Param>& params, const std::function<bool(const Row&)>& row,
             std::string& error) override {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(m_db.get(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr) != SQLITE_OK) {
      error = sqlite3_errmsg(m_db.get());
      sqlite3_finalize(raw);
      return false;
    }
    const Statement statement(raw);
    int index = 0;
    for (const Param& param : params) {
      ++index;
      switch (param.kind) {
        case Param::Kind::Text:
          sqlite3_bind_text(raw, index, param.text.data(), static_cast<int>(param.text.size()), SQLITE_TRANSIENT);
          break;
        case Param::Kind::Bytes:
          sqlite3_bind_blob(raw, index, param.text.data(), static_cast<int>(param.text.size()), SQLITE_TRANSIENT);
          break;
        case Param::Kind::Int: sqlite3_bind_int64(raw, index, param.number); break;
      }
    }
    const int columns = sqlite3_column_count(raw);
    Row cells(static_cast<std::size_t>(columns));
    for (;;) {
      const int step = sqlite3_step(raw);
      if (step == SQLITE_DONE) return true;
      if (step != SQLITE_ROW) {
        error = sqlite3_errmsg(m_db.get());
        return false;
      }
      for (int column = 0; column < columns; ++column) {
        Cell& cell = cells[static_cast<std::size_t>(column)];
        if (sqlite3_column_type(raw, column) == SQLITE_NULL) {
          cell.reset();
          continue;
        }
        const void* data = sqlite3_column_blob(raw, column);
        const int length = sqlite3_column_bytes(raw, column);
        cell = data == nullptr ? std::string() : std::string(static_cast<const char*>(data), static_cast<std::size_t>(length));
      }
      if (!row(cells)) return true;
    }
  }

  bool SchemaVersion(int& version, std::string& error) override {
    version = 0;
    bool table = false;
    if (!Query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'units'", {},
               [&](const Row&) { return table = true, false; }, error))
      return false;
    if (!table) return true;
    return Query("PRAGMA user_version", {}, [&](const Row& row) {
      version = row[0] ? std::stoi(*row[0]) : 0;
      if (version == 0) version = 1;  // a table made before the version was kept
      return false;
    }, error);
  }

  bool Watch(std::string& error) override { return DataVersion(m_version, error); }

  WaitResult WaitForChange(std::chrono::milliseconds wait, std::vector<std::int64_t>& ids,
                           std::string& error) override {
    ids.clear();
    const auto end = std::chrono::steady_clock::now() + wait;
    for (;;) {
      std::int64_t version = 0;
      if (!DataVersion(version, error)) return WaitResult::Failed;
      if (version != m_version) {
        m_version = version;
        return WaitResult::Changed;
      }
      const auto now = std::chrono::steady_clock::now();
      if (now >= end) return WaitResult::Quiet;
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kPollInterval, end - now));
    }
  }

  bool NotifiesIds() const override { return false; }

 private:
  bool DataVersion(std::int64_t& version, std::string& error) {
    return Query("PRAGMA data_version", {}, [&](const Row& row) {
      version = row[0] ? std::stoll(*row[0]) : 0;
      return false;
    }, error);
  }

  std::unique_ptr<sqlite3, DbClose> m_db;
  std::int64_t m_version = 0;
};

}  // namespace

std::unique_ptr<LineDb> OpenSqliteLineDb(const std::string& path, std::string& error) {
  auto db = std::make_unique<SqliteLineDb>();
  if (!db->Open(path, error)) return nullptr;
  return db;
}

}  // namespace orvik::line
