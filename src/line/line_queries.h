// What the line's page asks of the record, as SQL that aggregates in the
// database (the table's indexes on time_utc, (serial, id) and rev do the
// work) and as JSON for the page. Nothing here loads the table whole: every
// answer is bounded (a page size, a number of tiles, of Pareto rows).
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "line/line_db.h"
#include "record/record_text.h"

namespace orvik::line {

// Bounds of the answers.
inline constexpr int kDefaultPageSize = 50;
inline constexpr int kMaxPageSize = 500;
inline constexpr int kMaxTiles = 4096;
// The tiles come from this many of the latest runs.
inline constexpr int kTileRuns = 20000;
inline constexpr int kMaxParetoRows = 20;
// A summary groups the range's runs by station, hour, result and failure in
// one pass while there are at most this many groups.
inline constexpr int kMaxSummaryGroups = 100000;
inline constexpr int kExportBatch = 1000;
// A range may span at most this many hours (a year), so that its hourly
// buckets stay few.
inline constexpr std::int64_t kMaxRangeHours = 24 * 366;

// "2026-12-08T09:41:05Z" for `when`, and back. The parse takes exactly that
// form (the record's time_utc), nothing when the text is anything else.
std::string UtcText(std::time_t when);
std::optional<std::time_t> ParseUtc(const std::string& text);

// A range of start times, [from, to), in the record's UTC form.
struct Range {
  std::string from;
  std::string to;
};

// One unit run as the table holds it.
struct UnitRow {
  std::int64_t id = 0;
  std::int64_t rev = 0;
  std::string timeUtc;
  std::optional<std::string> finishedUtc;
  std::optional<int> status;  // nothing while started
  record::RecordLine line;
};

// The columns every unit query selects, in UnitRow's order.
extern const char kUnitColumns[];
UnitRow UnitFromRow(const Row& row);
nlohmann::json UnitJson(const UnitRow& unit);

// The latest run of each tile (host, station, and slot or else port) among
// the record's latest kTileRuns runs, whose start is at or after `since`: {"stations":[{"host","station","tiles":[
// {"slot","port","unit":{...}}]}],"truncated":bool}.
bool StationsState(LineDb& db, const std::string& since, nlohmann::json& out, std::string& error);

// Counters per station and for the line, hourly buckets and the failure
// Pareto of the runs that started within `range`; `now` bounds the hours
// that units per hour counts.
bool Summary(LineDb& db, const Range& range, std::time_t now, nlohmann::json& out, std::string& error);

// A page of runs, newest first: those of a range, or every run of a serial.
// `cursor` is the "next" of the page before (empty for the first page);
// `limit` is cut to kMaxPageSize.
struct UnitsQuery {
  std::optional<Range> range;
  std::optional<std::string> serial;  // device bytes
  std::string cursor;
  int limit = kDefaultPageSize;
};
// False with "bad cursor" etc. in `error` when the query is malformed;
// `badRequest` tells that apart from a failure of the record.
bool Units(LineDb& db, const UnitsQuery& query, nlohmann::json& out, std::string& error, bool& badRequest);

// The runs of `range` oldest first, by the record's CSV rules, handed to
// `write` in batches (the header first). Stops when `write` returns false.
bool ExportCsv(LineDb& db, const Range& range, const std::function<bool(const std::string&)>& write,
               std::string& error);

// Rows changed since change counter `afterRev`, oldest change first, at most
// kMaxPageSize; and rows by id (PostgreSQL's notifications).
bool ChangesSince(LineDb& db, std::int64_t afterRev, std::vector<UnitRow>& rows, std::string& error);
bool RowsById(LineDb& db, const std::vector<std::int64_t>& ids, std::vector<UnitRow>& rows, std::string& error);
bool LatestRev(LineDb& db, std::int64_t& rev, std::string& error);

}  // namespace orvik::line
