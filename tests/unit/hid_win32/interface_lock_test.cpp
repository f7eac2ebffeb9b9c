// One updater per interface on Windows: the named mutex derived from the
// interface's path, and a second open of an interface that is already open.
// The second open runs against the HID interfaces the system shows (Wine's
// own virtual devices under Wine).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hid/hid_device_win32.h"
#include "support/test_support.h"
#include "unit/hid_win32/hid_interfaces.h"

namespace orvik {
namespace {

const std::wstring kPrefix = L"Global\\orvik-updater-device-";

struct NameCase {
  const char* name;
  std::wstring path;
  std::wstring expected;  // empty: only the bound and the absence of backslashes are checked
};

class InterfaceLockNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(InterfaceLockNameTest, IsGlobalWithoutFurtherBackslashesAndWithinTheBound) {
  const NameCase& c = GetParam();
  const std::wstring name = InterfaceLockName(c.path);
  ASSERT_EQ(name.rfind(kPrefix, 0), 0u);
  EXPECT_EQ(name.find(L'\\', kPrefix.size()), std::wstring::npos);
  EXPECT_LE(name.size(), kMaxInterfaceLockName);
  if (!c.expected.empty()) {
    EXPECT_EQ(name, kPrefix + c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InterfaceLockNameTest,
    ::testing::Values(NameCase{"TypicalPath",
                               L"\\\\?\\hid#vid_1209&pid_0121#7&2a&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                               L"//?/HID#VID_1209&PID_0121#7&2A&0&0000#{4D1E55B2-F16F-11CF-88CB-001111000030}"},
                      NameCase{"Empty", L"", L""},
                      NameCase{"LongestThatFits", std::wstring(kMaxInterfaceLockName - kPrefix.size(), L'a'),
                               std::wstring(kMaxInterfaceLockName - kPrefix.size(), L'A')},
                      NameCase{"OneTooLong", std::wstring(kMaxInterfaceLockName - kPrefix.size() + 1, L'\\'), L""},
                      NameCase{"NtMaximum", std::wstring(32767, L'x'), L""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InterfaceLockName, PathsDifferingInCaseShareALockAndLongPathsDifferingEarlyDoNot) {
  EXPECT_EQ(InterfaceLockName(L"\\\\?\\hid#vid_1209"), InterfaceLockName(L"\\\\?\\HID#VID_1209"));
  const std::wstring tail(400, L'z');
  EXPECT_NE(InterfaceLockName(L"a" + tail), InterfaceLockName(L"b" + tail));
}

TEST(InterfaceLock, IsRefusedWhileHeldAndFreeAfterward) {
  const std::wstring path = L"\\\\?\\hid#orvik-lock-test#" + std::to_wstring(GetCurrentProcessId());
  EXPECT_FALSE(InterfaceLockHeld(path));
  {
    InterfaceLock first = LockInterface(path);
    ASSERT_TRUE(first.mutex.Valid());
    EXPECT_FALSE(first.inUse);
    EXPECT_TRUE(InterfaceLockHeld(path));
    EXPECT_TRUE(InterfaceLockHeld(L"\\\\?\\HID#ORVIK-LOCK-TEST#" + std::to_wstring(GetCurrentProcessId())));

    const InterfaceLock second = LockInterface(path);
    EXPECT_FALSE(second.mutex.Valid());
    EXPECT_TRUE(second.inUse);
    EXPECT_FALSE(LockInterface(path + L"-other").inUse);
  }
  EXPECT_FALSE(InterfaceLockHeld(path));
  EXPECT_FALSE(LockInterface(path).inUse);
}

// Made first under the lock's name, as another user could: only a mutex of
// this user's own is an updater's lock.
TEST(InterfaceLock, AMutexOfTheLocksNameMadeByAnotherUserDoesNotKeepTheUpdaterOff) {
  const std::wstring path = L"\\\\?\\hid#orvik-planted-test#" + std::to_wstring(GetCurrentProcessId());
  BYTE everyone[SECURITY_MAX_SID_SIZE];
  DWORD everyoneSize = sizeof everyone;
  ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &everyoneSize));
  // Makes the mutex under the lock's name with an empty DACL (nobody may
  // open it) or with `owner` as its owner and every access allowed.
  const auto plant = [&](bool noAccess, PSID owner) {
    SECURITY_DESCRIPTOR descriptor{};
    ACL empty{};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, noAccess ? &empty : nullptr, FALSE);
    if (owner != nullptr) SetSecurityDescriptorOwner(&descriptor, owner, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    return OwnedHandle(CreateMutexW(&attributes, FALSE, InterfaceLockName(path).c_str()));
  };
  struct Case {
    const char* name;
    std::function<OwnedHandle()> make;
    bool blocks;
  };
  const Case cases[] = {
      {"ThisUsersUpdater", [&] { return std::move(LockInterface(path).mutex); }, true},
      {"NoAccessForThisUser", [&] { return plant(true, nullptr); }, false},
      // Windows lets only a privileged process give an object another owner.
      {"OwnedBySomeoneElse", [&] { return plant(false, everyone); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const OwnedHandle planted = c.make();
    if (!planted.Valid()) {
      EXPECT_FALSE(c.blocks) << "could not make the mutex: " << GetLastError();
      continue;
    }
    const InterfaceLock lock = LockInterface(path);
    EXPECT_EQ(lock.inUse, c.blocks);
    EXPECT_EQ(InterfaceLockHeld(path), c.blocks);
  }
}

TEST(InterfaceLockName, IsTheSameWhateverTheLocaleUpperCases) {
  // A Turkish locale upper-cases 'i' to U+0130; the name takes ASCII only.
  EXPECT_EQ(InterfaceLockName(L"\\\\?\\hid#vid_1209&pid_0121&mi_01"),
            kPrefix + L"//?/HID#VID_1209&PID_0121&MI_01");
  EXPECT_EQ(InterfaceLockName(L"a\u0131b\u00e9"), kPrefix + L"A\u0131B\u00e9");
}

// The vendor and product IDs of the first HID interface the system lets this
// process open for reading and writing.
std::optional<std::pair<std::uint32_t, std::uint32_t>> OpenableIds() {
  std::optional<std::pair<std::uint32_t, std::uint32_t>> ids;
  ForEachOpenableHidInterface([&](HANDLE handle) {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (HidD_GetAttributes(handle, &attributes)) ids = {{attributes.VendorID, attributes.ProductID}};
    return !ids;
  });
  return ids;
}

TEST(InterfaceLock, SecondUpdaterCannotOpenAnOpenInterfaceUntilItIsClosed) {
  const auto ids = OpenableIds();
  if (!ids) GTEST_SKIP() << "no HID interface here can be opened for reading and writing";
  const auto [vendor, product] = *ids;
  CHIDDevice probe;
  const std::vector<HidInterfaceInfo> listed = probe.ListInterfaces(vendor, product);
  ASSERT_FALSE(listed.empty());
  std::vector<HidInterfaceInfo> usable;
  for (const HidInterfaceInfo& info : listed) {
    if (info.usable) usable.push_back(info);
  }
  if (usable.empty()) {
    // Wine's own devices lack the updater's 33-byte reports, so none opens.
    // The lock is taken before the reports are looked at: held as another
    // updater holds it, it still keeps this one off.
    const std::string& path = listed.front().path;
    const InterfaceLock other = LockInterface(std::wstring(path.begin(), path.end()));
    ASSERT_TRUE(other.mutex.Valid());
    test::ScopedLog log;
    CHIDDevice second;
    second.RestrictToPath(path);
    EXPECT_FALSE(second.OpenDevice(vendor, product));
    EXPECT_EQ(second.LastOpenRefusal().reason, "in use by another updater");
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"Can't open " + path + ": in use by another updater"});
    return;
  }

  test::ScopedLog log;
  CHIDDevice first;
  first.RestrictToPath(usable.front().path);
  ASSERT_TRUE(first.OpenDevice(vendor, product));
  CHIDDevice second;
  second.RestrictToPath(usable.front().path);
  EXPECT_FALSE(second.OpenDevice(vendor, product));
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(second.LastOpenRefusal().reason, "in use by another updater");
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"Can't open " + usable.front().path + ": in use by another updater"});

  // The listing says so too, except to the updater that holds it.
  const auto listedBySecond = second.ListInterfaces(vendor, product);
  const auto entry = std::find_if(listedBySecond.begin(), listedBySecond.end(),
                                  [&](const HidInterfaceInfo& i) { return i.path == usable.front().path; });
  ASSERT_NE(entry, listedBySecond.end());
  EXPECT_FALSE(entry->usable);
  EXPECT_EQ(entry->problem, "in use by another updater");
  for (const HidInterfaceInfo& info : first.ListInterfaces(vendor, product)) {
    if (info.path == usable.front().path) {
      EXPECT_TRUE(info.usable) << info.problem;
    }
  }

  // Closed (a search for nothing closes what was open): free again.
  first.RestrictToPath("\\\\?\\hid#none");
  EXPECT_FALSE(first.OpenDevice(vendor, product));
  EXPECT_TRUE(second.OpenDevice(vendor, product));
  EXPECT_EQ(second.LastOpenRefusal().reason, "");
}

}  // namespace
}  // namespace orvik
