#include "hid/report_descriptor.h"

#include <algorithm>
#include <array>

namespace orvik {
namespace {

// Item prefix byte: bits 0-1 data size (3 means 4 bytes), bits 2-3 type,
// bits 4-7 tag. 0xFE introduces a long item: data size and tag follow in the
// next two bytes, then the data.
constexpr std::uint8_t kLongItemPrefix = 0xFE;

enum ItemType : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2, kReserved = 3 };

enum MainTag : std::uint8_t { kInput = 0x8, kOutput = 0x9 };

enum GlobalTag : std::uint8_t {
  kReportSize = 0x7,
  kReportId = 0x8,
  kReportCount = 0x9,
  kPush = 0xA,
  kPop = 0xB,
};

// The part of the global item state that decides report lengths.
struct GlobalState {
  std::uint32_t reportSize = 0;   // bits per field
  std::uint32_t reportCount = 0;  // fields per main item
  std::uint8_t reportId = 0;
};

// Little-endian, unsigned: Report Size, Count and ID are unsigned values.
std::uint32_t ItemValue(std::span<const std::uint8_t> data) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < data.size(); ++i) value |= static_cast<std::uint32_t>(data[i]) << (8 * i);
  return value;
}

ReportLengths& EntryFor(ReportDescriptorSummary& summary, std::uint8_t reportId) {
  auto it = std::find_if(summary.reports.begin(), summary.reports.end(),
                         [reportId](const ReportLengths& r) { return r.reportId == reportId; });
  if (it != summary.reports.end()) return *it;
  summary.reports.push_back(ReportLengths{reportId, 0, 0});
  return summary.reports.back();
}

}  // namespace

const ReportLengths* ReportDescriptorSummary::Find(std::uint8_t reportId) const {
  auto it = std::find_if(reports.begin(), reports.end(),
                         [reportId](const ReportLengths& r) { return r.reportId == reportId; });
  return it == reports.end() ? nullptr : &*it;
}

std::optional<ReportDescriptorSummary> ParseReportDescriptor(std::span<const std::uint8_t> descriptor) {
  ReportDescriptorSummary summary;
  GlobalState state;
  std::array<GlobalState, kMaxGlobalStackDepth> stack{};
  std::size_t stackDepth = 0;

  std::size_t pos = 0;
  while (pos < descriptor.size()) {
    const std::uint8_t prefix = descriptor[pos];
    const std::size_t remaining = descriptor.size() - pos - 1;  // bytes after the prefix

    if (prefix == kLongItemPrefix) {
      // No long item tags are defined; skip the item whole.
      if (remaining < 2) return std::nullopt;
      const std::size_t dataSize = descriptor[pos + 1];
      if (remaining - 2 < dataSize) return std::nullopt;
      pos += 3 + dataSize;
      continue;
    }

    const std::size_t dataSize = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
    if (remaining < dataSize) return std::nullopt;
    const auto type = static_cast<std::uint8_t>((prefix >> 2) & 0x3);
    const auto tag = static_cast<std::uint8_t>(prefix >> 4);
    const std::uint32_t value = ItemValue(descriptor.subspan(pos + 1, dataSize));
    pos += 1 + dataSize;

    if (type == kGlobal) {
      switch (tag) {
        case kReportSize:
          state.reportSize = value;
          break;
        case kReportCount:
          state.reportCount = value;
          break;
        case kReportId:
          if (value == 0 || value > 0xFF) return std::nullopt;
          state.reportId = static_cast<std::uint8_t>(value);
          summary.usesReportIds = true;
          break;
        case kPush:
          if (stackDepth == stack.size()) return std::nullopt;
          stack[stackDepth++] = state;
          break;
        case kPop:
          if (stackDepth == 0) return std::nullopt;
          state = stack[--stackDepth];
          break;
        default:
          break;  // usage page, logical and physical ranges, units: no effect on lengths
      }
    } else if (type == kMain && (tag == kInput || tag == kOutput)) {
      // Constant (padding) fields count too: they occupy bits in the report.
      // 32 bits × 32 bits fits in 64 bits, so the product cannot overflow.
      const std::uint64_t bits = std::uint64_t{state.reportSize} * state.reportCount;
      ReportLengths& entry = EntryFor(summary, state.reportId);
      std::uint64_t& total = tag == kInput ? entry.inputBits : entry.outputBits;
      if (bits > kMaxReportBits - total) return std::nullopt;
      total += bits;
    }
    // Local items (usages), collections, Feature items and reserved items do
    // not change input or output lengths.
  }
  return summary;
}

}  // namespace orvik
