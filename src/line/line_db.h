// orvik-line's own read-only access to the record's table of unit runs
// (schema version 2): an SQLite file opened read-only, or a PostgreSQL
// connection that runs SELECT and LISTEN and nothing else. The queries
// themselves (line_queries.h) are written once, with "?" placeholders, and
// run on either.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvik::line {

// The record's schema version this reader understands.
inline constexpr int kLineSchemaVersion = 2;

// A bound value: text, a whole number, or raw bytes (the serial column).
struct Param {
  enum class Kind { Text, Int, Bytes };
  Kind kind = Kind::Text;
  std::string text;
  std::int64_t number = 0;

  static Param Text(std::string value) { return {Kind::Text, std::move(value), 0}; }
  static Param Int(std::int64_t value) { return {Kind::Int, {}, value}; }
  static Param Bytes(std::string value) { return {Kind::Bytes, std::move(value), 0}; }
};

// A result cell: nothing for SQL NULL. Text comes back as the device wrote
// it (any bytes); a boolean as "1" or "0".
using Cell = std::optional<std::string>;
using Row = std::vector<Cell>;

enum class WaitResult { Changed, Quiet, Failed };

class LineDb {
 public:
  virtual ~LineDb() = default;

  // Runs one SELECT with "?" placeholders; `row` is called for each row and
  // may return false to stop early. False with the reason on failure.
  virtual bool Query(std::string_view sql, const std::vector<Param>& params,
                     const std::function<bool(const Row&)>& row, std::string& error) = 0;

  // The record's schema version (0 when it holds no table yet).
  virtual bool SchemaVersion(int& version, std::string& error) = 0;

  // Starts watching the record for committed changes (LISTEN on PostgreSQL).
  virtual bool Watch(std::string& error) = 0;

  // Waits at most `wait` for a change committed by a station. On PostgreSQL
  // `ids` receives the ids of the rows notified; on SQLite (and for a
  // notification without a row id) it stays empty, and the caller reads the
  // rows by their change counter.
  virtual WaitResult WaitForChange(std::chrono::milliseconds wait, std::vector<std::int64_t>& ids,
                                   std::string& error) = 0;

  // Whether row ids come with WaitForChange (PostgreSQL) or the caller reads
  // changes by `rev` (SQLite, whose writers take turns, so that the change
  // counter grows in commit order).
  virtual bool NotifiesIds() const = 0;
};

// Opens the record `spec` names for reading: an SQLite file or a
// postgresql:// URI. Null with the reason when it is another kind of record,
// cannot be opened, or is not of schema version 2.
std::unique_ptr<LineDb> OpenLineDb(const std::string& spec, std::string& error);

// The reason a record of `spec`'s kind cannot be shown, or empty when it is
// a database. (JSON lines and CSV records are read by --history, not here.)
std::string RefusalFor(const std::string& spec);

// Per back end (line_db_sqlite.cpp, line_db_postgres.cpp).
std::unique_ptr<LineDb> OpenSqliteLineDb(const std::string& path, std::string& error);
std::unique_ptr<LineDb> OpenPostgresLineDb(const std::string& uri, std::string& error);

}  // namespace orvik::line
