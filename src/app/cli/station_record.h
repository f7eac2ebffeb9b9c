// --record FILE: one line per unit the command line updated or tried to
// update, appended to FILE (JSON lines, or CSV when FILE ends in ".csv"), and
// what that file shows about units already updated (--again ignores it).
//
//   {"time":"2026-12-08T09:41:05+01:00","host":"line-3","program_version":"2.0.0.6",
//    "path":"/dev/hidraw3","serial":"SN0042","mcu":true,"usb":true,"mcu_version":"Y1-3",
//    "usb_version":"Y1-1","mcu_checksum":"0x6b2d","usb_checksum":"0x1f7c","status":0,
//    "failure":0,"message":"Update complete","duration_ms":5021,"port":"1-1.4.2","slot":"A2"}
//
// The field names are part of the program's interface (docs/stations.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/record_file.h"
#include "image/resources.h"

namespace orvik::cli {

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

// One line of the record.
struct RecordLine {
  std::string time;  // local time, ISO 8601 with the UTC offset
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
  int status = 0;   // the command's exit status for this unit: 0 complete, 1 failed
  int failure = 0;  // the failure's number; 0 when complete
  std::string message;
  std::int64_t durationMs = 0;
  std::string port;  // the unit's USB port; empty when unknown (and in older records)
  std::string slot;  // its slot's name (--slots); empty without one
};

// "2026-12-08T09:41:05+01:00": `when` in the local time zone.
std::string IsoLocalTime(std::time_t when);

enum class RecordFormat { JsonLines, Csv };

// Csv when `path` ends in ".csv" (any case), JsonLines otherwise.
RecordFormat RecordFormatFor(std::string_view path);

// The header line of a CSV record, with its line end.
std::string CsvHeader();

// A CSV cell for text: always quoted, quotes doubled. A cell that a
// spreadsheet would take for a formula (starting with '=', '+', '-' or '@')
// gets a leading "'"; so does one that starts with "'" already. Control
// characters, bytes that are not UTF-8 and a backslash before an 'x' become
// \xNN, so that the file is valid UTF-8 with one line per record whatever a
// device sent. Reading it back (CsvCellText) gives the text exactly.
std::string CsvCell(std::string_view text);
// The text a CsvCell was made from, given the cell's unquoted content.
std::string CsvCellText(std::string_view content);

// `line` in `format`, ending in a line feed. JSON is valid UTF-8 whatever the
// text fields hold (what is not UTF-8 is replaced); nothing throws.
std::string FormatRecordLine(RecordFormat format, const RecordLine& line);

// What a record shows about each serial number: the firmware each controller
// last received in full, as far as the lines tell.
class RecordIndex {
 public:
  // Takes the lines in the order they were written: a success sets the
  // checksum of each controller it updated; a failure leaves the controllers
  // it touched unknown (the failed run may have erased them).
  void Add(const RecordLine& line);

  // The time of the line after which `serial` holds `image` in every
  // controller asked for (`mcu`, `usb`); nothing when the record does not
  // show that, or the serial is empty.
  std::optional<std::string> UpdatedAt(const std::string& serial, const RecordImage& image, bool mcu,
                                       bool usb) const;

  std::size_t Serials() const { return m_units.size(); }

 private:
  struct Unit {
    std::optional<std::string> mcuChecksum;
    std::optional<std::string> usbChecksum;
    std::string time;  // of the last success
  };
  std::map<std::string, Unit, std::less<>> m_units;
};

// A record's text read back: every line that parses goes into the index.
struct RecordContents {
  RecordIndex index;
  std::size_t lines = 0;         // lines that parsed
  std::size_t badLines = 0;      // lines that did not parse (skipped)
  std::size_t firstBadLine = 0;  // 1-based number of the first of them
};
RecordContents ReadRecord(std::string_view text, RecordFormat format);

// The open record of one run of the command line.
class StationRecord {
 public:
  // Reads what `path` holds already and opens it for appending, creating it
  // when missing. Null when it cannot be read or opened, with the reason in
  // `error`. `warning` is set (once, for all of them) when lines were
  // skipped because they do not parse.
  static std::unique_ptr<StationRecord> Open(const std::string& path, RecordImage image, std::string& error,
                                             std::string& warning);

  const std::string& Path() const { return m_path; }
  RecordFormat Format() const { return m_format; }
  const RecordImage& Image() const { return m_image; }
  const RecordIndex& Index() const { return m_index; }

  // When the record shows the unit with `serial` updated with this image in
  // every controller asked for: the time of that line.
  std::optional<std::string> UpdatedAt(const std::string& serial, bool mcu, bool usb) const {
    return m_index.UpdatedAt(serial, m_image, mcu, usb);
  }

  // A line for a unit whose update started at `started`: time, host, this
  // program's version and the image's firmware filled in.
  RecordLine NewLine(std::time_t started) const;

  // Appends the line and flushes it to the disk; false, with the reason in
  // `error`, when it did not reach the file whole. Also takes the line into
  // the index.
  bool Append(const RecordLine& line, std::string& error);

 private:
  StationRecord() = default;

  std::string m_path;
  RecordFormat m_format = RecordFormat::JsonLines;
  RecordImage m_image;
  RecordIndex m_index;
  std::string m_host;
  std::unique_ptr<AppendFile> m_file;
  // What goes before the next line: a CSV header for an empty file, a line
  // end after a last line that a failed write left unfinished.
  std::string m_prefix;
};

}  // namespace orvik::cli
