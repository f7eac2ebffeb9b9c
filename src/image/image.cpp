#include "image/image.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "log/log.h"

namespace orvik {

SectionTrailer SectionTrailer::Parse(std::span<const std::uint8_t, kTrailerSize> b) {
  SectionTrailer t;
  t.vendorId = static_cast<std::uint16_t>(b[0] << 8 | b[1]);
  t.productId = static_cast<std::uint16_t>(b[2] << 8 | b[3]);
  t.version = b[4];
  std::copy(b.begin() + 5, b.begin() + 11, t.reserved.begin());
  t.endAddress = static_cast<std::uint32_t>(b[11]) << 16 | static_cast<std::uint32_t>(b[12]) << 8 | b[13];
  t.checksum = static_cast<std::uint16_t>(b[14] << 8 | b[15]);
  return t;
}

std::array<std::uint8_t, kTrailerSize> SectionTrailer::Serialize() const {
  std::array<std::uint8_t, kTrailerSize> b{};
  b[0] = static_cast<std::uint8_t>(vendorId >> 8);
  b[1] = static_cast<std::uint8_t>(vendorId);
  b[2] = static_cast<std::uint8_t>(productId >> 8);
  b[3] = static_cast<std::uint8_t>(productId);
  b[4] = version;
  std::copy(reserved.begin(), reserved.end(), b.begin() + 5);
  b[11] = static_cast<std::uint8_t>(endAddress >> 16);
  b[12] = static_cast<std::uint8_t>(endAddress >> 8);
  b[13] = static_cast<std::uint8_t>(endAddress);
  b[14] = static_cast<std::uint8_t>(checksum >> 8);
  b[15] = static_cast<std::uint8_t>(checksum);
  return b;
}

std::uint16_t SectionChecksum(std::span<const std::uint8_t> section) {
  if (section.size() < 2) return 0;
  std::uint32_t sum = 0;
  for (const std::uint8_t byte : section.first(section.size() - 2)) sum += byte;
  return static_cast<std::uint16_t>(sum);
}

namespace {

struct SectionLayout {
  const char* name;  // "MCU" or "USB"
  std::size_t offset;
  std::size_t size;
  std::uint32_t endMin;
  std::uint32_t endMax;
};

constexpr SectionLayout kMcuLayout{"MCU", kMcuSectionOffset, kMcuSectionSize, kMcuEndAddressMin,
                                   kMcuEndAddressMax};
constexpr SectionLayout kUsbLayout{"USB", kUsbSectionOffset, kUsbSectionSize, kUsbEndAddressMin,
                                   kUsbEndAddressMax};

// Logs the section's four identity and checksum lines; true when the section
// is for this device, intact, and its end address lies inside the section.
template <typename... Args>
void Emit(const LineSink& sink, const char* format, Args... args) {
  char line[128];
  std::snprintf(line, sizeof line, format, args...);
  sink(line);
}

bool VerifySection(std::span<const std::uint8_t, kImageSize> image, const SectionLayout& layout,
                   std::uint8_t& version, std::uint32_t& endAddress, const LineSink& sink) {
  const auto section = image.subspan(layout.offset, layout.size);
  const SectionTrailer trailer =
      SectionTrailer::Parse(section.last<kTrailerSize>());
  endAddress = trailer.endAddress;
  Emit(sink, "%s End write address = 0x%08x", layout.name, static_cast<unsigned>(trailer.endAddress));
  version = trailer.version;
  Emit(sink, "%s VID = 0x%04x PID = 0x%04x", layout.name, static_cast<unsigned>(trailer.vendorId),
            static_cast<unsigned>(trailer.productId));
  Emit(sink, "CheckSum = 0x%04x", static_cast<unsigned>(trailer.checksum));
  const std::uint16_t computed = SectionChecksum(section);
  Emit(sink, "VerifyCheckSum = 0x%04x", static_cast<unsigned>(computed));

  // The update reads the image up to the end address, so an address outside
  // its own section would read another section's bytes, or past the image.
  const bool endInBounds = trailer.endAddress >= layout.endMin && trailer.endAddress <= layout.endMax;
  return trailer.vendorId == DeviceVendorId && trailer.productId == DeviceProductId &&
         computed == trailer.checksum && endInBounds;
}

}  // namespace

bool VerifyImage(std::span<const std::uint8_t, kImageSize> image, ImageInfo& info, const LineSink& sink) {
  if (!VerifySection(image, kMcuLayout, info.mcuVersion, info.mcuEndAddress, sink)) return false;
  return VerifySection(image, kUsbLayout, info.usbVersion, info.usbEndAddress, sink);
}

bool VerifyImage(std::span<const std::uint8_t, kImageSize> image, ImageInfo& info) {
  return VerifyImage(image, info, LineSink(LogLine));
}

LoadImageResult LoadImage(const Resources& resources) {
  static constexpr const char* kCantFind = kCantFindUpdateDataMessage;
  static constexpr const char* kDamaged = kUpdateDataDamagedMessage;
  static constexpr const char* kOutOfMemory = kOutOfMemoryMessage;

  LoadImageResult result;
  const ResourceLookup found = resources.Find(kBinResourceType, kBinResourceId);
  switch (found.status) {
    case ResourceStatus::NotFound:
      result.status = LoadImageStatus::NotFound;
      result.message = kCantFind;
      result.logLine = "Find Bin resource fail";
      return result;
    case ResourceStatus::LoadFailed:
      result.status = LoadImageStatus::LoadFailed;
      result.message = kCantFind;
      result.logLine = "Load Bin resource fail";
      return result;
    case ResourceStatus::Found:
      break;
  }
  if (found.bytes.size() != kImageSize) {
    result.status = LoadImageStatus::BadSize;
    result.message = kDamaged;
    result.logLine = "Bin resource size error";
    return result;
  }
  std::unique_ptr<FirmwareImage> image(new (std::nothrow) FirmwareImage);
  if (!image) {
    result.status = LoadImageStatus::OutOfMemory;
    result.message = kOutOfMemory;
    result.logLine = "Out of memory";
    result.logBeforeEnd = false;
    return result;
  }
  std::copy(found.bytes.begin(), found.bytes.end(), image->begin());
  if (!VerifyImage(*image, result.info)) {
    result.status = LoadImageStatus::VerifyFailed;
    result.message = kDamaged;
    result.logLine = "Verify fail";
    result.logBeforeEnd = false;
    return result;
  }
  result.status = LoadImageStatus::Ok;
  result.image = std::move(image);
  return result;
}

}  // namespace orvik
