#include "record/file_record.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <map>
#include <set>
#include <unordered_map>

#include "log/native_path.h"
#include "record/backends.h"
#include "record/record_os.h"

#ifndef ORVIK_PROGRAM_VERSION
#error "ORVIK_PROGRAM_VERSION must be defined by the build"
#endif

namespace orvik::record {
namespace {

std::filesystem::path PathOf(const std::string& utf8) { return PathFromUtf8(utf8); }

// Chunks read at a time, and the longest line taken (a longer one is not a
// record line: skipped, so that a damaged file cannot take the memory).
constexpr std::size_t kChunk = 1 << 20;
constexpr std::size_t kLongestLine = 1 << 20;


// A file's lines from the last to the first, read in chunks: memory stays
// bounded whatever the file's size. Stops after `limit` bytes from the end.
class BackwardLines {
 public:
  BackwardLines(RandomReadFile& file, std::uint64_t limit = UINT64_MAX)
      : m_file(file), m_position(file.Size()), m_stop(file.Size() > limit ? file.Size() - limit : 0) {}

  // The next line towards the start (its line end removed) and its offset;
  // false at the start (or the limit), or on a read error (in `error`).
  bool Next(std::string& line, std::uint64_t& offset, std::string& error) {
    for (;;) {
      const std::size_t newline = m_tail.rfind('\n');
      if (newline != std::string::npos) {
        line = m_tail.substr(newline + 1);
        m_tail.resize(newline);
        offset = m_position + newline + 1;
        if (!m_skipping) return Clean(line);
        m_skipping = false;
        continue;
      }
      if (m_position == m_stop) {
        if (m_done) return false;
        m_done = true;
        if (m_skipping || (m_stop != 0)) return false;  // a line cut by the limit is not read
        line = std::move(m_tail);
        m_tail.clear();
        offset = 0;
        return Clean(line);
      }
      const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, m_position - m_stop));
      std::string chunk(size, '\0');
      std::size_t have = 0;
      while (have < size) {
        const std::int64_t n = m_file.ReadAt(m_position - size + have, chunk.data() + have, size - have, error);
        if (n < 0) return false;
        if (n == 0) {
          error = "the file became shorter while it was read";
          return false;
        }
        have += static_cast<std::size_t>(n);
      }
      m_position -= size;
      m_tail.insert(0, chunk);
      if (m_tail.find('\n') == std::string::npos && m_tail.size() > kLongestLine) {
        m_tail.clear();
        m_skipping = true;  // the rest of an overlong line, up to its start
      }
    }
  }

 private:
  static bool Clean(std::string& line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  }

  RandomReadFile& m_file;
  std::uint64_t m_position;
  std::uint64_t m_stop;
  std::string m_tail;  // read, not yet handed out: the start of the last line so far
  bool m_skipping = false;
  bool m_done = false;
};

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// The first line of a file (BOM removed), read in bounded memory.
std::string FirstLine(RandomReadFile& file, std::string& error) {
  std::string line(static_cast<std::size_t>(std::min<std::uint64_t>(file.Size(), 4096)), '\0');
  const std::int64_t n = file.ReadAt(0, line.data(), line.size(), error);
  line.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  if (line.substr(0, kBom.size()) == kBom) line.erase(0, kBom.size());
  line.resize(std::min(line.find('\n'), line.size()));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The CSV header that applies to the file's last lines. A file that starts
// with the current header has no other (a header is written only after one
// that lacks fields): read at once. Otherwise the last header line within
// the look-back window, or the file's first line.
std::optional<CsvLayout> LastCsvHeader(RandomReadFile& file, std::string& error) {
  if (auto first = ParseCsvHeaderLine(FirstLine(file, error)); first && first->current) return first;
  BackwardLines lines(file, kFileLookBackBytes);
  std::string line;
  std::uint64_t offset = 0;
  while (lines.Next(line, offset, error)) {
    if (offset == 0 && line.substr(0, kBom.size()) == kBom) line.erase(0, kBom.size());
    if (IsCsvHeaderLine(line)) return ParseCsvHeaderLine(line);
  }
  return ParseCsvHeaderLine(FirstLine(file, error));
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
  // The format of the file the system opens: on Windows "rec.csv." is
  // "rec.csv", a CSV file.
  record->m_format = RecordFormatFor(FileNameAsOpened(path));
  const std::filesystem::path file = PathOf(path);
  // Opened first: a FIFO or a device is refused here at once, before
  // anything is created or opened for writing. Only the end of the file is
  // read: the skip look-up reads back from the end when it is asked.
  bool missing = false;
  const std::unique_ptr<RandomReadFile> existing = RandomReadFile::Open(file, error, &missing);
  if (!existing && !missing) return nullptr;
  if (!existing && options.readOnly) {
    error = "no such file";
    return nullptr;
  }
  error.clear();
  if (options.readOnly) return record;
  bool empty = true;
  bool headerCurrent = true;
  if (existing && existing->Size() != 0) {
    // A last line that a failed write cut short is ended first, so that the
    // next line stays whole and readable.
    char last = '\n';
    if (existing->ReadAt(existing->Size() - 1, &last, 1, error) != 1) return nullptr;
    if (last != '\n') {
      record->m_prefix.assign(1, '\n');
      warning = path + ": its last line is cut short (a write that failed); it is ended before the next line";
    }
    if (record->m_format == RecordFormat::Csv) {
      std::string probe(static_cast<std::size_t>(std::min<std::uint64_t>(existing->Size(), 4096)), '\0');
      const std::int64_t n = existing->ReadAt(0, probe.data(), probe.size(), error);
      probe.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
      empty = probe.find_first_not_of("\r\n") == std::string::npos && existing->Size() <= probe.size();
      const std::optional<CsvLayout> header = LastCsvHeader(*existing, error);
      headerCurrent = header && header->current;
      if (headerCurrent) record->m_csvLayout = header;
    }
  }
  record->m_file = AppendFile::Open(file, error);
  if (!record->m_file) return nullptr;
  if (record->m_format == RecordFormat::Csv && (empty || !headerCurrent)) {
    record->m_prefix += CsvHeader();
    std::string header = CsvHeader();
    header.pop_back();
    record->m_csvLayout = ParseCsvHeaderLine(header);
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
  return true;
}

std::optional<std::string> FileRecord::UpdatedAt(const std::string& serial, bool mcu, bool usb) {
  if (serial.empty() || (!mcu && !usb)) return std::nullopt;
  std::string error;
  const std::unique_ptr<RandomReadFile> file = RandomReadFile::Open(PathOf(m_path), error);
  if (!file) return std::nullopt;
  // Only lines that hold the serial's bytes can be its lines (a serial of
  // plain ASCII is written as it is in both forms); others are not parsed.
  const bool plain = std::all_of(serial.begin(), serial.end(), [](char c) {
    return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
  });
  // The header this station found or wrote at its start: lines above a
  // later header line are not read.
  const std::optional<CsvLayout>& layout = m_csvLayout;
  if (m_format == RecordFormat::Csv && !layout) return std::nullopt;
  // The serial's lines, newest first, back to the start of its latest run
  // (and the starts of the results that came after it).
  std::vector<RecordLine> found;
  std::set<std::string> unresolved;  // run ids of results whose start is not read yet
  bool startSeen = false;
  BackwardLines lines(*file, kFileLookBackBytes);
  std::string text;
  std::uint64_t offset = 0;
  bool complete = false;
  while (lines.Next(text, offset, error)) {
    if (offset == 0 && text.substr(0, kBom.size()) == kBom) text.erase(0, kBom.size());
    if (layout && IsCsvHeaderLine(text)) break;  // older lines are of another layout
    if (plain && text.find(serial) == std::string::npos) continue;
    std::optional<RecordLine> line =
        m_format == RecordFormat::Csv ? ParseCsvRecordLine(text, *layout) : ParseJsonLine(text);
    if (!line || line->serial != serial) continue;
    if (line->Finished() && !line->runId.empty()) {
      unresolved.insert(line->runId);
    } else {
      unresolved.erase(line->runId);
      startSeen = true;
    }
    found.push_back(std::move(*line));
    if (startSeen && unresolved.empty()) {
      complete = true;
      break;
    }
  }
  // Beyond the window, or the file's start: a run whose start was not found
  // is not trusted (the unit is flashed again, never passed over wrongly).
  if (!complete && !unresolved.empty()) return std::nullopt;
  RecordIndex index;
  for (auto it = found.rbegin(); it != found.rend(); ++it) index.Add(*it);
  return index.UpdatedAt(serial, m_options.image, mcu, usb);
}

bool FileRecord::Started(const Run& run, std::string& error) { return Append(LineFor(run, kStateStarted), error); }

bool FileRecord::Finished(const Run& run, std::string& error) { return Append(LineFor(run, kStateFinished), error); }

bool FileRecord::History(const std::optional<std::string>& serial, const RunVisitor& each, std::string& error) {
  error.clear();
  const std::unique_ptr<RandomReadFile> file = RandomReadFile::Open(PathOf(m_path), error);
  if (!file) return false;
  // CSV: where each header line is, so that a line read backwards is read
  // with the header above it. One forward pass, headers only.
  std::vector<std::pair<std::uint64_t, CsvLayout>> headers;
  if (m_format == RecordFormat::Csv) {
    const auto check = [&](std::string begin, std::uint64_t at) {
      if (at == 0 && begin.substr(0, kBom.size()) == kBom) begin.erase(0, kBom.size());
      if (!IsCsvHeaderLine(begin)) return;
      std::string line(65536, '\0');
      std::string ignored;
      const std::int64_t got = file->ReadAt(at, line.data(), line.size(), ignored);
      line.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
      line.resize(std::min(line.find('\n'), line.size()));
      if (at == 0 && line.substr(0, kBom.size()) == kBom) line.erase(0, kBom.size());
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (auto layout = ParseCsvHeaderLine(line)) headers.emplace_back(at, std::move(*layout));
    };
    std::string chunk(kChunk, '\0');
    std::uint64_t at = 0;
    std::string begin;              // a line's first bytes, while they are gathered
    std::uint64_t beginOffset = 0;
    bool gathering = true;
    for (;;) {
      const std::int64_t n = file->ReadAt(at, chunk.data(), chunk.size(), error);
      if (n < 0) return false;
      if (n == 0) break;
      const char* data = chunk.data();
      const std::size_t size = static_cast<std::size_t>(n);
      for (std::size_t i = 0; i < size; ++i) {
        if (!gathering) {
          const void* newline = std::memchr(data + i, '\n', size - i);
          if (newline == nullptr) break;
          i = static_cast<std::size_t>(static_cast<const char*>(newline) - data);
          gathering = true;
          begin.clear();
          beginOffset = at + i + 1;
          continue;
        }
        if (data[i] == '\n') {
          check(begin, beginOffset);
          begin.clear();
          beginOffset = at + i + 1;
          continue;
        }
        begin += data[i];
        if (begin.size() == 8) {
          check(begin, beginOffset);
          gathering = false;
        }
      }
      at += size;
    }
    if (gathering) check(begin, beginOffset);
  }
  // Newest first by start: a run's result stands for its start, so a result
  // read (backwards) before its start is held until the start is reached.
  // Held results are bounded; past the bound the oldest held is given out
  // where it is.
  constexpr std::size_t kHeld = 4096;
  std::list<RecordLine> heldLines;  // in the order they were read
  std::unordered_map<std::string, std::list<RecordLine>::iterator> held;  // by run id
  const auto give = [&](const RecordLine& line) { return each(line); };
  BackwardLines lines(*file);
  std::string text;
  std::uint64_t offset = 0;
  while (lines.Next(text, offset, error)) {
    if (offset == 0 && text.substr(0, kBom.size()) == kBom) text.erase(0, kBom.size());
    std::optional<RecordLine> line;
    if (m_format == RecordFormat::Csv) {
      if (IsCsvHeaderLine(text)) continue;
      const auto header = std::upper_bound(headers.begin(), headers.end(), offset,
                                           [](std::uint64_t at, const auto& h) { return at < h.first; });
      if (header == headers.begin()) continue;
      line = ParseCsvRecordLine(text, std::prev(header)->second);
    } else {
      line = ParseJsonLine(text);
    }
    if (!line || (serial && line->serial != *serial)) continue;
    if (line->runId.empty()) {
      if (!give(*line)) return true;
      continue;
    }
    if (line->Finished()) {
      if (held.count(line->runId) == 0) {
        heldLines.push_back(std::move(*line));
        held.emplace(heldLines.back().runId, std::prev(heldLines.end()));
      }
      if (held.size() > kHeld) {
        const RecordLine out = std::move(heldLines.front());
        held.erase(out.runId);
        heldLines.pop_front();
        if (!give(out)) return true;
      }
      continue;
    }
    const auto result = held.find(line->runId);
    if (result != held.end()) {
      const RecordLine out = std::move(*result->second);
      heldLines.erase(result->second);
      held.erase(result);
      if (!give(out)) return true;
    } else if (!give(*line)) {
      return true;
    }
  }
  if (!error.empty()) return false;
  // Results whose start is not in the file.
  for (const RecordLine& line : heldLines) {
    if (!give(line)) return true;
  }
  return true;
}

std::unique_ptr<StationRecord> OpenFileRecord(const std::string& path, const RecordOptions& options,
                                              std::string& error, std::string& notice) {
  return FileRecord::Open(path, options, error, notice);
}

}  // namespace orvik::record
