#include "record/record_text.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <nlohmann/json.hpp>

#include "image/image.h"
#include "log/log_file.h"
#include "log/utf.h"

namespace orvik::record {
namespace {

std::string Hex4(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x", value & 0xFFFFu);
  return text;
}

std::string VersionText(std::uint8_t version) {
  char text[16];
  std::snprintf(text, sizeof text, "Y%x-%x", static_cast<unsigned>(version >> 4), static_cast<unsigned>(version & 0x0F));
  return text;
}

// --- Fields -----------------------------------------------------------------

enum class Kind { Text, Flag, Number };

struct Field {
  std::string_view name;  // compared for every member read: no strlen each time
  Kind kind;
  bool required;  // in every line, old ones included
};

// The fields of a line, in the order they are written.
constexpr Field kFields[] = {
    {"time", Kind::Text, true},          {"host", Kind::Text, true},         {"program_version", Kind::Text, true},
    {"path", Kind::Text, true},          {"serial", Kind::Text, true},       {"mcu", Kind::Flag, true},
    {"usb", Kind::Flag, true},           {"mcu_version", Kind::Text, true},  {"usb_version", Kind::Text, true},
    {"mcu_checksum", Kind::Text, true},  {"usb_checksum", Kind::Text, true}, {"status", Kind::Number, true},
    {"failure", Kind::Number, true},     {"message", Kind::Text, true},      {"duration_ms", Kind::Number, true},
    {"station", Kind::Text, false},      {"operator", Kind::Text, false},    {"port", Kind::Text, false},
    {"slot", Kind::Text, false},         {"run_id", Kind::Text, false},      {"state", Kind::Text, false},
    {"time_utc", Kind::Text, false},
};
constexpr std::size_t kFieldCount = std::size(kFields);
constexpr std::uint32_t kRequired = (1u << 15) - 1;

std::optional<std::size_t> FieldIndex(std::string_view name) {
  for (std::size_t f = 0; f < kFieldCount; ++f) {
    if (name == kFields[f].name) return f;
  }
  return std::nullopt;
}

std::string* TextOf(RecordLine& line, std::size_t field) {
  switch (field) {
    case 0: return &line.time;
    case 1: return &line.host;
    case 2: return &line.programVersion;
    case 3: return &line.path;
    case 4: return &line.serial;
    case 7: return &line.mcuVersion;
    case 8: return &line.usbVersion;
    case 9: return &line.mcuChecksum;
    case 10: return &line.usbChecksum;
    case 13: return &line.message;
    case 15: return &line.station;
    case 16: return &line.operatorName;
    case 17: return &line.port;
    case 18: return &line.slot;
    case 19: return &line.runId;
    case 20: return &line.state;
    case 21: return &line.timeUtc;
    default: return nullptr;
  }
}

// A value as read, before it is checked against its field.
struct FieldValue {
  enum class Type { Other, Text, Flag, Number, Null } type = Type::Other;
  std::string text;         // Text: the bytes, escapes undone
  bool flag = false;        // Flag
  std::int64_t number = 0;  // Number
};

// Takes one member into `line`: false when it is a field of the record with
// a value that is not of its type or out of its range. Other members are
// ignored.
bool SetField(RecordLine& line, std::size_t field, FieldValue value) {
  using Type = FieldValue::Type;
  switch (kFields[field].kind) {
    case Kind::Text:
      if (value.type != Type::Text) return false;
      if (field == 20 && value.text != kStateStarted && value.text != kStateFinished) return false;
      *TextOf(line, field) = std::move(value.text);
      return true;
    case Kind::Flag:
      if (value.type != Type::Flag) return false;
      (field == 5 ? line.mcu : line.usb) = value.flag;
      return true;
    case Kind::Number:
      // A started line has no status yet: null (JSON) or empty (CSV). The
      // builder refuses it on a finished line.
      if (field == 11 && value.type == Type::Null) {
        line.status = 0;
        return true;
      }
      if (value.type != Type::Number || value.number < 0) return false;
      if (field == 11) {
        if (value.number > kMaxStatus) return false;
        line.status = static_cast<int>(value.number);
      } else if (field == 12) {
        if (value.number > kMaxFailure) return false;
        line.failure = static_cast<int>(value.number);
      } else {
        line.durationMs = value.number;
      }
      return true;
  }
  return false;
}

// Collects a line's members; the last of a repeated member decides, as it
// does for the general JSON parser.
class LineBuilder {
 public:
  void Take(std::string_view key, FieldValue value) {
    const auto field = FieldIndex(key);
    if (!field) return;
    m_seen |= 1u << *field;
    const std::uint32_t bit = 1u << *field;
    if (*field == 11) m_statusNull = value.type == FieldValue::Type::Null;
    if (SetField(m_line, *field, std::move(value))) {
      m_bad &= ~bit;
    } else {
      m_bad |= bit;
    }
  }
  std::optional<RecordLine> Result() {
    if (m_bad != 0 || (m_seen & kRequired) != kRequired) return std::nullopt;
    // A result without a status would read as complete.
    if (m_statusNull && m_line.Finished()) return std::nullopt;
    // A started line has no status, whatever an older line wrote there.
    if (!m_line.Finished()) m_line.status = 0;
    return std::move(m_line);
  }

 private:
  RecordLine m_line;
  std::uint32_t m_seen = 0;
  std::uint32_t m_bad = 0;
  bool m_statusNull = false;
};

// --- Escapes ----------------------------------------------------------------

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void AppendHex(std::string& out, std::string_view bytes) {
  constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    out += "\\x";
    out += kHex[b >> 4];
    out += kHex[b & 0x0F];
  }
}

// `text` with \xNN for invalid bytes, for the characters `hide` names and
// for a backslash before an 'x' (so that every \xNN stands for one byte).
template <typename Hide>
std::string Escape(std::string_view text, Hide&& hide, std::string out = {}) {
  out.reserve(out.size() + text.size());
  while (!text.empty()) {
    const Utf8Char one = DecodeUtf8(text);
    const std::size_t length = one.valid ? one.length : 1;
    if (!one.valid || hide(one.code) || (one.code == U'\\' && text.size() > 1 && text[1] == 'x')) {
      AppendHex(out, text.substr(0, length));
    } else {
      if (one.code == U'"') out += '"';
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return out;
}

bool IsFormulaStart(char c) { return c == '=' || c == '+' || c == '-' || c == '@' || c == '\''; }

// --- CSV --------------------------------------------------------------------

// The cells of one CSV line, unquoted; nothing when the quoting is broken.
std::optional<std::vector<std::string>> SplitCsvLine(std::string_view line) {
  std::vector<std::string> cells;
  std::size_t i = 0;
  for (;;) {
    std::string cell;
    if (i < line.size() && line[i] == '"') {
      ++i;
      for (;;) {
        const std::size_t quote = line.find('"', i);
        if (quote == std::string_view::npos) return std::nullopt;  // the quote is never closed
        cell.append(line.substr(i, quote - i));
        i = quote + 1;
        if (i < line.size() && line[i] == '"') {  // a doubled quote stands for one
          cell += '"';
          ++i;
          continue;
        }
        break;
      }
      if (i < line.size() && line[i] != ',') return std::nullopt;  // text after the closing quote
    } else {
      const std::size_t end = std::min(line.find(',', i), line.size());
      cell.assign(line.substr(i, end - i));
      if (cell.find('"') != std::string::npos) return std::nullopt;
      i = end;
    }
    cells.push_back(std::move(cell));
    if (i >= line.size()) return cells;
    ++i;  // the comma
  }
}

// A decimal integer without sign; nothing when it has other characters or
// does not fit in 63 bits.
std::optional<std::int64_t> ParseCount(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value > (INT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Column of each field in the header (SIZE_MAX: absent); nothing when a
// required field is missing.
using CsvColumns = std::array<std::size_t, kFieldCount>;
std::optional<CsvColumns> ParseCsvHeader(std::string_view line) {
  const auto cells = SplitCsvLine(line);
  if (!cells) return std::nullopt;
  CsvColumns columns;
  columns.fill(SIZE_MAX);
  for (std::size_t f = 0; f < kFieldCount; ++f) {
    const auto it = std::find(cells->begin(), cells->end(), kFields[f].name);
    if (it != cells->end()) columns[f] = static_cast<std::size_t>(it - cells->begin());
    if (it == cells->end() && kFields[f].required) return std::nullopt;
  }
  return columns;
}

std::optional<RecordLine> ParseCsvLine(std::string_view text, const CsvColumns& columns) {
  const auto cells = SplitCsvLine(text);
  if (!cells) return std::nullopt;
  LineBuilder builder;
  for (std::size_t f = 0; f < kFieldCount; ++f) {
    if (columns[f] == SIZE_MAX) continue;
    if (columns[f] >= cells->size()) return std::nullopt;
    const std::string& cell = (*cells)[columns[f]];
    FieldValue value;
    switch (kFields[f].kind) {
      case Kind::Text:
        value.type = FieldValue::Type::Text;
        value.text = CsvCellText(cell);
        break;
      case Kind::Flag:
        if (cell == "true" || cell == "false") {
          value.type = FieldValue::Type::Flag;
          value.flag = cell == "true";
        }
        break;
      case Kind::Number:
        if (f == 11 && cell.empty()) {
          value.type = FieldValue::Type::Null;
        } else if (const auto number = ParseCount(cell)) {
          value.type = FieldValue::Type::Number;
          value.number = *number;
        }
        break;
    }
    builder.Take(kFields[f].name, std::move(value));
  }
  return builder.Result();
}

// --- JSON -------------------------------------------------------------------

// The record's own lines are flat objects of ASCII strings without escapes,
// integers and booleans; reading those directly is many times faster than a
// general parser, which matters for a record of a hundred thousand units.
// Calls `member` for each member and returns true for such a line; returns
// false for anything else (the general parser then decides). It accepts
// nothing that the general parser would not, and reads the same values.
template <typename Member>
bool ParseFlatObject(std::string_view text, Member&& member) {
  std::size_t i = 0;
  const auto skipBlanks = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
  };
  const auto next = [&](char c) {
    skipBlanks();
    if (i >= text.size() || text[i] != c) return false;
    ++i;
    return true;
  };
  // A string of printable ASCII without escapes.
  const auto string = [&](std::string_view& into) {
    if (i >= text.size() || text[i] != '"') return false;
    const std::size_t begin = ++i;
    while (i < text.size() && text[i] != '"') {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x20 || c >= 0x7F || c == '\\') return false;
      ++i;
    }
    if (i >= text.size()) return false;
    into = text.substr(begin, i - begin);
    ++i;
    return true;
  };
  if (!next('{')) return false;
  skipBlanks();
  if (i < text.size() && text[i] == '}') return false;  // empty: let the general parser say
  for (;;) {
    skipBlanks();
    std::string_view key;
    if (!string(key) || !next(':')) return false;
    skipBlanks();
    FieldValue value;
    if (i >= text.size()) return false;
    if (text[i] == '"') {
      std::string_view content;
      if (!string(content)) return false;
      value.type = FieldValue::Type::Text;
      value.text = UnescapeBytes(content);
    } else if (text.substr(i, 4) == "null") {
      value.type = FieldValue::Type::Null;
      i += 4;
    } else if (text.substr(i, 4) == "true" || text.substr(i, 5) == "false") {
      value.type = FieldValue::Type::Flag;
      value.flag = text[i] == 't';
      i += value.flag ? 4 : 5;
    } else {
      // An integer as JSON writes it: -?(0|[1-9][0-9]*), at most 18 digits
      // (no overflow); "-0" is left to the general parser.
      const bool negative = text[i] == '-';
      if (negative) ++i;
      const std::size_t digits = i;
      const auto digit = [&] { return i < text.size() && text[i] >= '0' && text[i] <= '9'; };
      while (digit() && i - digits < 18) value.number = value.number * 10 + (text[i++] - '0');
      const std::size_t count = i - digits;
      if (count == 0 || digit() || (count > 1 && text[digits] == '0')) return false;
      if (i < text.size() && (text[i] == '.' || text[i] == 'e' || text[i] == 'E')) return false;
      if (negative && value.number == 0) return false;
      if (negative) value.number = -value.number;
      value.type = FieldValue::Type::Number;
    }
    member(key, std::move(value));
    if (next(',')) continue;
    if (!next('}')) return false;
    skipBlanks();
    return i == text.size();
  }
}

}  // namespace

RecordImage DescribeImage(const Resources& resources) {
  RecordImage image;
  const ResourceLookup found = resources.Find(kBinResourceType, kBinResourceId);
  if (found.status != ResourceStatus::Found || found.bytes.size() != kImageSize) return image;
  const auto bytes = found.bytes.first<kImageSize>();
  const SectionTrailer mcu = SectionTrailer::Parse(bytes.subspan<kMcuTrailerOffset, kTrailerSize>());
  const SectionTrailer usb = SectionTrailer::Parse(bytes.subspan<kUsbTrailerOffset, kTrailerSize>());
  image.mcuVersion = VersionText(mcu.version);
  image.usbVersion = VersionText(usb.version);
  image.mcuChecksum = Hex4(mcu.checksum);
  image.usbChecksum = Hex4(usb.checksum);
  return image;
}

std::string UtcTimeOf(std::string_view local) {
  // YYYY-MM-DDTHH:MM:SS followed by +HH:MM, -HH:MM or Z.
  const auto digits = [&](std::size_t at, std::size_t count, int& value) {
    if (at + count > local.size()) return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
      if (local[i] < '0' || local[i] > '9') return false;
      value = value * 10 + (local[i] - '0');
    }
    return true;
  };
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, offsetHours = 0, offsetMinutes = 0;
  if (!digits(0, 4, year) || local.substr(4, 1) != "-" || !digits(5, 2, month) || local.substr(7, 1) != "-" ||
      !digits(8, 2, day) || local.substr(10, 1) != "T" || !digits(11, 2, hour) || local.substr(13, 1) != ":" ||
      !digits(14, 2, minute) || local.substr(16, 1) != ":" || !digits(17, 2, second)) {
    return {};
  }
  int sign = 0;
  if (local.substr(19) == "Z") {
    sign = 1;
  } else if (local.size() == 25 && (local[19] == '+' || local[19] == '-') && digits(20, 2, offsetHours) &&
             local[22] == ':' && digits(23, 2, offsetMinutes)) {
    sign = local[19] == '+' ? 1 : -1;
  } else {
    return {};
  }
  namespace c = std::chrono;
  const c::year_month_day date{c::year{year} / c::month{static_cast<unsigned>(month)} / c::day{static_cast<unsigned>(day)}};
  if (!date.ok() || hour > 23 || minute > 59 || second > 60 || offsetHours > 23 || offsetMinutes > 59) return {};
  const long long seconds = c::sys_days{date}.time_since_epoch().count() * 86400LL + hour * 3600LL + minute * 60LL +
                            second - sign * (offsetHours * 3600LL + offsetMinutes * 60LL);
  const c::sys_days utcDay{c::days{seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400}};
  const long long inDay = seconds - utcDay.time_since_epoch().count() * 86400LL;
  const c::year_month_day utc{utcDay};
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<int>(utc.year()),
                static_cast<unsigned>(utc.month()), static_cast<unsigned>(utc.day()), inDay / 3600, inDay / 60 % 60,
                inDay % 60);
  return text;
}

RecordFormat RecordFormatFor(std::string_view path) {
  if (path.size() < 4) return RecordFormat::JsonLines;
  std::string end(path.substr(path.size() - 4));
  std::transform(end.begin(), end.end(), end.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
  return end == ".csv" ? RecordFormat::Csv : RecordFormat::JsonLines;
}

std::string CsvHeader() {
  std::string header;
  for (const Field& field : kFields) {
    if (!header.empty()) header += ',';
    header += field.name;
  }
  return header + '\n';
}

bool IsHiddenOrActing(char32_t code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F) || (code >= 0x200B && code <= 0x200F) ||
         (code >= 0x2028 && code <= 0x202E) || code == 0x2060 || (code >= 0x2066 && code <= 0x2069) ||
         code == 0xFEFF;
}

std::string CsvCell(std::string_view text) {
  std::string cell = "\"";
  if (!text.empty() && IsFormulaStart(text.front())) cell += '\'';
  return Escape(text, IsHiddenOrActing, std::move(cell)) + '"';
}

std::string CsvCellText(std::string_view content) {
  if (content.size() >= 2 && content.front() == '\'' && IsFormulaStart(content[1])) content.remove_prefix(1);
  return UnescapeBytes(content);
}

std::string EscapeBytes(std::string_view text, bool nul) {
  // Quotes are JSON's to escape, not this function's: undo Escape's doubling
  // by never passing it a quote.
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const std::size_t quote = std::min(text.find('"'), text.size());
    out = Escape(text.substr(0, quote), [nul](char32_t code) { return nul && code == 0; }, std::move(out));
    if (quote == text.size()) break;
    out += '"';
    text.remove_prefix(quote + 1);
  }
  return out;
}

std::string UnescapeBytes(std::string_view content) {
  if (content.find('\\') == std::string_view::npos) return std::string(content);
  std::string text;
  text.reserve(content.size());
  for (std::size_t i = 0; i < content.size(); ++i) {
    if (content[i] == '\\' && i + 3 < content.size() && content[i + 1] == 'x' && HexDigit(content[i + 2]) >= 0 &&
        HexDigit(content[i + 3]) >= 0) {
      text += static_cast<char>(HexDigit(content[i + 2]) * 16 + HexDigit(content[i + 3]));
      i += 3;
    } else {
      text += content[i];
    }
  }
  return text;
}

std::string FormatRecordLine(RecordFormat format, const RecordLine& line) {
  if (format == RecordFormat::Csv) {
    const auto flag = [](bool value) { return value ? "true" : "false"; };
    return CsvCell(line.time) + ',' + CsvCell(line.host) + ',' + CsvCell(line.programVersion) + ',' +
           CsvCell(line.path) + ',' + CsvCell(line.serial) + ',' + flag(line.mcu) + ',' + flag(line.usb) + ',' +
           CsvCell(line.mcuVersion) + ',' + CsvCell(line.usbVersion) + ',' + CsvCell(line.mcuChecksum) + ',' +
           CsvCell(line.usbChecksum) + ',' + (line.Finished() ? std::to_string(line.status) : std::string()) + ',' +
           std::to_string(line.failure) + ',' +
           CsvCell(line.message) + ',' + std::to_string(line.durationMs) + ',' + CsvCell(line.station) + ',' +
           CsvCell(line.operatorName) + ',' + CsvCell(line.port) + ',' + CsvCell(line.slot) + ',' +
           CsvCell(line.runId) + ',' + CsvCell(line.state) + ',' + CsvCell(line.timeUtc) + '\n';
  }
  const auto text = [](const std::string& value) { return EscapeBytes(value); };
  const nlohmann::ordered_json object = {{"time", text(line.time)},
                                         {"host", text(line.host)},
                                         {"program_version", text(line.programVersion)},
                                         {"path", text(line.path)},
                                         {"serial", text(line.serial)},
                                         {"mcu", line.mcu},
                                         {"usb", line.usb},
                                         {"mcu_version", text(line.mcuVersion)},
                                         {"usb_version", text(line.usbVersion)},
                                         {"mcu_checksum", text(line.mcuChecksum)},
                                         {"usb_checksum", text(line.usbChecksum)},
                                         {"status", line.Finished() ? nlohmann::ordered_json(line.status) : nullptr},
                                         {"failure", line.failure},
                                         {"message", text(line.message)},
                                         {"duration_ms", line.durationMs},
                                         {"station", text(line.station)},
                                         {"operator", text(line.operatorName)},
                                         {"port", text(line.port)},
                                         {"slot", text(line.slot)},
                                         {"run_id", text(line.runId)},
                                         {"state", text(line.state)},
                                         {"time_utc", text(line.timeUtc)}};
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + '\n';
}

std::optional<std::optional<RecordLine>> ParseJsonLineFast(std::string_view text) {
  LineBuilder builder;
  if (!ParseFlatObject(text, [&](std::string_view key, FieldValue value) { builder.Take(key, std::move(value)); })) {
    return std::nullopt;
  }
  return builder.Result();
}

std::optional<RecordLine> ParseJsonLineGeneral(std::string_view text) {
  // Read without the ordered variant: only looked up, never written.
  const nlohmann::json object = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (!object.is_object()) return std::nullopt;
  LineBuilder builder;
  for (const auto& [key, member] : object.items()) {
    FieldValue value;
    if (member.is_string()) {
      value.type = FieldValue::Type::Text;
      value.text = UnescapeBytes(member.get_ref<const std::string&>());
    } else if (member.is_boolean()) {
      value.type = FieldValue::Type::Flag;
      value.flag = member.get<bool>();
    } else if (member.is_number_unsigned()) {
      if (member.get<std::uint64_t>() <= static_cast<std::uint64_t>(INT64_MAX)) {
        value.type = FieldValue::Type::Number;
        value.number = static_cast<std::int64_t>(member.get<std::uint64_t>());
      }
    } else if (member.is_number_integer()) {
      value.type = FieldValue::Type::Number;
      value.number = member.get<std::int64_t>();
    } else if (member.is_null()) {
      value.type = FieldValue::Type::Null;
    }
    builder.Take(key, std::move(value));
  }
  return builder.Result();
}

std::optional<RecordLine> ParseJsonLine(std::string_view text) {
  if (auto fast = ParseJsonLineFast(text)) return std::move(*fast);
  return ParseJsonLineGeneral(text);
}

void RecordIndex::Add(const RecordLine& line) {
  if (line.serial.empty()) return;
  if (!line.Finished()) {
    Unit& unit = m_units[line.serial];
    unit = Unit();
    unit.runId = line.runId;
    unit.time = line.time;
    if (!line.runId.empty()) m_started.insert(line.runId);
    return;
  }
  const auto it = m_units.find(line.serial);
  // The result of a run that a later run of the same serial overtook.
  if (it != m_units.end() && !line.runId.empty() && it->second.runId != line.runId && m_started.count(line.runId)) {
    m_started.erase(line.runId);
    return;
  }
  if (!line.runId.empty()) m_started.erase(line.runId);
  Unit& unit = it != m_units.end() ? it->second : m_units[line.serial];
  unit.runId = line.runId;
  unit.finished = true;
  unit.status = line.status;
  unit.mcu = line.mcu;
  unit.usb = line.usb;
  unit.mcuChecksum = line.mcuChecksum;
  unit.usbChecksum = line.usbChecksum;
  unit.time = line.time;
}

std::optional<std::string> RecordIndex::UpdatedAt(const std::string& serial, const RecordImage& image, bool mcu,
                                                  bool usb) const {
  if (serial.empty() || (!mcu && !usb)) return std::nullopt;
  const auto it = m_units.find(serial);
  if (it == m_units.end()) return std::nullopt;
  const Unit& unit = it->second;
  if (!unit.finished || unit.status != 0 || unit.mcu != mcu || unit.usb != usb) return std::nullopt;
  if (mcu && (image.mcuChecksum.empty() || unit.mcuChecksum != image.mcuChecksum)) return std::nullopt;
  if (usb && (image.usbChecksum.empty() || unit.usbChecksum != image.usbChecksum)) return std::nullopt;
  return unit.time;
}

std::optional<CsvLayout> ParseCsvHeaderLine(std::string_view line) {
  const auto columns = ParseCsvHeader(line);
  if (!columns) return std::nullopt;
  CsvLayout layout;
  layout.columns.assign(columns->begin(), columns->end());
  layout.current = std::find(columns->begin(), columns->end(), SIZE_MAX) == columns->end();
  return layout;
}

std::optional<RecordLine> ParseCsvRecordLine(std::string_view line, const CsvLayout& layout) {
  if (layout.columns.size() != kFieldCount) return std::nullopt;
  CsvColumns columns;
  std::copy(layout.columns.begin(), layout.columns.end(), columns.begin());
  return ParseCsvLine(line, columns);
}

bool IsCsvHeaderLine(std::string_view line) { return line.substr(0, 5) == "time,"; }

RecordContents ReadRecord(std::string_view text, RecordFormat format,
                          const std::function<void(const RecordLine&)>& each) {
  RecordContents contents;
  // What spreadsheet programs put before the first line.
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
  std::optional<CsvColumns> columns;
  bool headerSeen = false;
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;

    std::optional<RecordLine> parsed;
    if (format == RecordFormat::JsonLines) {
      parsed = ParseJsonLine(line);
    } else if (!headerSeen || line.substr(0, 5) == "time,") {
      // A header says where each field is: the first line, and a line that
      // starts unquoted with the first field's name (a data line's cells are
      // always quoted), written when a record of older lines got new fields.
      headerSeen = true;
      columns = ParseCsvHeader(line);
      if (columns) {
        contents.csvHeaderCurrent = std::find(columns->begin(), columns->end(), SIZE_MAX) == columns->end();
        continue;
      }
    } else if (columns) {
      parsed = ParseCsvLine(line, *columns);
    }
    if (!parsed) {
      if (contents.badLines++ == 0) contents.firstBadLine = number;
      continue;
    }
    ++contents.lines;
    contents.index.Add(*parsed);
    if (each) each(*parsed);
  }
  return contents;
}

}  // namespace orvik::record
