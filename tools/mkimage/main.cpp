// mkimage: builds and checks firmware images for the updater.
//
//   mkimage pack --mcu MCU.bin --usb USB.bin [--mcu-end ADDR] [--usb-end ADDR]
//                [--mcu-version V] [--usb-version V] [--vendor ID] [--product ID] -o OUT
//   mkimage generate [--mcu-end ADDR] [--usb-end ADDR] [--mcu-version V] [--usb-version V]
//                [--seed N] -o OUT
//   mkimage inspect FILE
//
// pack: MCU.bin holds the MCU section from image offset 0 (device addresses
// 0x2000-0x3fff come from its first 0x2000 bytes, 0x4000 up from offset
// 0x4000), USB.bin the USB section from its first byte (device 0x10000 up).
// Unless given, an end address is where the payload ends, rounded up to 16.
// inspect: prints the updater's eight verification lines; exit status 0 when
// the image verifies, 1 when it does not, 2 when it cannot be read or is not
// 73,728 bytes long.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pack.h"

namespace {

using orvik::FirmwareImage;

constexpr int kExitUsage = 2;

int Usage() {
  std::cerr << "usage: mkimage pack --mcu FILE --usb FILE [--mcu-end ADDR] [--usb-end ADDR]\n"
               "                    [--mcu-version V] [--usb-version V] [--vendor ID] [--product ID] -o OUT\n"
               "       mkimage generate [--mcu-end ADDR] [--usb-end ADDR] [--mcu-version V] [--usb-version V]\n"
               "                    [--seed N] -o OUT\n"
               "       mkimage inspect FILE\n";
  return kExitUsage;
}

std::optional<std::vector<std::uint8_t>> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

bool WriteFile(const std::string& path, const FirmwareImage& image) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  return static_cast<bool>(out);
}

std::optional<std::uint32_t> ParseNumber(const std::string& text, std::uint32_t max) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (*end != '\0' || value > max) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

// --name value pairs after the command word.
std::optional<std::map<std::string, std::string>> ParseOptions(int argc, char** argv) {
  std::map<std::string, std::string> options;
  for (int i = 2; i < argc; i += 2) {
    const std::string name = argv[i];
    if (name.rfind("-", 0) != 0 || i + 1 >= argc) return std::nullopt;
    options[name] = argv[i + 1];
  }
  return options;
}

std::uint32_t RoundUp16(std::size_t n) { return static_cast<std::uint32_t>((n + 15) / 16 * 16); }

int Build(bool generate, int argc, char** argv) {
  const auto options = ParseOptions(argc, argv);
  if (!options || !options->count("-o")) return Usage();
  auto number = [&](const char* name, std::uint32_t fallback, std::uint32_t max) -> std::optional<std::uint32_t> {
    const auto it = options->find(name);
    if (it == options->end()) return fallback;
    return ParseNumber(it->second, max);
  };

  std::vector<std::uint8_t> mcu, usb;
  std::uint32_t defaultMcuEnd = 0x9EC0, defaultUsbEnd = 0x11AC0;
  if (!generate) {
    if (!options->count("--mcu") || !options->count("--usb")) return Usage();
    auto m = ReadFile(options->at("--mcu"));
    auto u = ReadFile(options->at("--usb"));
    if (!m || !u) {
      std::cerr << "mkimage: cannot read a payload file\n";
      return kExitUsage;
    }
    mcu = std::move(*m);
    usb = std::move(*u);
    defaultMcuEnd = std::max<std::uint32_t>(orvik::kMcuEndAddressMin, RoundUp16(mcu.size()));
    defaultUsbEnd = orvik::kUsbEndAddressMin + RoundUp16(usb.size());
  }
  const auto mcuEnd = number("--mcu-end", defaultMcuEnd, 0xFFFFFF);
  const auto usbEnd = number("--usb-end", defaultUsbEnd, 0xFFFFFF);
  const auto mcuVersion = number("--mcu-version", 0x13, 0xFF);
  const auto usbVersion = number("--usb-version", 0x11, 0xFF);
  const auto vendor = number("--vendor", orvik::DeviceVendorId, 0xFFFF);
  const auto product = number("--product", orvik::DeviceProductId, 0xFFFF);
  const auto seed = number("--seed", 0x0121, 0xFFFFFFFF);
  if (!mcuEnd || !usbEnd || !mcuVersion || !usbVersion || !vendor || !product || !seed) {
    std::cerr << "mkimage: a number is malformed or out of range\n";
    return kExitUsage;
  }

  std::unique_ptr<FirmwareImage> image;
  std::string error = "end address out of bounds";
  if (generate) {
    image = orvik::mkimage::Synthetic(*mcuEnd, *usbEnd, static_cast<std::uint8_t>(*mcuVersion),
                                      static_cast<std::uint8_t>(*usbVersion), *seed);
  } else {
    orvik::mkimage::PackOptions pack;
    pack.mcu = {mcu, static_cast<std::uint8_t>(*mcuVersion), *mcuEnd};
    pack.usb = {usb, static_cast<std::uint8_t>(*usbVersion), *usbEnd};
    pack.vendorId = static_cast<std::uint16_t>(*vendor);
    pack.productId = static_cast<std::uint16_t>(*product);
    image = orvik::mkimage::Pack(pack, error);
  }
  if (!image) {
    std::cerr << "mkimage: " << error << "\n";
    return kExitUsage;
  }
  if (!WriteFile(options->at("-o"), *image)) {
    std::cerr << "mkimage: cannot write " << options->at("-o") << "\n";
    return kExitUsage;
  }
  return 0;
}

int Inspect(const std::string& path) {
  const auto bytes = ReadFile(path);
  if (!bytes) {
    std::cerr << "mkimage: cannot read " << path << "\n";
    return 2;
  }
  if (bytes->size() != orvik::kImageSize) {
    std::cerr << "mkimage: " << path << " is " << bytes->size() << " bytes, not " << orvik::kImageSize << "\n";
    return 2;
  }
  orvik::ImageInfo info;
  const bool ok = orvik::VerifyImage(std::span<const std::uint8_t, orvik::kImageSize>(bytes->data(), orvik::kImageSize),
                                     info, [](const std::string& line) { std::cout << line << "\n"; });
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  if (command == "pack") return Build(false, argc, argv);
  if (command == "generate") return Build(true, argc, argv);
  if (command == "inspect" && argc == 3) return Inspect(argv[2]);
  return Usage();
}
