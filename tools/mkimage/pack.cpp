#include "pack.h"

#include <algorithm>
#include <vector>

namespace orvik::mkimage {
namespace {

void WriteSection(FirmwareImage& image, std::size_t offset, std::size_t size, const SectionSpec& spec,
                  const PackOptions& options) {
  std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(offset), size, 0xFF);
  std::copy(spec.payload.begin(), spec.payload.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
  SectionTrailer trailer;
  trailer.vendorId = options.vendorId;
  trailer.productId = options.productId;
  trailer.version = spec.version;
  trailer.endAddress = spec.endAddress;
  const auto bytes = trailer.Serialize();
  const std::size_t trailerOffset = offset + size - kTrailerSize;
  std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(trailerOffset));
  RefreshChecksum(image, trailerOffset);
}

}  // namespace

void RefreshChecksum(FirmwareImage& image, std::size_t trailerOffset) {
  const std::size_t sectionOffset = trailerOffset == kMcuTrailerOffset ? kMcuSectionOffset : kUsbSectionOffset;
  const std::size_t sectionSize = trailerOffset == kMcuTrailerOffset ? kMcuSectionSize : kUsbSectionSize;
  const std::uint16_t sum = SectionChecksum(std::span<const std::uint8_t>(image).subspan(sectionOffset, sectionSize));
  image[trailerOffset + 14] = static_cast<std::uint8_t>(sum >> 8);
  image[trailerOffset + 15] = static_cast<std::uint8_t>(sum);
}

std::unique_ptr<FirmwareImage> Pack(const PackOptions& options, std::string& error) {
  if (options.mcu.payload.size() > kMcuSectionSize - kTrailerSize) {
    error = "MCU payload is larger than 0xfff0 bytes";
    return nullptr;
  }
  if (options.usb.payload.size() > kUsbSectionSize - kTrailerSize) {
    error = "USB payload is larger than 0x1ff0 bytes";
    return nullptr;
  }
  if (options.mcu.endAddress < kMcuEndAddressMin || options.mcu.endAddress > kMcuEndAddressMax) {
    error = "MCU end address must lie in 0x4000..0x10000";
    return nullptr;
  }
  if (options.usb.endAddress < kUsbEndAddressMin || options.usb.endAddress > kUsbEndAddressMax) {
    error = "USB end address must lie in 0x10000..0x12000";
    return nullptr;
  }
  auto image = std::make_unique<FirmwareImage>();
  WriteSection(*image, kMcuSectionOffset, kMcuSectionSize, options.mcu, options);
  WriteSection(*image, kUsbSectionOffset, kUsbSectionSize, options.usb, options);
  return image;
}

std::unique_ptr<FirmwareImage> Synthetic(std::uint32_t mcuEnd, std::uint32_t usbEnd, std::uint8_t mcuVersion,
                                         std::uint8_t usbVersion, std::uint32_t seed) {
  // xorshift32: the same bytes on every machine and compiler.
  std::uint32_t state = seed != 0 ? seed : 1;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<std::uint8_t>(state >> 24);
  };
  // Payloads stop short of the trailer even when the end address is the
  // section's end: the trailer occupies the section's last 16 bytes.
  std::vector<std::uint8_t> mcu(std::min<std::size_t>(mcuEnd - kMcuSectionOffset, kMcuSectionSize - kTrailerSize));
  std::vector<std::uint8_t> usb(std::min<std::size_t>(usbEnd - kUsbSectionOffset, kUsbSectionSize - kTrailerSize));
  for (auto& b : mcu) b = next();
  for (auto& b : usb) b = next();
  PackOptions options;
  options.mcu = {mcu, mcuVersion, mcuEnd};
  options.usb = {usb, usbVersion, usbEnd};
  std::string error;
  return Pack(options, error);
}

}  // namespace orvik::mkimage
