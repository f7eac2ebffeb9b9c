// CHIDDevice::OpenDevice against the HID interfaces the system really shows.
// Under Wine these are Wine's own virtual devices (vendor 0x845E); on Windows,
// whatever is plugged in. No test expects zero devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <vector>

#include "hid/hid_device_win32.h"
#include "unit/hid_win32/hid_interfaces.h"

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
  ForEachOpenableHidInterface([&](HANDLE handle) {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetAttributes(handle, &attributes) || !HidD_GetPreparsedData(handle, &preparsed)) return true;
    HIDP_CAPS caps{};
    const bool capsRead = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
    HidD_FreePreparsedData(preparsed);
    if (capsRead)
      seen.push_back({attributes.VendorID, attributes.ProductID, caps.InputReportByteLength,
                      caps.OutputReportByteLength});
    return true;
  });
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

bool SameIds(const SeenDevice& a, const SeenDevice& b) {
  return a.vendorId == b.vendorId && a.productId == b.productId;
}

// An interface the search may open: the updater's 33-byte reports.
bool UpdaterShaped(const SeenDevice& d) { return HasUpdaterReportLengths(d.inputReportLength, d.outputReportLength); }

TEST(HidEnumeration, PresentDeviceIsFoundByItsVendorAndProductId) {
  const std::vector<SeenDevice> seen = OpenableHidInterfaces();
  const auto shaped = std::find_if(seen.begin(), seen.end(), UpdaterShaped);
  if (shaped == seen.end()) GTEST_SKIP() << "no HID interface here with 33-byte reports opens for reading and writing";
  const SeenDevice& target = *shaped;
  std::cout << "opening HID device " << std::hex << target.vendorId << ":" << target.productId << std::dec << " of "
            << seen.size() << " openable\n";

  CHIDDevice device;
  ASSERT_TRUE(device.OpenDevice(target.vendorId, target.productId));
  EXPECT_TRUE(device.IsOpen());
  EXPECT_EQ(device.InputReportLength(), kReportSize);
  EXPECT_EQ(device.OutputReportLength(), kReportSize);
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

// Under Wine, its own devices: IDs that match, reports that are not the
// updater's.
TEST(HidEnumeration, InterfacesWithOtherReportLengthsAreListedUnusableAndNeverOpened) {
  const std::vector<SeenDevice> seen = OpenableHidInterfaces();
  const auto other = std::find_if(seen.begin(), seen.end(), [&](const SeenDevice& d) {
    return std::none_of(seen.begin(), seen.end(),
                        [&](const SeenDevice& e) { return SameIds(d, e) && UpdaterShaped(e); });
  });
  if (other == seen.end()) GTEST_SKIP() << "no openable HID interface here without 33-byte reports";

  CHIDDevice device;
  EXPECT_FALSE(device.OpenDevice(other->vendorId, other->productId));
  EXPECT_FALSE(device.IsOpen());
  const std::vector<HidInterfaceInfo> listed = device.ListInterfaces(other->vendorId, other->productId);
  ASSERT_FALSE(listed.empty());
  for (const HidInterfaceInfo& info : listed) {
    EXPECT_FALSE(info.usable) << info.path;
    if (info.inputReportLength == other->inputReportLength) {
      EXPECT_EQ(info.problem, "not the updater's interface (no 33-byte input and output reports)") << info.path;
    }
  }
}

TEST(HidEnumeration, ListingShowsWhatTheSearchWouldOpenAndARestrictedSearchKeepsToOnePath) {
  CHIDDevice device;
  if (!Present(OpenableHidInterfaces(), kOurVendorId, kOurProductId)) {
    EXPECT_TRUE(device.ListInterfaces(kOurVendorId, kOurProductId).empty());
  }
  const std::vector<SeenDevice> seen = OpenableHidInterfaces();
  const auto shaped = std::find_if(seen.begin(), seen.end(), UpdaterShaped);
  if (shaped == seen.end()) GTEST_SKIP() << "no HID interface here with 33-byte reports opens for reading and writing";
  const SeenDevice& target = *shaped;

  const std::vector<HidInterfaceInfo> listed = device.ListInterfaces(target.vendorId, target.productId);
  ASSERT_FALSE(listed.empty());
  const auto first = std::find_if(listed.begin(), listed.end(), [](const HidInterfaceInfo& i) { return i.usable; });
  ASSERT_NE(first, listed.end());
  EXPECT_EQ(first->inputReportLength, kReportSize);
  EXPECT_EQ(first->outputReportLength, kReportSize);
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

// The serial is what the service wrote, up to its NUL, never more than a USB
// string holds, whatever the buffer.
TEST(HidSerial, TakenUpToTheNulAndBoundedToAUsbStringsLength) {
  const std::wstring longest(kMaxSerialUnits, L'7');
  struct Case {
    std::wstring buffer;
    std::string serial;
  };
  for (const Case& c : {
           Case{std::wstring(L"SN-42\0junk", 10), "SN-42"},
           Case{std::wstring(L"\0SN", 3), ""},
           Case{L"", ""},
           Case{longest, std::string(kMaxSerialUnits, '7')},
           Case{longest + L"89", std::string(kMaxSerialUnits, '7')},  // no NUL in the first 126 units
           Case{L"\x00e9\x20ac", "\xc3\xa9\xe2\x82\xac"},
           Case{std::wstring(L"A\xd800" L"B"), "A\xef\xbf\xbd" "B"},  // an unpaired surrogate
       }) {
    EXPECT_EQ(SerialFromBuffer(std::span<const wchar_t>(c.buffer.data(), c.buffer.size())), c.serial);
  }
}

}  // namespace
}  // namespace orvik
