#include "line/line_queries.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <tuple>

namespace orvik::line {
namespace {

using nlohmann::json;

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}

std::optional<std::int64_t> Number(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::int64_t CellNumber(const Cell& cell) {
  if (!cell) return 0;
  return Number(*cell).value_or(0);
}

std::string CellText(const Cell& cell) { return cell.value_or(std::string()); }

std::vector<Param> RangeParams(const Range& range) { return {Param::Text(range.from), Param::Text(range.to)}; }

}  // namespace

std::string UtcText(std::time_t when) {
  const std::int64_t seconds = static_cast<std::int64_t>(when);
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  std::int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, year, month, day);
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(year), month, day,
                static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                static_cast<long long>(rest % 60));
  return text;
}

std::optional<std::time_t> ParseUtc(const std::string& text) {
  // YYYY-MM-DDTHH:MM:SSZ, nothing else.
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z')
    return std::nullopt;
  const auto field = [&](std::size_t at, std::size_t length) { return Number(std::string_view(text).substr(at, length)); };
  const auto year = field(0, 4), month = field(5, 2), day = field(8, 2), hour = field(11, 2), minute = field(14, 2),
             second = field(17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (*month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 || *second > 59)
    return std::nullopt;
  const std::int64_t days = DaysFromCivil(*year, static_cast<unsigned>(*month), static_cast<unsigned>(*day));
  // 31 February and the like: the date must come back as written.
  std::int64_t y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(days, y, m, d);
  if (y != *year || m != *month || d != *day) return std::nullopt;
  return static_cast<std::time_t>(days * 86400 + *hour * 3600 + *minute * 60 + *second);
}

const char kUnitColumns[] =
    "id, rev, time_utc, finished_utc, status, run_id, state, time, host, station, operator, program_version, path,"
    " serial, port, slot, mcu, usb, mcu_version, usb_version, mcu_checksum, usb_checksum, failure, message,"
    " duration_ms";

UnitRow UnitFromRow(const Row& row) {
  UnitRow unit;
  unit.id = CellNumber(row[0]);
  unit.rev = CellNumber(row[1]);
  unit.timeUtc = CellText(row[2]);
  unit.finishedUtc = row[3];
  if (row[4]) unit.status = static_cast<int>(CellNumber(row[4]));
  record::RecordLine& line = unit.line;
  line.runId = CellText(row[5]);
  line.state = CellText(row[6]);
  line.time = CellText(row[7]);
  line.host = CellText(row[8]);
  line.station = CellText(row[9]);
  line.operatorName = CellText(row[10]);
  line.programVersion = CellText(row[11]);
  line.path = CellText(row[12]);
  line.serial = CellText(row[13]);
  line.port = CellText(row[14]);
  line.slot = CellText(row[15]);
  line.mcu = CellNumber(row[16]) != 0;
  line.usb = CellNumber(row[17]) != 0;
  line.mcuVersion = CellText(row[18]);
  line.usbVersion = CellText(row[19]);
  line.mcuChecksum = CellText(row[20]);
  line.usbChecksum = CellText(row[21]);
  line.status = unit.status.value_or(0);
  line.failure = static_cast<int>(CellNumber(row[22]));
  line.message = CellText(row[23]);
  line.durationMs = CellNumber(row[24]);
  return unit;
}

json UnitJson(const UnitRow& unit) {
  const record::RecordLine& line = unit.line;
  json out = {{"id", unit.id},
              {"rev", unit.rev},
              {"run_id", line.runId},
              {"state", line.state},
              {"time", line.time},
              {"time_utc", unit.timeUtc},
              {"finished_utc", unit.finishedUtc ? json(*unit.finishedUtc) : json(nullptr)},
              {"host", line.host},
              {"station", line.station},
              {"operator", line.operatorName},
              {"program_version", line.programVersion},
              {"path", line.path},
              {"serial", line.serial},
              {"port", line.port},
              {"slot", line.slot},
              {"mcu", line.mcu},
              {"usb", line.usb},
              {"mcu_version", line.mcuVersion},
              {"usb_version", line.usbVersion},
              {"mcu_checksum", line.mcuChecksum},
              {"usb_checksum", line.usbChecksum},
              {"status", unit.status ? json(*unit.status) : json(nullptr)},
              {"failure", line.failure},
              {"message", line.message},
              {"duration_ms", line.durationMs}};
  return out;
}

bool StationsState(LineDb& db, const std::string& since, json& out, std::string& error) {
  // The latest runs by id (the primary key, read backwards) bound the work
  // whatever the record's size; a tile idle for that many runs is left out.
  const std::string sql = std::string("SELECT ") + kUnitColumns +
                          " FROM units WHERE id IN (SELECT MAX(id) FROM"
                          " (SELECT id, host, station, slot, port, time_utc FROM units ORDER BY id DESC LIMIT ?) AS recent"
                          " WHERE time_utc >= ? GROUP BY host, station, CASE WHEN slot <> '' THEN slot ELSE port END)"
                          " ORDER BY host, station, slot, port LIMIT ?";
  std::vector<UnitRow> units;
  if (!db.Query(sql, {Param::Int(kTileRuns), Param::Text(since), Param::Int(kMaxTiles + 1)},
                [&](const Row& row) { return units.push_back(UnitFromRow(row)), true; }, error))
    return false;
  const bool truncated = units.size() > static_cast<std::size_t>(kMaxTiles);
  if (truncated) units.resize(kMaxTiles);
  json stations = json::array();
  for (const UnitRow& unit : units) {
    if (stations.empty() || stations.back()["host"] != unit.line.host ||
        stations.back()["station"] != unit.line.station)
      stations.push_back({{"host", unit.line.host}, {"station", unit.line.station}, {"tiles", json::array()}});
    stations.back()["tiles"].push_back(
        {{"slot", unit.line.slot}, {"port", unit.line.port}, {"unit", UnitJson(unit)}});
  }
  out = {{"since", since}, {"stations", std::move(stations)}, {"truncated", truncated}};
  return true;
}

bool Summary(LineDb& db, const Range& range, std::time_t now, json& out, std::string& error) {
  const auto from = ParseUtc(range.from);
  const auto to = ParseUtc(range.to);
  if (!from || !to) {
    error = "a range's times take the form YYYY-MM-DDTHH:MM:SSZ";
    return false;
  }
  // Units per hour over the part of the range that has passed.
  const std::time_t end = std::min(*to, std::max(now, *from));
  const double hours = std::max(1.0 / 60, static_cast<double>(end - *from) / 3600.0);
  const auto counters = [&](std::int64_t passed, std::int64_t failed, std::int64_t running) {
    const std::int64_t done = passed + failed;
    return json{{"passed", passed},
                {"failed", failed},
                {"running", running},
                {"yield", done > 0 ? json(static_cast<double>(passed) / static_cast<double>(done)) : json(nullptr)},
                {"units_per_hour", static_cast<double>(done) / hours}};
  };

  // One pass over the range, grouped finely enough for all three answers;
  // a range so long that the groups exceed the bound takes three passes.
  const char kGroups[] =
      "SELECT host, station, substr(time_utc, 1, 13), state, CASE WHEN status = 0 THEN 0 ELSE 1 END, failure,"
      " MAX(message), COUNT(*) FROM units WHERE time_utc >= ? AND time_utc < ?"
      " GROUP BY host, station, substr(time_utc, 1, 13), state, CASE WHEN status = 0 THEN 0 ELSE 1 END, failure"
      " LIMIT ?";
  struct Counts {
    std::int64_t passed = 0, failed = 0, running = 0;
  };
  std::map<std::pair<std::string, std::string>, Counts> perStation;
  std::map<std::string, std::pair<std::int64_t, std::int64_t>> perHour;
  std::map<std::int64_t, std::pair<std::int64_t, std::string>> perFailure;
  std::size_t groups = 0;
  std::vector<Param> groupParams = RangeParams(range);
  groupParams.push_back(Param::Int(kMaxSummaryGroups + 1));
  if (!db.Query(kGroups, groupParams, [&](const Row& row) {
        ++groups;
        const std::int64_t count = CellNumber(row[7]);
        Counts& station = perStation[{CellText(row[0]), CellText(row[1])}];
        if (CellText(row[3]) != record::kStateFinished) {
          station.running += count;
          return true;
        }
        auto& hour = perHour[CellText(row[2])];
        if (CellNumber(row[4]) == 0) {
          station.passed += count;
          hour.first += count;
        } else {
          station.failed += count;
          hour.second += count;
          auto& failure = perFailure[CellNumber(row[5])];
          failure.first += count;
          failure.second = std::max(failure.second, CellText(row[6]));
        }
        return true;
      }, error))
    return false;
  if (groups <= static_cast<std::size_t>(kMaxSummaryGroups)) {
    json stations = json::array();
    std::int64_t passed = 0, failed = 0, running = 0;
    for (const auto& [name, c] : perStation) {
      passed += c.passed;
      failed += c.failed;
      running += c.running;
      json station = counters(c.passed, c.failed, c.running);
      station["host"] = name.first;
      station["station"] = name.second;
      stations.push_back(std::move(station));
      if (stations.size() >= static_cast<std::size_t>(kMaxTiles)) break;
    }
    json hourly = json::array();
    for (const auto& [hour, c] : perHour) {
      hourly.push_back({{"hour", hour + ":00:00Z"}, {"passed", c.first}, {"failed", c.second}});
    }
    std::vector<std::tuple<std::int64_t, std::int64_t, std::string>> failures;  // -count, failure, message
    for (const auto& [failure, c] : perFailure) failures.emplace_back(-c.first, failure, c.second);
    std::sort(failures.begin(), failures.end());
    if (failures.size() > static_cast<std::size_t>(kMaxParetoRows)) failures.resize(kMaxParetoRows);
    json pareto = json::array();
    for (const auto& [negativeCount, failure, message] : failures) {
      pareto.push_back({{"failure", failure},
                        {"message", message},
                        {"count", -negativeCount},
                        {"share", failed > 0 ? static_cast<double>(-negativeCount) / static_cast<double>(failed) : 0.0}});
    }
    out = {{"from", range.from}, {"to", range.to},          {"line", counters(passed, failed, running)},
           {"stations", stations}, {"hourly", hourly}, {"pareto", pareto}};
    return true;
  }

  json stations = json::array();
  std::int64_t passed = 0, failed = 0, running = 0;
  const char kPerStation[] =
      "SELECT host, station,"
      " SUM(CASE WHEN state = 'finished' AND status = 0 THEN 1 ELSE 0 END),"
      " SUM(CASE WHEN state = 'finished' AND status <> 0 THEN 1 ELSE 0 END),"
      " SUM(CASE WHEN state = 'started' THEN 1 ELSE 0 END)"
      " FROM units WHERE time_utc >= ? AND time_utc < ? GROUP BY host, station ORDER BY host, station LIMIT ?";
  std::vector<Param> params = RangeParams(range);
  params.push_back(Param::Int(kMaxTiles));
  if (!db.Query(kPerStation, params, [&](const Row& row) {
        const std::int64_t p = CellNumber(row[2]), f = CellNumber(row[3]), r = CellNumber(row[4]);
        passed += p;
        failed += f;
        running += r;
        json station = counters(p, f, r);
        station["host"] = CellText(row[0]);
        station["station"] = CellText(row[1]);
        stations.push_back(std::move(station));
        return true;
      }, error))
    return false;

  json hourly = json::array();
  const char kHourly[] =
      "SELECT substr(time_utc, 1, 13),"
      " SUM(CASE WHEN status = 0 THEN 1 ELSE 0 END), SUM(CASE WHEN status <> 0 THEN 1 ELSE 0 END)"
      " FROM units WHERE time_utc >= ? AND time_utc < ? AND state = 'finished'"
      " GROUP BY substr(time_utc, 1, 13) ORDER BY 1 LIMIT ?";
  params = RangeParams(range);
  params.push_back(Param::Int(kMaxRangeHours + 1));
  if (!db.Query(kHourly, params, [&](const Row& row) {
        hourly.push_back({{"hour", CellText(row[0]) + ":00:00Z"}, {"passed", CellNumber(row[1])},
                          {"failed", CellNumber(row[2])}});
        return true;
      }, error))
    return false;

  json pareto = json::array();
  const char kPareto[] =
      "SELECT failure, MAX(message), COUNT(*) FROM units"
      " WHERE time_utc >= ? AND time_utc < ? AND state = 'finished' AND status <> 0"
      " GROUP BY failure ORDER BY COUNT(*) DESC, failure LIMIT ?";
  params = RangeParams(range);
  params.push_back(Param::Int(kMaxParetoRows));
  if (!db.Query(kPareto, params, [&](const Row& row) {
        const std::int64_t count = CellNumber(row[2]);
        pareto.push_back({{"failure", CellNumber(row[0])},
                          {"message", CellText(row[1])},
                          {"count", count},
                          {"share", failed > 0 ? static_cast<double>(count) / static_cast<double>(failed) : 0.0}});
        return true;
      }, error))
    return false;

  out = {{"from", range.from}, {"to", range.to},          {"line", counters(passed, failed, running)},
         {"stations", stations}, {"hourly", hourly}, {"pareto", pareto}};
  return true;
}

bool Units(LineDb& db, const UnitsQuery& query, json& out, std::string& error, bool& badRequest) {
  badRequest = false;
  const int limit = std::clamp(query.limit, 1, kMaxPageSize);
  std::string sql = std::string("SELECT ") + kUnitColumns + " FROM units WHERE ";
  std::vector<Param> params;
  if (query.serial) {
    sql += "serial = ?";
    params.push_back(Param::Bytes(*query.serial));
    if (!query.cursor.empty()) {
      const auto id = Number(query.cursor);
      if (!id) {
        error = "bad cursor";
        badRequest = true;
        return false;
      }
      sql += " AND id < ?";
      params.push_back(Param::Int(*id));
    }
    sql += " ORDER BY id DESC LIMIT ?";
  } else if (query.range) {
    sql += "time_utc >= ? AND time_utc < ?";
    params = RangeParams(*query.range);
    if (!query.cursor.empty()) {
      // "TIME_UTC~ID" of the last row of the page before.
      const std::size_t tilde = query.cursor.find('~');
      const std::string time = query.cursor.substr(0, tilde);
      const auto id = tilde == std::string::npos ? std::nullopt : Number(std::string_view(query.cursor).substr(tilde + 1));
      if (!id || !ParseUtc(time)) {
        error = "bad cursor";
        badRequest = true;
        return false;
      }
      sql += " AND (time_utc < ? OR (time_utc = ? AND id < ?))";
      params.push_back(Param::Text(time));
      params.push_back(Param::Text(time));
      params.push_back(Param::Int(*id));
    }
    sql += " ORDER BY time_utc DESC, id DESC LIMIT ?";
  } else {
    error = "give a range (from, to) or a serial";
    badRequest = true;
    return false;
  }
  // One more than the page: whether there is a next one.
  params.push_back(Param::Int(limit + 1));
  std::vector<UnitRow> units;
  if (!db.Query(sql, params, [&](const Row& row) { return units.push_back(UnitFromRow(row)), true; }, error))
    return false;
  json next = nullptr;
  if (units.size() > static_cast<std::size_t>(limit)) {
    units.resize(static_cast<std::size_t>(limit));
    next = query.serial ? std::to_string(units.back().id) : units.back().timeUtc + "~" + std::to_string(units.back().id);
  }
  json list = json::array();
  for (const UnitRow& unit : units) list.push_back(UnitJson(unit));
  out = {{"units", std::move(list)}, {"limit", limit}, {"next", next}};
  return true;
}

bool ExportCsv(LineDb& db, const Range& range, const std::function<bool(const std::string&)>& write,
               std::string& error) {
  if (!write(record::CsvHeader())) return true;
  std::optional<std::pair<std::string, std::int64_t>> after;
  for (;;) {
    std::string sql = std::string("SELECT ") + kUnitColumns + " FROM units WHERE time_utc >= ? AND time_utc < ?";
    std::vector<Param> params = RangeParams(range);
    if (after) {
      sql += " AND (time_utc > ? OR (time_utc = ? AND id > ?))";
      params.push_back(Param::Text(after->first));
      params.push_back(Param::Text(after->first));
      params.push_back(Param::Int(after->second));
    }
    sql += " ORDER BY time_utc, id LIMIT ?";
    params.push_back(Param::Int(kExportBatch));
    std::string batch;
    int rows = 0;
    if (!db.Query(sql, params, [&](const Row& row) {
          const UnitRow unit = UnitFromRow(row);
          batch += record::FormatRecordLine(record::RecordFormat::Csv, unit.line);
          after.emplace(unit.timeUtc, unit.id);
          ++rows;
          return true;
        }, error))
      return false;
    if (rows > 0 && !write(batch)) return true;
    if (rows < kExportBatch) return true;
  }
}

bool ChangesSince(LineDb& db, std::int64_t afterRev, std::vector<UnitRow>& rows, std::string& error) {
  rows.clear();
  const std::string sql = std::string("SELECT ") + kUnitColumns + " FROM units WHERE rev > ? ORDER BY rev LIMIT ?";
  return db.Query(sql, {Param::Int(afterRev), Param::Int(kMaxPageSize)},
                  [&](const Row& row) { return rows.push_back(UnitFromRow(row)), true; }, error);
}

bool RowsById(LineDb& db, const std::vector<std::int64_t>& ids, std::vector<UnitRow>& rows, std::string& error) {
  rows.clear();
  for (std::size_t start = 0; start < ids.size(); start += kMaxPageSize) {
    const std::size_t end = std::min(ids.size(), start + kMaxPageSize);
    std::string sql = std::string("SELECT ") + kUnitColumns + " FROM units WHERE id IN (";
    std::vector<Param> params;
    for (std::size_t i = start; i < end; ++i) {
      sql += i == start ? "?" : ", ?";
      params.push_back(Param::Int(ids[i]));
    }
    sql += ") ORDER BY rev";
    if (!db.Query(sql, params, [&](const Row& row) { return rows.push_back(UnitFromRow(row)), true; }, error))
      return false;
  }
  return true;
}

bool LatestRev(LineDb& db, std::int64_t& rev, std::string& error) {
  rev = 0;
  return db.Query("SELECT MAX(rev) FROM units", {}, [&](const Row& row) {
    rev = CellNumber(row[0]);
    return false;
  }, error);
}

}  // namespace orvik::line
