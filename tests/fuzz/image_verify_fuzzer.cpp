// Image verification over arbitrary images.
//
// The input, cut or zero-padded to the image size, is verified twice: as it
// stands, and "repaired" (both sections given this device's identity and a
// correct checksum), so that images with their end addresses anywhere get past
// the identity and checksum checks and reach the end-address bounds. Whenever
// verification accepts an image, every block the update reads from it must
// lie inside the image and inside the section it is sent for.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "image/image.h"

namespace {

using namespace orvik;

// The update's reads, with the update's own arithmetic (32-bit unsigned):
// MCU Section 1 takes 512 blocks from image offset 0, MCU Section 2 the
// blocks from 0x4000 up to the MCU end address, the USB section the blocks
// from 0x10000 up to the USB end address. A partial last block is not sent.
constexpr std::uint32_t kBlock = 16;

struct Read {
  std::uint64_t first;
  std::uint64_t end;  // one past the last byte read
};

Read SectionRead(std::uint32_t firstAddress, std::uint32_t endAddress) {
  const std::uint32_t length = endAddress - firstAddress;
  const std::uint32_t blocks = length / kBlock;
  return {firstAddress, std::uint64_t{firstAddress} + std::uint64_t{blocks} * kBlock};
}

void Check(bool condition) {
  if (!condition) std::abort();
}

void SetIdentityAndChecksum(FirmwareImage& image, std::size_t sectionOffset, std::size_t sectionSize) {
  const std::size_t trailer = sectionOffset + sectionSize - kTrailerSize;
  image[trailer + 0] = static_cast<std::uint8_t>(DeviceVendorId >> 8);
  image[trailer + 1] = static_cast<std::uint8_t>(DeviceVendorId);
  image[trailer + 2] = static_cast<std::uint8_t>(DeviceProductId >> 8);
  image[trailer + 3] = static_cast<std::uint8_t>(DeviceProductId);
  const std::uint16_t sum =
      SectionChecksum(std::span<const std::uint8_t>(image.data() + sectionOffset, sectionSize));
  image[trailer + 14] = static_cast<std::uint8_t>(sum >> 8);
  image[trailer + 15] = static_cast<std::uint8_t>(sum);
}

void VerifyAndCheckReads(const FirmwareImage& image) {
  ImageInfo info;
  const bool accepted = VerifyImage(image, info, [](const std::string& line) { Check(!line.empty()); });
  if (!accepted) return;

  // What verification hands to the update is what the trailers say.
  const SectionTrailer mcu = SectionTrailer::Parse(std::span<const std::uint8_t, kTrailerSize>(
      image.data() + kMcuTrailerOffset, kTrailerSize));
  const SectionTrailer usb = SectionTrailer::Parse(std::span<const std::uint8_t, kTrailerSize>(
      image.data() + kUsbTrailerOffset, kTrailerSize));
  Check(info.mcuEndAddress == mcu.endAddress && info.usbEndAddress == usb.endAddress);
  Check(info.mcuVersion == mcu.version && info.usbVersion == usb.version);

  const Read mcuSection1{0, 512 * kBlock};
  const Read mcuSection2 = SectionRead(0x4000, info.mcuEndAddress);
  const Read usbSection = SectionRead(0x10000, info.usbEndAddress);
  for (const Read& read : {mcuSection1, mcuSection2, usbSection}) {
    Check(read.first <= read.end && read.end <= kImageSize);
  }
  Check(mcuSection2.end <= kMcuSectionOffset + kMcuSectionSize);
  Check(usbSection.first >= kUsbSectionOffset && usbSection.end <= kUsbSectionOffset + kUsbSectionSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static FirmwareImage image;
  image.fill(0);
  std::copy_n(data, std::min(size, image.size()), image.begin());
  VerifyAndCheckReads(image);

  SetIdentityAndChecksum(image, kMcuSectionOffset, kMcuSectionSize);
  SetIdentityAndChecksum(image, kUsbSectionOffset, kUsbSectionSize);
  VerifyAndCheckReads(image);
  return 0;
}
