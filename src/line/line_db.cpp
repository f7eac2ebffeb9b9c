#include "line/line_db.h"

#include "record/record.h"

namespace orvik::line {

std::string RefusalFor(const std::string& spec) {
  if (record::BackendFor(spec) != record::Backend::Files) return {};
  return "the line view needs a database: an SQLite record (.db, .sqlite, .sqlite3) or a postgresql:// URI, "
         "not a JSON-lines or CSV record";
}

std::unique_ptr<LineDb> OpenLineDb(const std::string& spec, std::string& error) {
  if (std::string refusal = RefusalFor(spec); !refusal.empty()) {
    error = refusal;
    return nullptr;
  }
  std::unique_ptr<LineDb> db = record::BackendFor(spec) == record::Backend::Sqlite ? OpenSqliteLineDb(spec, error)
                                                                                   : OpenPostgresLineDb(spec, error);
  if (!db) return nullptr;
  int version = 0;
  if (!db->SchemaVersion(version, error)) return nullptr;
  if (version == 0) {
    error = "the record holds no units yet: start a station with it first";
    return nullptr;
  }
  if (version < kLineSchemaVersion) {
    error = "the record has schema version " + std::to_string(version) +
            "; a station of this version upgrades it when it next opens it";
    return nullptr;
  }
  if (version > kLineSchemaVersion) {
    error = "the record has schema version " + std::to_string(version) + ", newer than this program's (" +
            std::to_string(kLineSchemaVersion) + ")";
    return nullptr;
  }
  return db;
}

}  // namespace orvik::line
