// The record as a file of lines (JSON lines, or CSV for a name ending in
// ".csv"), only ever appended to, one line per started and per finished
// run. Nothing is read whole: a start reads the file's end, the skip look-up
// reads back from the end over at most kFileLookBackBytes, and --history
// reads backwards in bounded memory.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "record/append_file.h"
#include "record/record.h"

namespace orvik::record {

// How far back from its end the skip look-up reads a file record (about
// 80,000 runs of two lines): a unit whose latest run is older than that is
// flashed again, never passed over without its run having been read. Beyond
// that size a record belongs in SQLite.
inline constexpr std::uint64_t kFileLookBackBytes = 64ull << 20;

class FileRecord final : public StationRecord {
 public:
  // Opens `path` for appending, creating it when missing (reading only its
  // end). Null when it cannot be opened, with the reason in `error`.
  // `warning` is kept for callers; nothing sets it now that the file is not
  // read whole at start.
  static std::unique_ptr<FileRecord> Open(const std::string& path, const RecordOptions& options, std::string& error,
                                          std::string& warning);
  static std::unique_ptr<FileRecord> Open(const std::string& path, RecordImage image, std::string& error,
                                          std::string& warning);

  const std::string& Path() const { return m_path; }
  RecordFormat Format() const { return m_format; }
  const RecordImage& Image() const { return m_options.image; }

  // A finished line for a unit whose update started at `started`: time,
  // host, this program's version and the image's firmware filled in.
  RecordLine NewLine(std::time_t started) const;

  // Appends the line and flushes it to the disk; false, with the reason in
  // `error`, when it did not reach the file whole.
  bool Append(const RecordLine& line, std::string& error);

  // record::Recorder
  std::optional<std::string> UpdatedAt(const std::string& serial, bool mcu, bool usb) override;
  bool Started(const Run& run, std::string& error) override;
  bool Finished(const Run& run, std::string& error) override;
  std::string Where() const override { return m_path; }
  using StationRecord::History;
  bool History(const std::optional<std::string>& serial, const RunVisitor& each, std::string& error) override;

 private:
  explicit FileRecord(const RecordOptions& options) : StationRecord(options) {}

  std::mutex m_lock;  // the file and the prefix
  std::string m_path;
  RecordFormat m_format = RecordFormat::JsonLines;
  std::unique_ptr<AppendFile> m_file;
  // What goes before the next line: a CSV header for an empty file (or one
  // whose header lacks the newer fields), a line end after a last line that a
  // failed write left unfinished.
  std::string m_prefix;
  // A CSV record's header as the station's lines are written under it.
  std::optional<CsvLayout> m_csvLayout;
};

}  // namespace orvik::record
