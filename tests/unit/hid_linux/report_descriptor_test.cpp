#include "hid/report_descriptor.h"

#include <gtest/gtest.h>

#include <random>

#include "unit/hid_linux/descriptors.h"

namespace orvik {
namespace {

using test::kBootKeyboard;
using test::kBootMouse;
using test::kVendor32;
using test::kVendorNumbered;

// Parses a copy of exactly `size` bytes on the heap, so that AddressSanitizer
// reports any read past the end.
std::optional<ReportDescriptorSummary> ParseExact(const std::vector<std::uint8_t>& bytes, std::size_t size) {
  std::vector<std::uint8_t> copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
  copy.shrink_to_fit();
  return ParseReportDescriptor(copy);
}

TEST(ReportDescriptor, BootKeyboardHasEightByteInputAndOneByteOutput) {
  const auto summary = ParseReportDescriptor(kBootKeyboard);
  ASSERT_TRUE(summary);
  EXPECT_FALSE(summary->usesReportIds);
  ASSERT_EQ(summary->reports.size(), 1u);
  EXPECT_EQ(summary->reports[0].InputBytes(), 8u);
  EXPECT_EQ(summary->reports[0].OutputBytes(), 1u);  // 5 LED bits + 3 bits of padding
}

TEST(ReportDescriptor, MouseHasThreeByteInputAndNoOutput) {
  const auto summary = ParseReportDescriptor(kBootMouse);
  ASSERT_TRUE(summary);
  const ReportLengths* report = summary->Find(0);
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->InputBytes(), 3u);
  EXPECT_EQ(report->OutputBytes(), 0u);
}

TEST(ReportDescriptor, VendorCollectionCarries32ByteInputAndOutput) {
  const auto summary = ParseReportDescriptor(kVendor32);
  ASSERT_TRUE(summary);
  EXPECT_FALSE(summary->usesReportIds);
  const ReportLengths* report = summary->Find(0);
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->InputBytes(), 32u);
  EXPECT_EQ(report->OutputBytes(), 32u);
}

TEST(ReportDescriptor, LengthsAreCountedPerReportIdAndFeatureReportsIgnored) {
  const auto summary = ParseReportDescriptor(kVendorNumbered);
  ASSERT_TRUE(summary);
  EXPECT_TRUE(summary->usesReportIds);
  EXPECT_EQ(summary->Find(0), nullptr);
  const ReportLengths* first = summary->Find(1);
  const ReportLengths* second = summary->Find(2);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->InputBytes(), 32u);
  EXPECT_EQ(first->OutputBytes(), 32u);
  EXPECT_EQ(second->InputBytes(), 4u);
  EXPECT_EQ(second->OutputBytes(), 0u);
}

TEST(ReportDescriptor, BitsAreRoundedUpToWholeBytes) {
  const std::vector<std::uint8_t> d = {0x75, 0x01, 0x95, 0x09, 0x81, 0x02};  // 9 one-bit fields
  const auto summary = ParseReportDescriptor(d);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->Find(0)->inputBits, 9u);
  EXPECT_EQ(summary->Find(0)->InputBytes(), 2u);
}

TEST(ReportDescriptor, FourByteItemDataIsLittleEndian) {
  // Report Size (8), Report Count (0x00000020) in a 4-byte item.
  const std::vector<std::uint8_t> d = {0x75, 0x08, 0x97, 0x20, 0x00, 0x00, 0x00, 0x91, 0x02};
  const auto summary = ParseReportDescriptor(d);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->Find(0)->OutputBytes(), 32u);
}

TEST(ReportDescriptor, PopRestoresSizeCountAndReportId) {
  const std::vector<std::uint8_t> d = {
      0x85, 0x01, 0x75, 0x08, 0x95, 0x20,  // Report ID 1, 32 × 8 bits
      0xA4,                                // Push
      0x85, 0x02, 0x75, 0x01, 0x95, 0x03,  // Report ID 2, 3 × 1 bit
      0x81, 0x02,                          // Input → report 2
      0xB4,                                // Pop
      0x81, 0x02,                          // Input → report 1, 32 bytes
  };
  const auto summary = ParseReportDescriptor(d);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->Find(2)->inputBits, 3u);
  EXPECT_EQ(summary->Find(1)->InputBytes(), 32u);
}

TEST(ReportDescriptor, GlobalStackIsBounded) {
  std::vector<std::uint8_t> d(kMaxGlobalStackDepth, 0xA4);  // as many Push items as allowed
  d.insert(d.end(), kMaxGlobalStackDepth, 0xB4);
  EXPECT_TRUE(ParseReportDescriptor(d));

  std::vector<std::uint8_t> tooDeep(kMaxGlobalStackDepth + 1, 0xA4);
  EXPECT_FALSE(ParseReportDescriptor(tooDeep));
  EXPECT_FALSE(ParseReportDescriptor(std::vector<std::uint8_t>{0xB4}));  // Pop with nothing pushed
}

TEST(ReportDescriptor, LongItemsAreSkipped) {
  const std::vector<std::uint8_t> d = {
      0xFE, 0x03, 0xF1, 0x81, 0x02, 0x81,  // long item whose data looks like Input items
      0x75, 0x08, 0x95, 0x01, 0x81, 0x02,
  };
  const auto summary = ParseReportDescriptor(d);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->Find(0)->inputBits, 8u);
}

TEST(ReportDescriptor, ItemsRunningPastTheEndAreRejected) {
  EXPECT_FALSE(ParseReportDescriptor(std::vector<std::uint8_t>{0x75}));                    // data missing
  EXPECT_FALSE(ParseReportDescriptor(std::vector<std::uint8_t>{0x97, 0x20, 0x00, 0x00}));  // 4-byte data cut
  EXPECT_FALSE(ParseReportDescriptor(std::vector<std::uint8_t>{0xFE}));                    // long item header cut
  EXPECT_FALSE(ParseReportDescriptor(std::vector<std::uint8_t>{0xFE, 0x05, 0x10, 0xAA}));  // long item data cut
}

TEST(ReportDescriptor, EveryTruncationOfARealDescriptorIsSafe) {
  for (const auto* full : {&kBootKeyboard, &kBootMouse, &kVendor32, &kVendorNumbered}) {
    for (std::size_t size = 0; size <= full->size(); ++size) {
      const auto summary = ParseExact(*full, size);
      if (!summary) continue;
      // A cut between items parses; it never yields more than the whole.
      const auto whole = ParseReportDescriptor(*full);
      for (const ReportLengths& part : summary->reports) {
        const ReportLengths* all = whole->Find(part.reportId);
        ASSERT_NE(all, nullptr);
        EXPECT_LE(part.inputBits, all->inputBits);
        EXPECT_LE(part.outputBits, all->outputBits);
      }
    }
  }
}

TEST(ReportDescriptor, InvalidReportIdsAreRejected) {
  EXPECT_FALSE(ParseReportDescriptor(std::vector<std::uint8_t>{0x85, 0x00}));        // ID 0 is reserved
  EXPECT_FALSE(ParseReportDescriptor(std::vector<std::uint8_t>{0x86, 0x00, 0x01}));  // ID 256
  EXPECT_TRUE(ParseReportDescriptor(std::vector<std::uint8_t>{0x86, 0xFF, 0x00}));   // ID 255
}

TEST(ReportDescriptor, ReportLengthIsBoundedWithoutOverflow) {
  // 8 × 16,383 bits is the longest report; one more byte is refused.
  EXPECT_TRUE(ParseReportDescriptor(std::vector<std::uint8_t>{0x75, 0x08, 0x96, 0xFF, 0x3F, 0x81, 0x02}));
  EXPECT_FALSE(ParseReportDescriptor(std::vector<std::uint8_t>{0x75, 0x08, 0x96, 0x00, 0x40, 0x81, 0x02}));
  // Two items that fit alone but not together.
  EXPECT_FALSE(ParseReportDescriptor(
      std::vector<std::uint8_t>{0x75, 0x08, 0x96, 0xFF, 0x3F, 0x91, 0x02, 0x95, 0x01, 0x91, 0x02}));
  // Size and count of 2^32 - 1 each: the product must not wrap to something small.
  EXPECT_FALSE(ParseReportDescriptor(std::vector<std::uint8_t>{0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF,
                                                               0xFF, 0xFF, 0x81, 0x02}));
}

TEST(ReportDescriptor, RandomBytesNeverReadPastTheBuffer) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<std::size_t> length(0, 80);
  for (int run = 0; run < 5000; ++run) {
    std::vector<std::uint8_t> d(length(random));
    for (auto& b : d) b = static_cast<std::uint8_t>(byte(random));
    const auto summary = ParseExact(d, d.size());
    if (summary) {
      for (const ReportLengths& r : summary->reports) {
        EXPECT_LE(r.inputBits, kMaxReportBits);
        EXPECT_LE(r.outputBits, kMaxReportBits);
      }
    }
  }
}

TEST(ReportDescriptor, EmptyDescriptorHasNoReports) {
  const auto summary = ParseReportDescriptor({});
  ASSERT_TRUE(summary);
  EXPECT_TRUE(summary->reports.empty());
}

}  // namespace
}  // namespace orvik
