// Packs two section payloads into a firmware image with both trailers and
// checksums. Used by the mkimage tool and by tests that need images of their
// own (other end addresses, versions, identities).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "image/image.h"

namespace orvik::mkimage {

struct SectionSpec {
  // The section's bytes from its first image offset; the rest up to the
  // trailer is filled with 0xFF. At most the section size less the trailer.
  std::span<const std::uint8_t> payload;
  std::uint8_t version = 0;
  std::uint32_t endAddress = 0;  // device address one past the last byte to write
};

struct PackOptions {
  SectionSpec mcu;
  SectionSpec usb;
  std::uint16_t vendorId = DeviceVendorId;
  std::uint16_t productId = DeviceProductId;
};

// The packed image, or null with `error` set when a payload does not fit or an
// end address lies outside its section's bounds.
std::unique_ptr<FirmwareImage> Pack(const PackOptions& options, std::string& error);

// Rewrites the checksum of the section whose trailer is at `trailerOffset`
// after a test has changed the section.
void RefreshChecksum(FirmwareImage& image, std::size_t trailerOffset);

// Deterministic synthetic firmware: varied bytes from `seed` up to each end
// address, 0xFF after. The shipped image is Synthetic(0x9EC0, 0x11AC0).
std::unique_ptr<FirmwareImage> Synthetic(std::uint32_t mcuEnd, std::uint32_t usbEnd, std::uint8_t mcuVersion,
                                         std::uint8_t usbVersion, std::uint32_t seed = 0x0121);

}  // namespace orvik::mkimage
