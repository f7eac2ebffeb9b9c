// The USB port of a HID interface: the location paths of the USB device it
// belongs to, through a device-node table of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>

#include "hid/hid_device_win32.h"
#include "unit/hid_win32/hid_interfaces.h"

namespace orvik {
namespace {

struct FakeNode {
  DEVINST parent = 0;  // 0: none
  std::optional<std::wstring> locationPaths;  // the paths, each ended by a NUL
};

// Every node the fake configuration manager knows. A node it does not know
// (a real HID interface's) has kFakeUsbDevice as its parent.
constexpr DEVINST kFakeUsbDevice = 0x7ffe0001;
const wchar_t kShownPath[] = L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)";
std::map<DEVINST, FakeNode>& Nodes() {
  static std::map<DEVINST, FakeNode> nodes;
  return nodes;
}

CONFIGRET WINAPI FakeGetParent(PDEVINST parent, DEVINST node, ULONG) {
  const auto it = Nodes().find(node);
  if (it == Nodes().end()) {
    *parent = kFakeUsbDevice;
    return CR_SUCCESS;
  }
  if (it->second.parent == 0) return CR_NO_SUCH_DEVNODE;
  *parent = it->second.parent;
  return CR_SUCCESS;
}

CONFIGRET WINAPI FakeGetProperty(DEVINST node, const DEVPROPKEY* key, DEVPROPTYPE* type, PBYTE buffer, PULONG size,
                                 ULONG) {
  const DEVPROPKEY wanted = {{0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 37};
  const auto it = Nodes().find(node);
  if (it == Nodes().end() || !it->second.locationPaths || !IsEqualGUID(key->fmtid, wanted.fmtid) ||
      key->pid != wanted.pid) {
    return CR_NO_SUCH_VALUE;
  }
  const std::wstring& paths = *it->second.locationPaths;
  const ULONG needed = static_cast<ULONG>((paths.size() + 1) * sizeof(wchar_t));
  *type = DEVPROP_TYPE_STRING_LIST;
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return CR_BUFFER_SMALL;
  }
  std::copy_n(reinterpret_cast<const BYTE*>(paths.c_str()), needed, buffer);
  *size = needed;
  return CR_SUCCESS;
}

DevNodeLibrary FakeLibrary() {
  DevNodeLibrary devNodes;
  devNodes.CM_Get_Parent = FakeGetParent;
  devNodes.CM_Get_DevNode_PropertyW = FakeGetProperty;
  return devNodes;
}

TEST(UsbPort, IsTheFirstLocationPathOfTheUsbDeviceAndNoneOffUsb) {
  using namespace std::string_literals;
  Nodes() = {
      {kFakeUsbDevice, {1, std::wstring(kShownPath) + L'\0' + L"ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(HS04)" + L'\0'}},
      // A device of its own: HID 10 below USB device 11.
      {10, {11, std::nullopt}},
      {11, {1, L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"s + L'\0'}},
      // A composite device: HID 20 below interface 21 below device 22.
      {20, {21, std::nullopt}},
      {21, {22, L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(1)#USBMI(2)"s + L'\0'}},
      {22, {1, L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(1)"s + L'\0'}},
      // The USB device without the property.
      {30, {31, std::nullopt}},
      {31, {1, std::nullopt}},
      // Bluetooth: the parent is no USB node, though the radio above is.
      {40, {41, std::nullopt}},
      {41, {11, L"BTHENUM(0)"s + L'\0'}},
      // No parent at all.
      {50, {0, std::nullopt}},
  };
  const DevNodeLibrary devNodes = FakeLibrary();
  const std::pair<DEVINST, std::string> cases[] = {
      {10, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"},
      {20, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(1)"},
      {30, ""},
      {40, ""},
      {50, ""},
  };
  for (const auto& [node, port] : cases) EXPECT_EQ(UsbPortOf(devNodes, node), port) << node;
  EXPECT_EQ(UsbPortOf(DevNodeLibrary{}, 10), "");
}

// The listing reads each interface's port through the table it was given:
// under Wine, its own devices get the fake USB device's first path.
TEST(UsbPort, TheListingShowsThePathAsWindowsWritesIt) {
  Nodes() = {{kFakeUsbDevice, {1, std::wstring(kShownPath) + L'\0'}}};
  std::optional<std::pair<std::uint16_t, std::uint16_t>> ids;
  ForEachOpenableHidInterface([&](HANDLE handle) {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(handle, &attributes)) return true;
    ids = std::pair(attributes.VendorID, attributes.ProductID);
    return false;
  });
  if (!ids) GTEST_SKIP() << "no HID interface here opens";
  const DevNodeLibrary devNodes = FakeLibrary();
  CHIDDevice device(std::chrono::milliseconds(50), devNodes);
  const std::vector<HidInterfaceInfo> listed = device.ListInterfaces(ids->first, ids->second);
  ASSERT_FALSE(listed.empty());
  for (const HidInterfaceInfo& info : listed) EXPECT_EQ(info.port, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)");

  Nodes() = {{kFakeUsbDevice, {1, std::nullopt}}};
  for (const HidInterfaceInfo& info : device.ListInterfaces(ids->first, ids->second)) EXPECT_EQ(info.port, "");
}

}  // namespace
}  // namespace orvik
