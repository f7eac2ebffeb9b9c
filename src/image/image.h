// The firmware image: layout, section trailers, checksums, and the checks that
// run before anything is sent to the device.
//
//   image offset 0x00000  MCU section, 0x10000 bytes, trailer at 0x0FFF0
//   image offset 0x10000  USB section, 0x02000 bytes, trailer at 0x11FF0
//
// A trailer (16 bytes, big-endian fields):
//   +0 vendor ID (2)  +2 product ID (2)  +4 version byte (1)  +5 reserved (6)
//   +11 end write address (3)  +14 checksum (2)
// A section's checksum is the 16-bit sum of all its bytes but the last two, so
// it covers the first 14 bytes of its own trailer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "image/resources.h"

#ifndef ORVIK_VENDOR_ID
#error "ORVIK_VENDOR_ID must be defined by the build"
#endif

namespace orvik {

inline constexpr std::size_t kImageSize = 0x12000;  // 73,728 bytes
inline constexpr std::size_t kMcuSectionOffset = 0x00000;
inline constexpr std::size_t kMcuSectionSize = 0x10000;
inline constexpr std::size_t kUsbSectionOffset = 0x10000;
inline constexpr std::size_t kUsbSectionSize = 0x02000;
inline constexpr std::size_t kTrailerSize = 16;
inline constexpr std::size_t kMcuTrailerOffset = kMcuSectionOffset + kMcuSectionSize - kTrailerSize;
inline constexpr std::size_t kUsbTrailerOffset = kUsbSectionOffset + kUsbSectionSize - kTrailerSize;

// Bounds of the end write addresses. The update reads image bytes up to the
// end address, so an image outside these bounds is rejected at verification.
inline constexpr std::uint32_t kMcuEndAddressMin = 0x4000;
inline constexpr std::uint32_t kMcuEndAddressMax = 0x10000;
inline constexpr std::uint32_t kUsbEndAddressMin = 0x10000;
inline constexpr std::uint32_t kUsbEndAddressMax = 0x12000;

inline constexpr std::uint16_t DeviceVendorId = ORVIK_VENDOR_ID;
inline constexpr std::uint16_t DeviceProductId = 0x0121;

using FirmwareImage = std::array<std::uint8_t, kImageSize>;

struct SectionTrailer {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint8_t version = 0;
  std::array<std::uint8_t, 6> reserved{};
  std::uint32_t endAddress = 0;  // 24 bits
  std::uint16_t checksum = 0;

  static SectionTrailer Parse(std::span<const std::uint8_t, kTrailerSize> bytes);
  std::array<std::uint8_t, kTrailerSize> Serialize() const;
};

// The 16-bit sum of every byte of the section except its last two.
std::uint16_t SectionChecksum(std::span<const std::uint8_t> section);

// Values that verification takes from the trailers for the update.
struct ImageInfo {
  std::uint8_t mcuVersion = 0;
  std::uint8_t usbVersion = 0;
  std::uint32_t mcuEndAddress = 0;
  std::uint32_t usbEndAddress = 0;
};

// Where VerifyImage's lines go: the log by default; `mkimage inspect` prints them.
using LineSink = std::function<void(const std::string&)>;

// Checks both sections' device identity, checksum and end address, writing
// the eight identity and checksum lines (four when the MCU section fails).
// Fills `info` with what it has read so far, also on failure.
bool VerifyImage(std::span<const std::uint8_t, kImageSize> image, ImageInfo& info);
bool VerifyImage(std::span<const std::uint8_t, kImageSize> image, ImageInfo& info, const LineSink& sink);

enum class LoadImageStatus { Ok, NotFound, LoadFailed, BadSize, OutOfMemory, VerifyFailed };

// What the dialog shows and logs for each outcome, and in which order.
struct LoadImageResult {
  LoadImageStatus status = LoadImageStatus::NotFound;
  std::unique_ptr<FirmwareImage> image;  // the dialog's copy; set only when Ok
  ImageInfo info;
  const char* message = nullptr;  // the message box text; null when Ok
  const char* logLine = nullptr;  // the log line; null when Ok
  // true: message, log line, end the dialog; false: message, end, log line.
  bool logBeforeEnd = true;
};

// Finds, size-checks and copies the image resource, then verifies it.
LoadImageResult LoadImage(const Resources& resources);

}  // namespace orvik
