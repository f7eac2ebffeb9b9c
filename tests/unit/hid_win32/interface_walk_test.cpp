// The walk over the HID interfaces and the bounded end of a transfer, through
// their seams: SetupDi calls that fail for one interface, and waits and
// cancels that do not behave.
#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "hid/hid_device_win32.h"

namespace orvik {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// ---- The walk -------------------------------------------------------------------

// The set the fake SetupDi calls describe: `count` interfaces named path0,
// path1, ...; the indexes in `enumFails` fail to enumerate (with an error
// other than the end), those in `detailFails` fail to give their details
// (the interface left meanwhile).
struct FakeSet {
  DWORD count = 0;
  std::set<DWORD> enumFails;
  std::set<DWORD> detailFails;
};
const FakeSet* g_set = nullptr;

std::wstring FakePath(DWORD index) { return L"path" + std::to_wstring(index); }

BOOL WINAPI FakeEnum(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
  if (index >= g_set->count) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  if (g_set->enumFails.count(index) != 0) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  data->Flags = index;  // which interface the detail calls are about
  return TRUE;
}

BOOL WINAPI FakeDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                       DWORD size, PDWORD required, PSP_DEVINFO_DATA) {
  const DWORD index = data->Flags;
  const std::wstring path = FakePath(index);
  const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                          (path.size() + 1) * sizeof(WCHAR));
  if (detail == nullptr) {
    if (required != nullptr) *required = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (g_set->detailFails.count(index) != 0) {
    SetLastError(ERROR_DEV_NOT_EXIST);
    return FALSE;
  }
  if (size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return TRUE;
}

TEST(InterfaceWalk, AnInterfaceThatFailsIsSkippedAndTheWalkGoesOn) {
  struct Case {
    const char* name;
    FakeSet set;
    std::vector<std::wstring> expected;
  };
  const Case cases[] = {
      {"all readable", {3, {}, {}}, {L"path0", L"path1", L"path2"}},
      {"no interface", {0, {}, {}}, {}},
      {"details of the first fail", {3, {}, {0}}, {L"path1", L"path2"}},
      {"details of one in the middle fail", {4, {}, {1, 2}}, {L"path0", L"path3"}},
      {"details of the last fail", {2, {}, {1}}, {L"path0"}},
      {"one fails to enumerate", {3, {1}, {}}, {L"path0", L"path2"}},
  };
  const SetupDiCalls calls{FakeEnum, FakeDetail};
  const GUID guid{};
  for (const Case& c : cases) {
    g_set = &c.set;
    std::vector<std::wstring> seen;
    WalkInterfacePaths(calls, nullptr, guid, [&](const std::wstring& path, DEVINST) {
      seen.push_back(path);
      return false;
    });
    EXPECT_EQ(seen, c.expected) << c.name;
  }
  // The visitor ends the walk when it has what it wants.
  const FakeSet many{5, {}, {}};
  g_set = &many;
  std::vector<std::wstring> seen;
  WalkInterfacePaths(calls, nullptr, guid, [&](const std::wstring& path, DEVINST) {
    seen.push_back(path);
    return path == L"path1";
  });
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"path0", L"path1"}));
  g_set = nullptr;
}

// ---- A transfer's end -----------------------------------------------------------

constexpr auto kBound = 300ms;

struct PipePair {
  OwnedHandle ours;
  OwnedHandle peer;
};

PipePair MakePipePair() {
  static std::atomic<int> counter{0};
  const std::wstring name = L"\\\\.\\pipe\\orvik-hid-walk-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(counter++);
  PipePair pair;
  pair.ours.Reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, kReportSize,
                                   kReportSize, 0, nullptr));
  pair.peer.Reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  return pair;
}

// The first wait of a transfer answers this instead of waiting; later waits
// are the system's.
std::atomic<DWORD> g_firstWait{WAIT_OBJECT_0};
std::atomic<bool> g_firstWaitPending{false};

DWORD WINAPI FirstWaitFails(HANDLE handle, DWORD ms) {
  if (g_firstWaitPending.exchange(false)) return g_firstWait.load();
  return WaitForSingleObject(handle, ms);
}

// A driver that ignores a cancel: the transfer stays pending.
BOOL WINAPI CancelIgnored(HANDLE, LPOVERLAPPED) { return TRUE; }

TEST(TransferEnd, AWaitThatFailsOrACancelThatNeverCompletesIsAFailureWithinItsBound) {
  struct Case {
    const char* name;
    TransferCalls calls;
    DWORD firstWait;  // WAIT_OBJECT_0: the system's wait throughout
    bool openAfter;   // the device is still usable afterwards
  };
  const Case cases[] = {
      {"failed wait", {FirstWaitFails, CancelIoEx, GetOverlappedResult}, WAIT_FAILED, true},
      {"abandoned wait", {FirstWaitFails, CancelIoEx, GetOverlappedResult}, WAIT_ABANDONED, true},
      {"cancel never completes", {WaitForSingleObject, CancelIgnored, GetOverlappedResult}, WAIT_OBJECT_0, false},
  };
  for (const Case& c : cases) {
    PipePair pair = MakePipePair();
    ASSERT_TRUE(pair.ours.Valid() && pair.peer.Valid()) << c.name;
    CHIDDevice device(std::move(pair.ours), kBound, c.calls);
    g_firstWait = c.firstWait;
    g_firstWaitPending = c.firstWait != WAIT_OBJECT_0;

    // The device never answers this read.
    std::array<std::uint8_t, kReportSize> reply{};
    reply.fill(0xAA);
    device.ReadReport(reply);
    const auto start = Clock::now();
    EXPECT_FALSE(device.WaitReadDone()) << c.name;
    // The transfer's bound, then at most the cancel's.
    EXPECT_LT(Clock::now() - start, 2 * kBound + 1s) << c.name;
    EXPECT_EQ(device.IsOpen(), c.openAfter) << c.name;
    EXPECT_EQ(reply[1], 0xAA) << c.name << ": a read given up on filled the buffer";

    // Afterwards: a usable device reads the next report; a closed one fails
    // at once.
    std::array<std::uint8_t, kReportSize> report{};
    report[1] = 0x55;
    DWORD written = 0;
    if (c.openAfter) {
      ASSERT_TRUE(WriteFile(pair.peer.Get(), report.data(), kReportSize, &written, nullptr));
    }
    const auto again = Clock::now();
    device.ReadReport(reply);
    EXPECT_EQ(device.WaitReadDone(), c.openAfter) << c.name;
    EXPECT_LT(Clock::now() - again, kBound / 2 + 200ms) << c.name;
    if (c.openAfter) {
      EXPECT_EQ(reply[1], 0x55) << c.name;
    }
  }
}

}  // namespace
}  // namespace orvik
