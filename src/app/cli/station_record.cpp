#include "app/cli/station_record.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <system_error>

#include "image/image.h"

#ifndef ORVIK_PROGRAM_VERSION
#error "ORVIK_PROGRAM_VERSION must be defined by the build"
#endif

namespace orvik::cli {
namespace {

// The fields of a line, in the order they are written.
constexpr const char* kFieldNames[] = {"time",        "host",        "program_version", "path",         "serial",
                                       "mcu",         "usb",         "mcu_version",     "usb_version",  "mcu_checksum",
                                       "usb_checksum", "status",     "failure",         "message",      "duration_ms"};
constexpr std::size_t kFieldCount = std::size(kFieldNames);
// Written after those; a line without them (a record from before they were
// added) still counts, with an empty port and slot.
constexpr const char* kOptionalFieldNames[] = {"port", "slot"};
constexpr std::size_t kOptionalFieldCount = std::size(kOptionalFieldNames);
constexpr std::size_t kNoColumn = static_cast<std::size_t>(-1);

std::string* OptionalField(RecordLine& line, std::string_view name) {
  return name == "port" ? &line.port : name == "slot" ? &line.slot : nullptr;
}

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

// --- CSV --------------------------------------------------------------------

// Control characters would break a record apart or act on a terminal.
bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// The length of the valid UTF-8 sequence that starts at text[i]; 0 for a
// byte that starts none (overlong forms, surrogates and values past U+10FFFF
// included).
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char first = byte(i);
  if (first < 0x80) return 1;
  std::size_t length = 0;
  std::uint32_t value = 0;
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2;
    value = first & 0x1Fu;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3;
    value = first & 0x0Fu;
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4;
    value = first & 0x07u;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
    value = value << 6 | (byte(i + k) & 0x3Fu);
  }
  if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
      (value >= 0xD800 && value <= 0xDFFF)) {
    return 0;
  }
  return length;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsFormulaStart(char c) { return c == '=' || c == '+' || c == '-' || c == '@' || c == '\''; }

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

std::optional<bool> ParseBool(std::string_view text) {
  if (text == "true") return true;
  if (text == "false") return false;
  return std::nullopt;
}

std::optional<std::int64_t> ParseInteger(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  bool negative = text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

// Column of each field in the header; nothing when a field is missing.
using CsvColumns = std::array<std::size_t, kFieldCount + kOptionalFieldCount>;
std::optional<CsvColumns> ParseCsvHeader(std::string_view line) {
  const auto cells = SplitCsvLine(line);
  if (!cells) return std::nullopt;
  CsvColumns columns{};
  for (std::size_t f = 0; f < kFieldCount; ++f) {
    const auto it = std::find(cells->begin(), cells->end(), kFieldNames[f]);
    if (it == cells->end()) return std::nullopt;
    columns[f] = static_cast<std::size_t>(it - cells->begin());
  }
  for (std::size_t f = 0; f < kOptionalFieldCount; ++f) {
    const auto it = std::find(cells->begin(), cells->end(), kOptionalFieldNames[f]);
    columns[kFieldCount + f] = it == cells->end() ? kNoColumn : static_cast<std::size_t>(it - cells->begin());
  }
  return columns;
}

std::optional<RecordLine> ParseCsvLine(std::string_view text, const CsvColumns& columns) {
  const auto cells = SplitCsvLine(text);
  if (!cells) return std::nullopt;
  const auto cell = [&](std::size_t field) -> const std::string* {
    return columns[field] < cells->size() ? &(*cells)[columns[field]] : nullptr;
  };
  for (std::size_t f = 0; f < kFieldCount; ++f) {
    if (cell(f) == nullptr) return std::nullopt;
  }
  RecordLine line;
  std::string* texts[] = {&line.time, &line.host, &line.programVersion, &line.path, &line.serial};
  for (std::size_t f = 0; f < std::size(texts); ++f) *texts[f] = CsvCellText(*cell(f));
  const auto mcu = ParseBool(*cell(5));
  const auto usb = ParseBool(*cell(6));
  line.mcuVersion = CsvCellText(*cell(7));
  line.usbVersion = CsvCellText(*cell(8));
  line.mcuChecksum = CsvCellText(*cell(9));
  line.usbChecksum = CsvCellText(*cell(10));
  const auto status = ParseInteger(*cell(11));
  const auto failure = ParseInteger(*cell(12));
  line.message = CsvCellText(*cell(13));
  const auto duration = ParseInteger(*cell(14));
  if (!mcu || !usb || !status || !failure || !duration) return std::nullopt;
  line.mcu = *mcu;
  line.usb = *usb;
  line.status = static_cast<int>(*status);
  line.failure = static_cast<int>(*failure);
  line.durationMs = *duration;
  for (std::size_t f = 0; f < kOptionalFieldCount; ++f) {
    const std::size_t column = columns[kFieldCount + f];
    if (column < cells->size()) *OptionalField(line, kOptionalFieldNames[f]) = CsvCellText((*cells)[column]);
  }
  return line;
}

// --- JSON lines -------------------------------------------------------------

// One value of a line's object, as far as the record's fields need it.
struct FieldValue {
  enum class Kind { String, Integer, Bool, Other } kind = Kind::Other;
  std::string_view text;  // String
  std::int64_t integer = 0;
  bool boolean = false;
};

// Sets the field `key` of `line`; false when a field of the record holds a
// value of the wrong type. Fields the record does not know are ignored.
bool SetField(RecordLine& line, std::string_view key, const FieldValue& value, std::uint32_t& seen) {
  std::string* texts[] = {&line.time,       &line.host,       &line.programVersion, &line.path,
                          &line.serial,     nullptr,          nullptr,              &line.mcuVersion,
                          &line.usbVersion, &line.mcuChecksum, &line.usbChecksum,   nullptr,
                          nullptr,          &line.message,    nullptr};
  static_assert(std::size(texts) == kFieldCount);
  if (std::string* optional = OptionalField(line, key)) {
    if (value.kind != FieldValue::Kind::String) return false;
    optional->assign(value.text);
    return true;
  }
  const auto named = std::find(std::begin(kFieldNames), std::end(kFieldNames), key);
  if (named == std::end(kFieldNames)) return true;
  const auto field = static_cast<std::size_t>(named - std::begin(kFieldNames));
  seen |= 1u << field;
  using Kind = FieldValue::Kind;
  if (texts[field] != nullptr) {
    if (value.kind != Kind::String) return false;
    texts[field]->assign(value.text);
  } else if (field == 5 || field == 6) {
    if (value.kind != Kind::Bool) return false;
    (field == 5 ? line.mcu : line.usb) = value.boolean;
  } else {
    if (value.kind != Kind::Integer) return false;
    if (field == 14) {
      line.durationMs = value.integer;
    } else {
      if (value.integer < INT32_MIN || value.integer > INT32_MAX) return false;
      (field == 11 ? line.status : line.failure) = static_cast<int>(value.integer);
    }
  }
  return true;
}

// The record's own lines are flat objects of ASCII strings without escapes,
// integers and booleans; reading those directly is many times faster than a
// general parser, which matters for a record of a hundred thousand units.
// Calls `field` for each member and returns true for such a line; returns
// false for anything else (the general parser then decides).
template <typename Field>
bool ParseFlatObject(std::string_view text, Field&& field) {
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
      value.kind = FieldValue::Kind::String;
      if (!string(value.text)) return false;
    } else if (text.substr(i, 4) == "true" || text.substr(i, 5) == "false") {
      value.kind = FieldValue::Kind::Bool;
      value.boolean = text[i] == 't';
      i += value.boolean ? 4 : 5;
    } else {
      // An integer as JSON writes it: -?(0|[1-9][0-9]*), at most 18 digits.
      const bool negative = text[i] == '-';
      if (negative) ++i;
      const std::size_t digits = i;
      while (i < text.size() && text[i] >= '0' && text[i] <= '9') value.integer = value.integer * 10 + (text[i++] - '0');
      const std::size_t count = i - digits;
      if (count == 0 || count > 18 || (count > 1 && text[digits] == '0')) return false;
      if (i < text.size() && (text[i] == '.' || text[i] == 'e' || text[i] == 'E')) return false;
      if (negative) value.integer = -value.integer;
      value.kind = FieldValue::Kind::Integer;
    }
    field(key, value);
    if (next(',')) continue;
    if (!next('}')) return false;
    skipBlanks();
    return i == text.size();
  }
}

std::optional<RecordLine> ParseJsonLine(std::string_view text) {
  constexpr std::uint32_t kAllFields = (1u << kFieldCount) - 1;
  RecordLine line;
  std::uint32_t seen = 0;
  bool ok = true;
  const auto field = [&](std::string_view key, const FieldValue& value) {
    if (!SetField(line, key, value, seen)) ok = false;
  };
  if (!ParseFlatObject(text, field)) {
    // Anything else that is JSON: escapes, other characters, nested values.
    // Read without the ordered variant: only looked up, never written.
    const nlohmann::json object = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (!object.is_object()) return std::nullopt;
    line = RecordLine();
    seen = 0;
    ok = true;
    for (const auto& [key, member] : object.items()) {
      FieldValue value;
      if (member.is_string()) {
        value.kind = FieldValue::Kind::String;
        value.text = member.get_ref<const std::string&>();
      } else if (member.is_boolean()) {
        value.kind = FieldValue::Kind::Bool;
        value.boolean = member.get<bool>();
      } else if (member.is_number_integer() && (member.is_number_unsigned() ? member.get<std::uint64_t>() <= INT64_MAX : true)) {
        value.kind = FieldValue::Kind::Integer;
        value.integer = member.get<std::int64_t>();
      }
      field(key, value);
    }
  }
  if (!ok || seen != kAllFields) return std::nullopt;
  return line;
}

std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
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

std::string IsoLocalTime(std::time_t when) {
  // std::localtime and std::gmtime share one buffer: each result is copied
  // at once. Only the main thread formats these times.
  std::tm local{};
  std::tm utc{};
  if (const std::tm* l = std::localtime(&when)) local = *l; else return {};
  if (const std::tm* u = std::gmtime(&when)) utc = *u; else return {};
  // The offset is the difference of the two broken-down times; strftime's %z
  // is not an offset everywhere (Windows' C library gives the zone's name).
  const auto seconds = [](const std::tm& t) {
    namespace c = std::chrono;
    const c::sys_days date{c::year{t.tm_year + 1900} / c::month{static_cast<unsigned>(t.tm_mon + 1)} /
                           c::day{static_cast<unsigned>(t.tm_mday)}};
    return date.time_since_epoch().count() * 86400LL + t.tm_hour * 3600LL + t.tm_min * 60LL + t.tm_sec;
  };
  const long long offset = seconds(local) - seconds(utc);
  // Zones lie within a day of UTC.
  const int magnitude = static_cast<int>(std::min(offset < 0 ? -offset : offset, 86399LL));
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                magnitude / 3600, magnitude / 60 % 60);
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
  for (const char* name : kFieldNames) {
    if (!header.empty()) header += ',';
    header += name;
  }
  for (const char* name : kOptionalFieldNames) header += std::string(",") + name;
  return header + '\n';
}

std::string CsvCell(std::string_view text) {
  std::string cell = "\"";
  if (!text.empty() && IsFormulaStart(text.front())) cell += '\'';
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8Length(text, i);
    // A backslash is escaped only before an 'x', where it would look like
    // an escape: Windows paths stay readable, and every \xNN is one byte.
    if (length == 0 || IsControl(byte) || (byte == '\\' && i + 1 < text.size() && text[i + 1] == 'x')) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
      cell += escaped;
      ++i;
      continue;
    }
    if (byte == '"') cell += '"';
    cell.append(text.substr(i, length));
    i += length;
  }
  return cell + '"';
}

std::string CsvCellText(std::string_view content) {
  if (content.size() >= 2 && content.front() == '\'' && IsFormulaStart(content[1])) content.remove_prefix(1);
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
           CsvCell(line.usbChecksum) + ',' + std::to_string(line.status) + ',' + std::to_string(line.failure) + ',' +
           CsvCell(line.message) + ',' + std::to_string(line.durationMs) + ',' + CsvCell(line.port) + ',' +
           CsvCell(line.slot) + '\n';
  }
  const nlohmann::ordered_json object = {{"time", line.time},
                                         {"host", line.host},
                                         {"program_version", line.programVersion},
                                         {"path", line.path},
                                         {"serial", line.serial},
                                         {"mcu", line.mcu},
                                         {"usb", line.usb},
                                         {"mcu_version", line.mcuVersion},
                                         {"usb_version", line.usbVersion},
                                         {"mcu_checksum", line.mcuChecksum},
                                         {"usb_checksum", line.usbChecksum},
                                         {"status", line.status},
                                         {"failure", line.failure},
                                         {"message", line.message},
                                         {"duration_ms", line.durationMs},
                                         {"port", line.port},
                                         {"slot", line.slot}};
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + '\n';
}

void RecordIndex::Add(const RecordLine& line) {
  if (line.serial.empty()) return;
  if (line.status != 0) {
    // What a failed run has left in the controllers it touched is unknown.
    const auto it = m_units.find(line.serial);
    if (it == m_units.end()) return;
    if (line.mcu) it->second.mcuChecksum.reset();
    if (line.usb) it->second.usbChecksum.reset();
    return;
  }
  if (!line.mcu && !line.usb) return;
  Unit& unit = m_units[line.serial];
  if (line.mcu) unit.mcuChecksum = line.mcuChecksum;
  if (line.usb) unit.usbChecksum = line.usbChecksum;
  unit.time = line.time;
}

std::optional<std::string> RecordIndex::UpdatedAt(const std::string& serial, const RecordImage& image, bool mcu,
                                                  bool usb) const {
  if (serial.empty() || (!mcu && !usb)) return std::nullopt;
  const auto it = m_units.find(serial);
  if (it == m_units.end()) return std::nullopt;
  const Unit& unit = it->second;
  if (mcu && (image.mcuChecksum.empty() || unit.mcuChecksum != image.mcuChecksum)) return std::nullopt;
  if (usb && (image.usbChecksum.empty() || unit.usbChecksum != image.usbChecksum)) return std::nullopt;
  return unit.time;
}

RecordContents ReadRecord(std::string_view text, RecordFormat format) {
  RecordContents contents;
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
    } else if (!headerSeen) {
      // The first line is the header: it says where each field is.
      headerSeen = true;
      columns = ParseCsvHeader(line);
      if (columns) continue;
    } else if (columns) {
      parsed = ParseCsvLine(line, *columns);
    }
    if (!parsed) {
      if (contents.badLines++ == 0) contents.firstBadLine = number;
      continue;
    }
    ++contents.lines;
    contents.index.Add(*parsed);
  }
  return contents;
}

std::unique_ptr<StationRecord> StationRecord::Open(const std::string& path, RecordImage image, std::string& error,
                                                   std::string& warning) {
  std::unique_ptr<StationRecord> record(new StationRecord());
  record->m_path = path;
  record->m_format = RecordFormatFor(path);
  record->m_image = std::move(image);
  record->m_host = HostName();
  const std::filesystem::path file = PathOf(path);
  record->m_file = AppendFile::Open(file, error);
  if (!record->m_file) return nullptr;

  // Read in one piece: a long record is read at every start.
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  if (!in) {
    error = "it cannot be read";
    return nullptr;
  }
  std::string text;
  const std::streamoff size = in.tellg();
  if (size > 0) {
    text.resize(static_cast<std::size_t>(size));
    in.seekg(0);
    in.read(text.data(), size);
    text.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  }
  if (in.bad()) {
    error = "it cannot be read";
    return nullptr;
  }
  RecordContents contents = ReadRecord(text, record->m_format);
  record->m_index = std::move(contents.index);
  if (contents.badLines != 0) {
    warning = path + ": skipped " + std::to_string(contents.badLines) +
              (contents.badLines == 1 ? " line that does not parse" : " lines that do not parse") + " (line " +
              std::to_string(contents.firstBadLine) + (contents.badLines == 1 ? ")" : " and later)");
  }
  // A last line that a failed write cut short is ended first, so that the
  // next line stays whole and readable.
  if (!text.empty() && text.back() != '\n') record->m_prefix = "\n";
  if (text.find_first_not_of("\r\n") == std::string::npos && record->m_format == RecordFormat::Csv) {
    record->m_prefix += CsvHeader();
  }
  return record;
}

RecordLine StationRecord::NewLine(std::time_t started) const {
  RecordLine line;
  line.time = IsoLocalTime(started);
  line.host = m_host;
  line.programVersion = ORVIK_PROGRAM_VERSION;
  line.mcuVersion = m_image.mcuVersion;
  line.usbVersion = m_image.usbVersion;
  line.mcuChecksum = m_image.mcuChecksum;
  line.usbChecksum = m_image.usbChecksum;
  return line;
}

bool StationRecord::Append(const RecordLine& line, std::string& error) {
  if (!m_file->Append(m_prefix + FormatRecordLine(m_format, line), error)) {
    // Whatever part reached the file is ended before any later line.
    m_prefix = "\n";
    return false;
  }
  m_prefix.clear();
  m_index.Add(line);
  return true;
}

}  // namespace orvik::cli
