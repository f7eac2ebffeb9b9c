// A fake sysfs tree laid out like the kernel's, with /dev nodes as regular
// files, for the Linux device search and listing:
//
//   sys/devices/0003:VVVV:PPPP.000N/{uevent,report_descriptor}
//   sys/devices/0003:VVVV:PPPP.000N/hidraw/hidrawN/device -> ../..
//   sys/class/hidraw/hidrawN -> ../../devices/0003:VVVV:PPPP.000N/hidraw/hidrawN
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "hid/hid_device_linux.h"
#include "support/test_support.h"
#include "unit/hid_linux/descriptors.h"

namespace orvik::test {

namespace fs = std::filesystem;

inline constexpr std::uint32_t kVendor = 0x1209;
inline constexpr std::uint32_t kProduct = 0x0121;

inline std::string Uevent(std::uint32_t vendor, std::uint32_t product) {
  char line[64];
  std::snprintf(line, sizeof line, "HID_ID=0003:%08X:%08X\n", vendor, product);
  return "DRIVER=hid-generic\n" + std::string(line) + "HID_NAME=Orvik Solvane\nHID_PHYS=usb-0000:00:14.0-1/input0\n";
}

class FakeHidraw {
 public:
  FakeHidraw() {
    fs::create_directories(SysfsRoot());
    fs::create_directories(DevRoot());
  }
  fs::path SysfsRoot() const { return m_dir / "sys/class/hidraw"; }
  fs::path DevRoot() const { return m_dir / "dev"; }
  fs::path Node(unsigned n) const { return DevRoot() / ("hidraw" + std::to_string(n)); }
  fs::path HidDevice(unsigned n) const { return m_dir / ("sys/devices/0003:1209:0121.000" + std::to_string(n)); }

  // A hidraw node; a missing descriptor leaves the sysfs file out.
  void Add(unsigned n, const std::string& uevent, const std::optional<std::vector<std::uint8_t>>& descriptor,
           bool withDevNode = true) {
    const fs::path device = HidDevice(n);
    const fs::path hidraw = device / "hidraw" / ("hidraw" + std::to_string(n));
    fs::create_directories(hidraw);
    std::ofstream(device / "uevent") << uevent;
    if (descriptor) WriteBytes(device / "report_descriptor", *descriptor);
    fs::create_directory_symlink("../..", hidraw / "device");
    fs::create_directory_symlink(hidraw, SysfsRoot() / hidraw.filename());
    if (withDevNode) std::ofstream(Node(n)) << "";
  }
  void AddMatching(unsigned n, const std::vector<std::uint8_t>& descriptor = kVendor32) {
    Add(n, Uevent(kVendor, kProduct), descriptor);
  }

  // The device is unplugged: its node leaves sysfs and /dev.
  void Remove(unsigned n) {
    fs::remove(SysfsRoot() / ("hidraw" + std::to_string(n)));
    fs::remove(Node(n));
    fs::remove_all(HidDevice(n));
  }

  CHIDDevice Device() const { return CHIDDevice(std::chrono::milliseconds(50), SysfsRoot(), DevRoot()); }

 private:
  TempDir m_temp;
  fs::path m_dir = m_temp.path();
};

}  // namespace orvik::test
