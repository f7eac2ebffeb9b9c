// A small HID report-descriptor parser: it answers how long each input and
// output report is, per report ID. That is all the Linux device search needs
// to tell the updater's interface of a composite device from its keyboard or
// mouse interfaces, which show the same vendor and product IDs.
//
// The descriptor comes from the device (through sysfs) and is untrusted: the
// parser never reads past the buffer, bounds the global item stack, and
// rejects reports longer than any report the kernel accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace orvik {

// The kernel's HID_MAX_DESCRIPTOR_SIZE: longer descriptors never reach sysfs.
inline constexpr std::size_t kMaxReportDescriptorSize = 4096;

// Depth of the Push/Pop stack of global items (the kernel allows as many).
inline constexpr std::size_t kMaxGlobalStackDepth = 4;

// Longest report, in bits, without its report-ID byte: the kernel refuses
// reports that do not fit its 16,384-byte buffer together with the ID byte.
inline constexpr std::uint64_t kMaxReportBits = (16384 - 1) * 8;

struct ReportLengths {
  std::uint8_t reportId = 0;  // 0: the descriptor declares no report IDs
  std::uint64_t inputBits = 0;
  std::uint64_t outputBits = 0;

  // Bytes on the wire, without the report-ID byte (bits rounded up).
  std::size_t InputBytes() const { return static_cast<std::size_t>((inputBits + 7) / 8); }
  std::size_t OutputBytes() const { return static_cast<std::size_t>((outputBits + 7) / 8); }
};

struct ReportDescriptorSummary {
  // True when any Report ID item appears: every report then starts with its ID.
  bool usesReportIds = false;
  // One entry per report ID that has input or output fields, in the order of
  // first appearance.
  std::vector<ReportLengths> reports;

  // The entry for `reportId`, or null when that report has no input or output.
  const ReportLengths* Find(std::uint8_t reportId) const;
};

// Parses a report descriptor. Nothing when it is malformed: an item that runs
// past the end, a Push beyond kMaxGlobalStackDepth, a Pop with nothing pushed,
// report ID 0 or above 255, a report longer than kMaxReportBits.
std::optional<ReportDescriptorSummary> ParseReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace orvik
