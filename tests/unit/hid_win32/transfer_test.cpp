// CHIDDevice's transfers and waits, driven through a named pipe in message
// mode: like a HID handle it keeps one write as one message, and it completes
// overlapped transfers only when the other end acts.
#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "hid/hid_device_win32.h"

namespace orvik {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kShortBound = 300ms;

// Our end (overlapped, adopted by the device) and the device's end (plain,
// blocking), connected.
struct PipePair {
  OwnedHandle ours;
  OwnedHandle peer;
};

PipePair MakePipePair() {
  static std::atomic<int> counter{0};
  const std::wstring name = L"\\\\.\\pipe\\orvik-hid-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(counter++);
  PipePair pair;
  // Buffers of one report: a second unread report fills the pipe.
  pair.ours.Reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, kReportSize,
                                   kReportSize, 0, nullptr));
  pair.peer.Reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (pair.peer.Valid()) {
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pair.peer.Get(), &mode, nullptr, nullptr);
  }
  return pair;
}

std::array<std::uint8_t, kReportSize> Report(std::uint8_t fill) {
  std::array<std::uint8_t, kReportSize> report{};
  report.fill(fill);
  report[0] = 0;  // report ID
  return report;
}

bool PeerWrite(HANDLE peer, const std::array<std::uint8_t, kReportSize>& report) {
  DWORD written = 0;
  return WriteFile(peer, report.data(), kReportSize, &written, nullptr) && written == kReportSize;
}

DWORD PeerRead(HANDLE peer, std::array<std::uint8_t, 64>& buffer) {
  DWORD read = 0;
  if (!ReadFile(peer, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return 0;
  return read;
}

class HidTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    PipePair pair = MakePipePair();
    ASSERT_TRUE(pair.ours.Valid());
    ASSERT_TRUE(pair.peer.Valid());
    peer = std::move(pair.peer);
    device = std::make_unique<CHIDDevice>(std::move(pair.ours), kShortBound);
  }

  OwnedHandle peer;
  std::unique_ptr<CHIDDevice> device;
};

TEST_F(HidTransfer, OneWriteIsOneReportAndOneReadIsOneReport) {
  const auto command = Report(0x11);
  device->WriteReport(command);
  EXPECT_TRUE(device->WaitWriteDone());
  std::array<std::uint8_t, 64> received{};
  ASSERT_EQ(PeerRead(peer.Get(), received), kReportSize);
  EXPECT_TRUE(std::equal(command.begin(), command.end(), received.begin()));

  // The read is started before the reply exists and completes when it comes.
  std::array<std::uint8_t, kReportSize> reply{};
  device->ReadReport(reply);
  std::thread answer([&] { PeerWrite(peer.Get(), Report(0x22)); });
  EXPECT_TRUE(device->WaitReadDone());
  answer.join();
  EXPECT_EQ(reply, Report(0x22));

  // Two queued reports come out as two reads, not merged.
  ASSERT_TRUE(PeerWrite(peer.Get(), Report(0x33)));
  std::thread second([&] { PeerWrite(peer.Get(), Report(0x44)); });
  device->ReadReport(reply);
  EXPECT_TRUE(device->WaitReadDone());
  EXPECT_EQ(reply, Report(0x33));
  device->ReadReport(reply);
  EXPECT_TRUE(device->WaitReadDone());
  EXPECT_EQ(reply, Report(0x44));
  second.join();
}

TEST_F(HidTransfer, SilentDeviceTimesOutAtTheBoundAndTheLateReplyIsNotWrittenIntoTheBuffer) {
  std::array<std::uint8_t, kReportSize> reply{};
  reply.fill(0xAA);
  device->ReadReport(reply);
  const auto start = Clock::now();
  EXPECT_FALSE(device->WaitReadDone());
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, kShortBound - 20ms);  // Windows timers may fire up to a tick early
  EXPECT_LT(waited, kShortBound + 2s);

  // The read was cancelled: a reply that comes now stays queued and leaves the
  // abandoned buffer alone...
  ASSERT_TRUE(PeerWrite(peer.Get(), Report(0x55)));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(reply[1], 0xAA);
  EXPECT_EQ(reply[kReportSize - 1], 0xAA);

  // ...and the next read gets it, so transfers go on after a time-out.
  std::array<std::uint8_t, kReportSize> next{};
  device->ReadReport(next);
  EXPECT_TRUE(device->WaitReadDone());
  EXPECT_EQ(next, Report(0x55));
}

TEST_F(HidTransfer, WriteThatCannotCompleteIsCancelledAfterTheBound) {
  // The pipe holds one unread report; the next write stays pending until the
  // device's end reads, which it never does.
  const auto first = Report(0x01);
  device->WriteReport(first);
  ASSERT_TRUE(device->WaitWriteDone());
  const auto second = Report(0x02);
  device->WriteReport(second);
  if (device->WaitWriteDone()) GTEST_SKIP() << "this pipe took a second unread report; no pending write to cancel";

  // After the cancelled write the next one is accepted.
  std::array<std::uint8_t, 64> received{};
  ASSERT_EQ(PeerRead(peer.Get(), received), kReportSize);
  EXPECT_EQ(received[1], 0x01);
  const auto third = Report(0x03);
  device->WriteReport(third);
  EXPECT_TRUE(device->WaitWriteDone());
  ASSERT_EQ(PeerRead(peer.Get(), received), kReportSize);
  EXPECT_EQ(received[1], 0x03) << "the cancelled write must not arrive";
}

// A station's workers each take a handle of their own: closed, with the
// same search, and with transfer events of its own, so that one handle's
// transfers and its going away leave the others' alone.
TEST_F(HidTransfer, ANewHandleIsClosedAndIndependentOfTheOneItCameFrom) {
  std::unique_ptr<SearchableHidDevice> handle = device->NewHandle();
  ASSERT_TRUE(handle);
  EXPECT_EQ(handle->OpenedPath(), "");
  EXPECT_EQ(handle->ListInterfaces(0x845E, 0x0001).size(), device->ListInterfaces(0x845E, 0x0001).size());
  const auto start = Clock::now();
  std::array<std::uint8_t, kReportSize> stray{};
  handle->ReadReport(stray);
  EXPECT_FALSE(handle->WaitReadDone());
  EXPECT_LT(Clock::now() - start, kShortBound) << "a closed handle's transfers fail at once";

  std::array<std::uint8_t, kReportSize> reply{};
  device->ReadReport(reply);
  handle.reset();
  ASSERT_TRUE(PeerWrite(peer.Get(), Report(0x66)));
  EXPECT_TRUE(device->WaitReadDone());
  EXPECT_EQ(reply, Report(0x66));
}

TEST(HidTransferFailure, TransferThatFailsAtOnceIsReportedAtOnceNotAfterTheBound) {
  PipePair pair = MakePipePair();
  ASSERT_TRUE(pair.peer.Valid());
  CHIDDevice device(std::move(pair.ours), kDefaultWaitBound);
  pair.peer.Reset();  // the device is gone

  const auto start = Clock::now();
  const auto command = Report(0x11);
  device.WriteReport(command);
  EXPECT_FALSE(device.WaitWriteDone());
  std::array<std::uint8_t, kReportSize> reply{};
  device.ReadReport(reply);
  EXPECT_FALSE(device.WaitReadDone());
  EXPECT_LT(Clock::now() - start, 1s);
}

TEST(HidTransferFailure, DeviceNotOpenFailsEveryTransferAtOnce) {
  CHIDDevice device;
  EXPECT_FALSE(device.IsOpen());
  const auto start = Clock::now();
  const auto command = Report(0x11);
  device.WriteReport(command);
  EXPECT_FALSE(device.WaitWriteDone());
  std::array<std::uint8_t, kReportSize> reply{};
  device.ReadReport(reply);
  EXPECT_FALSE(device.WaitReadDone());
  EXPECT_FALSE(device.WaitReadDone()) << "a wait with no transfer started";
  device.DiscardQueuedInput();
  EXPECT_LT(Clock::now() - start, 1s);
}

TEST(HidTransferFailure, SilentDeviceTimesOutAfterTheDefaultFiveSeconds) {
  PipePair pair = MakePipePair();
  ASSERT_TRUE(pair.peer.Valid());
  CHIDDevice device(std::move(pair.ours), kDefaultWaitBound);
  std::array<std::uint8_t, kReportSize> reply{};
  device.ReadReport(reply);
  const auto start = Clock::now();
  EXPECT_FALSE(device.WaitReadDone());
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, 5000ms - 20ms);
  EXPECT_LT(waited, 6500ms);
}

TEST(HidTransferFailure, OpenDeviceClosesTheHandleAlreadyHeld) {
  PipePair pair = MakePipePair();
  ASSERT_TRUE(pair.peer.Valid());
  CHIDDevice device(std::move(pair.ours), kShortBound);
  ASSERT_TRUE(device.IsOpen());
  // No device of this vendor exists: the search fails, and the pipe it held
  // before has been closed (its other end sees it gone).
  EXPECT_FALSE(device.OpenDevice(0xFFFF, 0xFFFF));
  EXPECT_FALSE(device.IsOpen());
  EXPECT_FALSE(PeerWrite(pair.peer.Get(), Report(0x66)));
}

}  // namespace
}  // namespace orvik
