// The record's lines as text: one line per unit run, as JSON lines or CSV,
// written and read back, and what a run of lines says about a serial.
//
//   {"time":"2026-12-08T09:41:05+01:00","host":"line-3","program_version":"2.0.0.6",
//    "path":"/dev/hidraw3","serial":"SN0042","mcu":true,"usb":true,"mcu_version":"Y1-3",
//    "usb_version":"Y1-1","mcu_checksum":"0x6b2d","usb_checksum":"0x1f7c","status":0,
//    "failure":0,"message":"Update complete","duration_ms":5021,"station":"line-3",
//    "operator":"","port":"","slot":"","run_id":"...","state":"finished"}
//
// A run is written twice: a "started" line before the unit's first command,
// and a "finished" line with its result. Lines written before runs were
// recorded at their start have only the first 15 fields and count as
// finished. A started line's status is null; lines since the schema's
// version 2 end with "time_utc". The field names are part of the program's
// interface (docs/stations.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "image/resources.h"
#include "log/local_time.h"

namespace orvik::record {

// The firmware of the built-in image as the log shows it: versions "Y1-3",
// checksums "0x6b2d" (from the sections' trailers). Empty texts when the
// image is missing or has the wrong size.
struct RecordImage {
  std::string mcuVersion;
  std::string usbVersion;
  std::string mcuChecksum;
  std::string usbChecksum;
};
RecordImage DescribeImage(const Resources& resources);

inline constexpr char kStateStarted[] = "started";
inline constexpr char kStateFinished[] = "finished";

// One line of the record.
struct RecordLine {
  std::string time;  // when the run started: local time, ISO 8601 with the UTC offset
  std::string host;
  std::string programVersion;
  std::string path;
  std::string serial;  // device input: any bytes
  bool mcu = false;    // the main controller was to be updated
  bool usb = false;    // the USB controller was to be updated
  std::string mcuVersion;
  std::string usbVersion;
  std::string mcuChecksum;
  std::string usbChecksum;
  // The command's exit status for this unit: 0 complete, 1 failed. Only a
  // finished line has one: a started line's is written as null (JSON), an
  // empty cell (CSV) or NULL (databases), so that no reader takes a run that
  // never finished for a complete one.
  int status = 0;
  int failure = 0;  // the failure's number; 0 when complete
  std::string message;
  std::int64_t durationMs = 0;
  std::string station;       // --station-name; the host name by default
  std::string operatorName;  // --operator; empty by default
  std::string port;          // the unit's USB port; empty when unknown
  std::string slot;          // the station's slot; empty without a slot map
  std::string runId;         // one per unit run; empty in old lines
  std::string state = kStateFinished;  // kStateStarted or kStateFinished
  std::string timeUtc;       // `time` in UTC, "2026-12-08T08:41:05Z"; empty in old lines

  bool Finished() const { return state != kStateStarted; }
  bool operator==(const RecordLine&) const = default;
};

// The largest values a line may hold; anything beyond is refused, never
// wrapped.
inline constexpr std::int64_t kMaxStatus = 255;
inline constexpr std::int64_t kMaxFailure = INT32_MAX;

using orvik::IsoLocalTime;

// "2026-12-08T08:41:05Z": a local time as IsoLocalTime writes it, in UTC
// (lexicographic order is time order). Empty when `local` is not of that form.
std::string UtcTimeOf(std::string_view local);

enum class RecordFormat { JsonLines, Csv };

// Csv when `path` ends in ".csv" (any case), JsonLines otherwise.
RecordFormat RecordFormatFor(std::string_view path);

// The header line of a CSV record, with its line end.
std::string CsvHeader();

// Whether a character is one that a terminal or a text viewer acts on or
// hides rather than shows: C0 and C1 controls, DEL, the bidirectional marks,
// embeddings, overrides and isolates, zero-width characters, the byte-order
// mark and the line and paragraph separators.
bool IsHiddenOrActing(char32_t code);

// A CSV cell for text: always quoted, quotes doubled. A cell that a
// spreadsheet would take for a formula (starting with '=', '+', '-' or '@')
// gets a leading "'"; so does one that starts with "'" already. Bytes that
// are not UTF-8, every byte of a character IsHiddenOrActing names, and a
// backslash before an 'x' become \xNN, so that the file is valid UTF-8 with
// one line per record whatever a device sent. Reading it back (CsvCellText)
// gives the text exactly.
std::string CsvCell(std::string_view text);
// The text a CsvCell was made from, given the cell's unquoted content.
std::string CsvCellText(std::string_view content);

// For a JSON string or a database's text column: bytes that are not UTF-8,
// NUL when `nul` (a database's text refuses it), and a backslash before an
// 'x', become \xNN; UnescapeBytes gives the bytes back exactly.
std::string EscapeBytes(std::string_view text, bool nul = false);
std::string UnescapeBytes(std::string_view text);

// `line` in `format`, ending in a line feed. JSON is valid UTF-8 whatever the
// text fields hold; nothing throws.
std::string FormatRecordLine(RecordFormat format, const RecordLine& line);

// A JSON line read back; nothing when it is not a record line (a field
// missing or of the wrong type, a number out of range, not JSON).
std::optional<RecordLine> ParseJsonLine(std::string_view text);
// Its two halves, for the differential fuzzer: the fast reader of the lines
// the record writes itself (nothing when it leaves the line to the general
// parser; a null line inside when it decided the line is not a record line),
// and the general JSON parser.
std::optional<std::optional<RecordLine>> ParseJsonLineFast(std::string_view text);
std::optional<RecordLine> ParseJsonLineGeneral(std::string_view text);

// What a record shows about each serial number: its latest run.
class RecordIndex {
 public:
  // Takes the lines in the order they were written. A started line makes its
  // run the serial's latest; a finished line completes it (a finished line
  // of an earlier run that was overtaken changes nothing).
  void Add(const RecordLine& line);

  // The time of the serial's latest run when that run finished, was a
  // success, updated the same controllers (`mcu`, `usb`) and wrote this
  // image's checksums; nothing otherwise, or when the serial is empty.
  std::optional<std::string> UpdatedAt(const std::string& serial, const RecordImage& image, bool mcu,
                                       bool usb) const;

  std::size_t Serials() const { return m_units.size(); }

 private:
  struct Unit {
    std::string runId;
    bool finished = false;
    int status = 0;
    bool mcu = false;
    bool usb = false;
    std::string mcuChecksum;
    std::string usbChecksum;
    std::string time;
  };
  std::map<std::string, Unit, std::less<>> m_units;
  std::unordered_set<std::string> m_started;  // run ids seen started
};

// One CSV header line's layout: where each field is. Nothing when the line
// is not a header naming every required field.
struct CsvLayout {
  std::vector<std::size_t> columns;  // per field; SIZE_MAX when absent
  bool current = true;               // it names every field this version writes
};
std::optional<CsvLayout> ParseCsvHeaderLine(std::string_view line);
// A CSV data line under `layout`; nothing when it does not parse.
std::optional<RecordLine> ParseCsvRecordLine(std::string_view line, const CsvLayout& layout);
// Whether a CSV line is a header line: it starts unquoted with the first
// field's name (a data line's cells are always quoted).
bool IsCsvHeaderLine(std::string_view line);

// A record's text read back. `line` (when given) is called with each line
// that parses; every such line goes into the index.
struct RecordContents {
  RecordIndex index;
  std::size_t lines = 0;         // lines that parsed
  std::size_t badLines = 0;      // lines that did not parse (skipped)
  std::size_t firstBadLine = 0;  // 1-based number of the first of them
  bool csvHeaderCurrent = true;  // a CSV record's last header names every field
};
RecordContents ReadRecord(std::string_view text, RecordFormat format,
                          const std::function<void(const RecordLine&)>& line = {});

}  // namespace orvik::record
