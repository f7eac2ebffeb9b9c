// CHIDDevice::OpenDevice against the HID interfaces the system really shows.
// Under Wine these are Wine's own virtual devices (vendor 0x845E); on Windows,
// whatever is plugged in. No test expects zero devices.
#include <gtest/gtest.h>

#include <windows.h>

#include <setupapi.h>

#include <algorithm>
#include <iostream>
#include <vector>

extern "C" {
#include <hidsdi.h>
}

#include "hid/hid_device_win32.h"

namespace orvik {
namespace {

constexpr std::uint32_t kOurVendorId = 0x1209;
constexpr std::uint32_t kOurProductId = 0x0121;

struct SeenDevice {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint32_t inputReportLength = 0;
  std::uint32_t outputReportLength = 0;
};

// The interfaces that can be opened for reading and writing, with their IDs
// and report lengths, in enumeration order: what OpenDevice may pick from.
std::vector<SeenDevice> OpenableHidInterfaces() {
  std::vector<SeenDevice> seen;
  GUID guid{};
  HidD_GetHidGuid(&guid);
  HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return seen;
  for (DWORD index = 0; index < 1024; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
      continue;
    }
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    std::vector<DWORD> storage((required + 2 * sizeof(DWORD)) / sizeof(DWORD));
    auto* detail = new (storage.data()) SP_DEVICE_INTERFACE_DETAIL_DATA_W{};
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr)) continue;
    OwnedHandle handle(CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr));
    if (!handle.Valid()) continue;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetAttributes(handle.Get(), &attributes) || !HidD_GetPreparsedData(handle.Get(), &preparsed)) continue;
    HIDP_CAPS caps{};
    const bool capsRead = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
    HidD_FreePreparsedData(preparsed);
    if (capsRead)
      seen.push_back({attributes.VendorID, attributes.ProductID, caps.InputReportByteLength,
                      caps.OutputReportByteLength});
  }
  SetupDiDestroyDeviceInfoList(set);
  return seen;
}

bool Present(const std::vector<SeenDevice>& seen, std::uint32_t vendorId, std::uint32_t productId) {
  return std::any_of(seen.begin(), seen.end(),
                     [&](const SeenDevice& d) { return d.vendorId == vendorId && d.productId == productId; });
}

TEST(HidEnumeration, OurDeviceAbsentMeansFalseAndStaysClosed) {
  if (Present(OpenableHidInterfaces(), kOurVendorId, kOurProductId)) GTEST_SKIP() << "an updater device is attached";
  CHIDDevice device;
  EXPECT_FALSE(device.OpenDevice(kOurVendorId, kOurProductId));
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(device.InputReportLength(), 0u);
  EXPECT_EQ(device.OutputReportLength(), 0u);
  // Asking again (the dialog may retry) is just as harmless.
  EXPECT_FALSE(device.OpenDevice(kOurVendorId, kOurProductId));
}

TEST(HidEnumeration, PresentDeviceIsFoundByItsVendorAndProductId) {
  const std::vector<SeenDevice> seen = OpenableHidInterfaces();
  if (seen.empty()) GTEST_SKIP() << "no HID interface here can be opened for reading and writing";
  const SeenDevice& target = seen.front();
  std::cout << "opening HID device " << std::hex << target.vendorId << ":" << target.productId << std::dec << " of "
            << seen.size() << " openable\n";

  CHIDDevice device;
  ASSERT_TRUE(device.OpenDevice(target.vendorId, target.productId));
  EXPECT_TRUE(device.IsOpen());
  // The first interface with these IDs is the one opened: its lengths.
  EXPECT_EQ(device.InputReportLength(), target.inputReportLength);
  EXPECT_EQ(device.OutputReportLength(), target.outputReportLength);
  device.DiscardQueuedInput();

  // Both IDs must match: the right vendor with a product it does not make is
  // not found, and the failed search leaves the device closed.
  std::uint32_t unusedProduct = 0xFFFF;
  while (Present(seen, target.vendorId, unusedProduct)) --unusedProduct;
  EXPECT_FALSE(device.OpenDevice(target.vendorId, unusedProduct));
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(device.InputReportLength(), 0u);
  if (!Present(seen, target.productId, target.vendorId)) {
    EXPECT_FALSE(device.OpenDevice(target.productId, target.vendorId)) << "IDs swapped";
  }
}

TEST(HidEnumeration, ListingShowsWhatTheSearchWouldOpenAndARestrictedSearchKeepsToOnePath) {
  CHIDDevice device;
  if (!Present(OpenableHidInterfaces(), kOurVendorId, kOurProductId)) {
    EXPECT_TRUE(device.ListInterfaces(kOurVendorId, kOurProductId).empty());
  }
  const std::vector<SeenDevice> seen = OpenableHidInterfaces();
  if (seen.empty()) GTEST_SKIP() << "no HID interface here can be opened for reading and writing";
  const SeenDevice& target = seen.front();

  const std::vector<HidInterfaceInfo> listed = device.ListInterfaces(target.vendorId, target.productId);
  ASSERT_FALSE(listed.empty());
  const auto first = std::find_if(listed.begin(), listed.end(), [](const HidInterfaceInfo& i) { return i.usable; });
  ASSERT_NE(first, listed.end());
  EXPECT_EQ(first->inputReportLength, target.inputReportLength);
  EXPECT_EQ(first->outputReportLength, target.outputReportLength);
  EXPECT_FALSE(device.IsOpen());

  // The unrestricted search opens the first usable interface listed.
  ASSERT_TRUE(device.OpenDevice(target.vendorId, target.productId));
  EXPECT_EQ(device.OpenedPath(), first->path);
  for (const HidInterfaceInfo& info : listed) {
    if (!info.usable) continue;
    device.RestrictToPath(info.path);
    ASSERT_TRUE(device.OpenDevice(target.vendorId, target.productId)) << info.path;
    EXPECT_EQ(device.OpenedPath(), info.path);
  }
  device.RestrictToPath("\\\\?\\hid#vid_0000&pid_0000#none");
  EXPECT_FALSE(device.OpenDevice(target.vendorId, target.productId));
  EXPECT_EQ(device.OpenedPath(), "");
}

}  // namespace
}  // namespace orvik
