// The record's JSON lines over arbitrary input: the fast reader and the
// general JSON parser must accept exactly the same lines with the same
// values (where the fast reader decides at all), and every line that reads
// must read back the same after it is written again, in JSON and in CSV.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "record/record_text.h"

namespace {

using namespace orvik::record;

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckRoundTrip(const RecordLine& line) {
  const std::optional<RecordLine> json = ParseJsonLine(FormatRecordLine(RecordFormat::JsonLines, line));
  Check(json && *json == line);
  std::optional<RecordLine> csv;
  ReadRecord(CsvHeader() + FormatRecordLine(RecordFormat::Csv, line), RecordFormat::Csv,
             [&](const RecordLine& read) { csv = read; });
  Check(csv && *csv == line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<std::optional<RecordLine>> fast = ParseJsonLineFast(text);
  const std::optional<RecordLine> general = ParseJsonLineGeneral(text);
  if (fast) Check(*fast == general);
  if (general) CheckRoundTrip(*general);
  // The same text as a CSV line under the current header: whatever reads
  // must be written back the same.
  std::optional<RecordLine> csv;
  ReadRecord(CsvHeader() + std::string(text), RecordFormat::Csv, [&](const RecordLine& read) { csv = read; });
  if (csv && text.find('\n') == std::string_view::npos) CheckRoundTrip(*csv);
  return 0;
}
