// A fake sysfs tree laid out like the kernel's, with /dev nodes as regular
// files, for the Linux device search and listing:
//
//   sys/devices/0003:VVVV:PPPP.000N/{uevent,report_descriptor}
//   sys/devices/0003:VVVV:PPPP.000N/hidraw/hidrawN/device -> ../..
//   sys/class/hidraw/hidrawN -> ../../devices/0003:VVVV:PPPP.000N/hidraw/hidrawN
//
// A node added behind a USB port has its HID device below the USB device and
// its interface, with every hub of the port chain above, as the kernel lays
// them out ("1-1.4.2": root hub usb1, hubs 1-1 and 1-1.4, device 1-1.4.2):
//
//   sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.4/1-1.4.2/1-1.4.2:1.0/0003:VVVV:PPPP.000N/...
//
// each USB folder with its uevent (DEVTYPE) and its subsystem link.
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
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
  fs::path HidDevice(unsigned n) const {
    const auto behind = m_ports.find(n);
    const fs::path parent = behind == m_ports.end() ? m_dir / "sys/devices" : UsbInterface(behind->second);
    return parent / ("0003:1209:0121.000" + std::to_string(n));
  }

  // A hidraw node; a missing descriptor leaves the sysfs file out. With a
  // `port` ("1-1.4.2"), the HID device sits below that USB device.
  void Add(unsigned n, const std::string& uevent, const std::optional<std::vector<std::uint8_t>>& descriptor,
           bool withDevNode = true, const std::string& port = {}) {
    if (!port.empty()) {
      m_ports[n] = port;
      AddUsbChain(port);
    }
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
  void AddOnPort(unsigned n, const std::string& port, const std::string& uevent = Uevent(kVendor, kProduct)) {
    Add(n, uevent, kVendor32, true, port);
  }

  // The device is unplugged: its node leaves sysfs and /dev.
  void Remove(unsigned n) {
    fs::remove(SysfsRoot() / ("hidraw" + std::to_string(n)));
    fs::remove(Node(n));
    fs::remove_all(HidDevice(n));
  }

  CHIDDevice Device() const { return CHIDDevice(std::chrono::milliseconds(50), SysfsRoot(), DevRoot()); }

 private:
  // The USB device folder of `port` ("1-1.4" → .../usb1/1-1/1-1.4).
  fs::path UsbDevice(const std::string& port) const {
    const std::string bus = port.substr(0, port.find('-'));
    fs::path folder = m_dir / "sys/devices/pci0000:00/0000:00:14.0" / ("usb" + bus);
    for (std::size_t dot = port.find('-'); dot != std::string::npos; dot = port.find('.', dot + 1)) {
      folder /= port.substr(0, port.find('.', dot + 1));
    }
    return folder;
  }
  fs::path UsbInterface(const std::string& port) const { return UsbDevice(port) / (port + ":1.0"); }

  // Every folder from the root hub down to the port's interface, each a USB
  // device (the interface: a USB interface) with its subsystem link.
  void AddUsbChain(const std::string& port) {
    const fs::path bus = m_dir / "sys/bus/usb";
    fs::create_directories(bus);
    const fs::path interface = UsbInterface(port);
    fs::create_directories(interface);
    fs::path folder = interface;
    for (; folder.filename().string().rfind("usb", 0) != 0; folder = folder.parent_path()) {
      MarkUsb(folder, folder == interface ? "usb_interface" : "usb_device", bus);
    }
    MarkUsb(folder, "usb_device", bus);  // the root hub
  }
  static void MarkUsb(const fs::path& folder, const std::string& type, const fs::path& bus) {
    std::ofstream(folder / "uevent") << "DEVTYPE=" << type << "\nDRIVER=usb\n";
    std::error_code exists;
    fs::create_directory_symlink(bus, folder / "subsystem", exists);
  }

  TempDir m_temp;
  fs::path m_dir = m_temp.path();
  std::map<unsigned, std::string> m_ports;
};

}  // namespace orvik::test
