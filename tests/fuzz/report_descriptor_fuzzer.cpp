// The report-descriptor parser over arbitrary descriptors, as a device could
// hand them to sysfs. Besides never reading outside the buffer, a parsed
// summary must keep its own promises: lengths within the bound, one entry per
// report ID, and ID 0 only when no Report ID item appeared.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <span>

#include "hid/report_descriptor.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > orvik::kMaxReportDescriptorSize) return -1;  // never reaches sysfs; not kept in the corpus
  const auto summary = orvik::ParseReportDescriptor(std::span<const std::uint8_t>(data, size));
  if (!summary) return 0;

  std::set<std::uint8_t> ids;
  for (const orvik::ReportLengths& report : summary->reports) {
    Check(ids.insert(report.reportId).second);
    Check(report.inputBits <= orvik::kMaxReportBits && report.outputBits <= orvik::kMaxReportBits);
    Check(report.InputBytes() < 16384 && report.OutputBytes() < 16384);
    Check(summary->Find(report.reportId) == &report);
    if (!summary->usesReportIds) Check(report.reportId == 0);
  }
  return 0;
}
