#include "record/file_record.h"

#include <algorithm>

#include "record/backends.h"

#ifndef ORVIK_PROGRAM_VERSION
#error "ORVIK_PROGRAM_VERSION must be defined by the build"
#endif

namespace orvik::record {
namespace {

std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// Every run in `text`, oldest first: a run's finished line takes the place
// of its started one.
std::vector<RecordLine> Runs(std::string_view text, RecordFormat format, const std::optional<std::string>& serial) {
  std::vector<RecordLine> runs;
  std::map<std::string, std::size_t, std::less<>> started;  // run id -> index
  ReadRecord(text, format, [&](const RecordLine& line) {
    if (serial && line.serial != *serial) return;
    if (!line.runId.empty()) {
      const auto it = started.find(line.runId);
      if (it != started.end()) {
        runs[it->second] = line;
        if (line.Finished()) started.erase(it);
        return;
      }
      if (!line.Finished()) started.emplace(line.runId, runs.size());
    }
    runs.push_back(line);
  });
  return runs;
}

}  // namespace

std::unique_ptr<FileRecord> FileRecord::Open(const std::string& path, RecordImage image, std::string& error,
                                             std::string& warning) {
  RecordOptions options;
  options.image = std::move(image);
  return Open(path, options, error, warning);
}

std::unique_ptr<FileRecord> FileRecord::Open(const std::string& path, const RecordOptions& options, std::string& error,
                                             std::string& warning) {
  std::unique_ptr<FileRecord> record(new FileRecord(options));
  record->m_path = path;
  record->m_format = RecordFormatFor(path);
  const std::filesystem::path file = PathOf(path);
  // Read first: a FIFO or a device is refused here at once, before anything
  // is created or opened for writing.
  const std::optional<std::string> text = ReadRegularFile(file, error);
  if (!text) return nullptr;
  std::error_code ignored;
  if (options.readOnly && text->empty() && !std::filesystem::exists(file, ignored)) {
    error = "no such file";
    return nullptr;
  }
  RecordContents contents = ReadRecord(*text, record->m_format);
  record->m_index = std::move(contents.index);
  if (contents.badLines != 0) {
    warning = path + ": skipped " + std::to_string(contents.badLines) +
              (contents.badLines == 1 ? " line that does not parse" : " lines that do not parse") + " (line " +
              std::to_string(contents.firstBadLine) + (contents.badLines == 1 ? ")" : " and later)");
  }
  if (options.readOnly) return record;
  record->m_file = AppendFile::Open(file, error);
  if (!record->m_file) return nullptr;
  // A last line that a failed write cut short is ended first, so that the
  // next line stays whole and readable.
  if (!text->empty() && text->back() != '\n') record->m_prefix.assign(1, '\n');
  if (record->m_format == RecordFormat::Csv &&
      (text->find_first_not_of("\r\n") == std::string::npos || !contents.csvHeaderCurrent)) {
    record->m_prefix += CsvHeader();
  }
  return record;
}

RecordLine FileRecord::NewLine(std::time_t started) const {
  Run run;
  run.time = IsoLocalTime(started);
  RecordLine line = LineFor(run, kStateFinished);
  line.station.clear();
  return line;
}

bool FileRecord::Append(const RecordLine& line, std::string& error) {
  const std::lock_guard<std::mutex> lock(m_lock);
  if (!m_file) {
    error = "the record is open for reading only";
    return false;
  }
  std::string bytes = m_prefix;
  bytes += FormatRecordLine(m_format, line);
  if (!m_file->Append(bytes, error)) {
    // Whatever part reached the file is ended before any later line.
    m_prefix.assign(1, '\n');
    return false;
  }
  m_prefix.clear();
  m_index.Add(line);
  return true;
}

std::optional<std::string> FileRecord::UpdatedAt(const std::string& serial, bool mcu, bool usb) {
  const std::lock_guard<std::mutex> lock(m_lock);
  return m_index.UpdatedAt(serial, m_options.image, mcu, usb);
}

bool FileRecord::Started(const Run& run, std::string& error) { return Append(LineFor(run, kStateStarted), error); }

bool FileRecord::Finished(const Run& run, std::string& error) { return Append(LineFor(run, kStateFinished), error); }

bool FileRecord::History(const std::optional<std::string>& serial, const RunVisitor& each, std::string& error) {
  const std::optional<std::string> text = ReadRegularFile(PathOf(m_path), error);
  if (!text) return false;
  std::vector<RecordLine> lines = Runs(*text, m_format, serial);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (!each(*it)) break;
  }
  return true;
}

std::unique_ptr<StationRecord> OpenFileRecord(const std::string& path, const RecordOptions& options,
                                              std::string& error, std::string& notice) {
  return FileRecord::Open(path, options, error, notice);
}

}  // namespace orvik::record
