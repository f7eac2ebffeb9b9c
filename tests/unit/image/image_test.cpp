#include <gtest/gtest.h>

#include <vector>

#include "image/image.h"
#include "pack.h"
#include "support/test_support.h"

namespace orvik {
namespace {

using test::ScopedLog;
using test::ShippedImage;

const std::vector<std::string> kShippedLines = {
    "MCU End write address = 0x00009ec0", "MCU VID = 0x1209 PID = 0x0121", "CheckSum = 0x02ae",
    "VerifyCheckSum = 0x02ae",           "USB End write address = 0x00011ac0", "USB VID = 0x1209 PID = 0x0121",
    "CheckSum = 0x63ed",                 "VerifyCheckSum = 0x63ed"};

class ImageResources final : public Resources {
 public:
  explicit ImageResources(std::vector<std::uint8_t> bytes, ResourceStatus status = ResourceStatus::Found)
      : m_bytes(std::move(bytes)), m_status(status) {}
  ResourceLookup Find(std::string_view type, int id) const override {
    if (type != kBinResourceType || id != kBinResourceId) return {ResourceStatus::NotFound, {}};
    return {m_status, m_status == ResourceStatus::Found ? std::span<const std::uint8_t>(m_bytes)
                                                         : std::span<const std::uint8_t>()};
  }

 private:
  std::vector<std::uint8_t> m_bytes;
  ResourceStatus m_status;
};

std::vector<std::uint8_t> Bytes(const FirmwareImage& image) { return {image.begin(), image.end()}; }

TEST(Image, ShippedImageVerifiesWithItsEndAddressesAndEightLines) {
  ScopedLog log;
  const auto result = LoadImage(TableResources(EmbeddedResourceTable()));
  ASSERT_EQ(result.status, LoadImageStatus::Ok);
  ASSERT_NE(result.image, nullptr);
  EXPECT_EQ(*result.image, ShippedImage());
  EXPECT_EQ(result.info.mcuEndAddress, 0x9EC0u);
  EXPECT_EQ(result.info.usbEndAddress, 0x11AC0u);
  EXPECT_EQ(result.message, nullptr);
  EXPECT_EQ(log.Lines(), kShippedLines);
}

TEST(Image, ChecksumOfErasedSections) {
  const std::vector<std::uint8_t> mcu(kMcuSectionSize, 0xFF), usb(kUsbSectionSize, 0xFF);
  EXPECT_EQ(SectionChecksum(mcu), 0xFE02);
  EXPECT_EQ(SectionChecksum(usb), 0xDE02);
}

TEST(Image, TrailerRoundTripsBigEndian) {
  const std::array<std::uint8_t, 16> raw = {0x12, 0x09, 0x01, 0x21, 0x29, 1, 2, 3, 4, 5, 6, 0x00, 0x9E, 0xC0, 0xAB, 0xCD};
  const auto t = SectionTrailer::Parse(raw);
  EXPECT_EQ(t.vendorId, 0x1209);
  EXPECT_EQ(t.productId, 0x0121);
  EXPECT_EQ(t.version, 0x29);
  EXPECT_EQ(t.endAddress, 0x9EC0u);
  EXPECT_EQ(t.checksum, 0xABCD);
  EXPECT_EQ(t.Serialize(), raw);
}

TEST(Image, EverySingleFlippedByteFails) {
  // Every byte that verification covers: a sample of each section's body, and
  // every trailer byte (the six unexamined ones included: the checksum covers them).
  std::vector<std::size_t> offsets = {0x0000, 0x1FFF, 0x2000, 0x4000, 0x9EBF, 0x9EC0, 0xFFEF,
                                      0x10000, 0x11ABF, 0x11FEF};
  for (std::size_t i = 0; i < 16; ++i) {
    offsets.push_back(kMcuTrailerOffset + i);
    offsets.push_back(kUsbTrailerOffset + i);
  }
  for (const std::size_t offset : offsets) {
    FirmwareImage image = ShippedImage();
    image[offset] ^= 0x01;
    ImageInfo info;
    EXPECT_FALSE(VerifyImage(image, info, [](const std::string&) {})) << "offset 0x" << std::hex << offset;
  }
}

TEST(Image, BadMcuSectionLogsOnlyTheFourMcuLines) {
  ScopedLog log;
  FirmwareImage image = ShippedImage();
  image[0x100] ^= 0xFF;
  const auto result = LoadImage(ImageResources(Bytes(image)));
  EXPECT_EQ(result.status, LoadImageStatus::VerifyFailed);
  EXPECT_STREQ(result.message, "Update data is damage!");
  EXPECT_STREQ(result.logLine, "Verify fail");
  EXPECT_FALSE(result.logBeforeEnd);
  EXPECT_EQ(result.image, nullptr);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], kShippedLines[0]);
  EXPECT_EQ(lines[3].rfind("VerifyCheckSum = 0x", 0), 0u);
  EXPECT_NE(lines[3], kShippedLines[3]);
}

TEST(Image, WrongUsbVendorLogsAllEightLines) {
  ScopedLog log;
  FirmwareImage image = ShippedImage();
  image[kUsbTrailerOffset] = 0x04;  // vendor 0x0409
  mkimage::RefreshChecksum(image, kUsbTrailerOffset);
  const auto result = LoadImage(ImageResources(Bytes(image)));
  EXPECT_EQ(result.status, LoadImageStatus::VerifyFailed);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[5], "USB VID = 0x0409 PID = 0x0121");
}

TEST(Image, EndAddressesOutsideTheirSectionFail) {
  struct Case {
    std::size_t trailer;
    std::uint32_t end;
    bool ok;
  };
  const Case cases[] = {
      {kMcuTrailerOffset, 0x3FFF, false}, {kMcuTrailerOffset, 0x4000, true},  {kMcuTrailerOffset, 0x10000, true},
      {kMcuTrailerOffset, 0x10001, false}, {kMcuTrailerOffset, 0xFFFFFF, false}, {kMcuTrailerOffset, 0, false},
      {kUsbTrailerOffset, 0xFFFF, false}, {kUsbTrailerOffset, 0x10000, true}, {kUsbTrailerOffset, 0x12000, true},
      {kUsbTrailerOffset, 0x12001, false},
  };
  for (const Case& c : cases) {
    FirmwareImage image = ShippedImage();
    image[c.trailer + 11] = static_cast<std::uint8_t>(c.end >> 16);
    image[c.trailer + 12] = static_cast<std::uint8_t>(c.end >> 8);
    image[c.trailer + 13] = static_cast<std::uint8_t>(c.end);
    mkimage::RefreshChecksum(image, c.trailer);
    ImageInfo info;
    std::vector<std::string> lines;
    EXPECT_EQ(VerifyImage(image, info, [&](const std::string& l) { lines.push_back(l); }), c.ok)
        << std::hex << "end 0x" << c.end;
    // The identity and checksum lines are written all the same.
    EXPECT_EQ(lines.size(), c.trailer == kMcuTrailerOffset && !c.ok ? 4u : 8u);
  }
}

TEST(Image, LoadOutcomesCarryTheirMessagesAndOrder) {
  ScopedLog log;
  struct Case {
    std::vector<std::uint8_t> bytes;
    ResourceStatus status;
    LoadImageStatus expected;
    const char* message;
    const char* logLine;
  };
  const Case cases[] = {
      {{}, ResourceStatus::NotFound, LoadImageStatus::NotFound, "Can't find update data, this updater is damage!",
       "Find Bin resource fail"},
      {{}, ResourceStatus::LoadFailed, LoadImageStatus::LoadFailed, "Can't find update data, this updater is damage!",
       "Load Bin resource fail"},
      {std::vector<std::uint8_t>(kImageSize - 1, 0xFF), ResourceStatus::Found, LoadImageStatus::BadSize,
       "Update data is damage!", "Bin resource size error"},
      {std::vector<std::uint8_t>(kImageSize + 1, 0xFF), ResourceStatus::Found, LoadImageStatus::BadSize,
       "Update data is damage!", "Bin resource size error"},
  };
  for (const Case& c : cases) {
    const auto result = LoadImage(ImageResources(c.bytes, c.status));
    EXPECT_EQ(result.status, c.expected);
    EXPECT_STREQ(result.message, c.message);
    EXPECT_STREQ(result.logLine, c.logLine);
    EXPECT_TRUE(result.logBeforeEnd);
    EXPECT_EQ(result.image, nullptr);
  }
  EXPECT_TRUE(log.Lines().empty()) << "nothing is verified, so nothing is logged";
}

TEST(Image, PackerRejectsWhatTheUpdaterWouldReject) {
  std::string error;
  mkimage::PackOptions options;
  options.mcu.endAddress = 0x9EC0;
  options.usb.endAddress = 0x12001;
  EXPECT_EQ(mkimage::Pack(options, error), nullptr);
  EXPECT_NE(error.find("USB end address"), std::string::npos);
  const std::vector<std::uint8_t> tooBig(kUsbSectionSize, 0);
  options.usb = {tooBig, 0, 0x12000};
  EXPECT_EQ(mkimage::Pack(options, error), nullptr);
  // The generator is deterministic: it reproduces the shipped image.
  EXPECT_EQ(*mkimage::Synthetic(0x9EC0, 0x11AC0, 0x13, 0x11), ShippedImage());
}

}  // namespace
}  // namespace orvik
