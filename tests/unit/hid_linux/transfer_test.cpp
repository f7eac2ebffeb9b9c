// Transfers over an adopted socketpair(AF_UNIX, SOCK_SEQPACKET): like a hidraw
// node it keeps report boundaries, drops what does not fit the reader's
// buffer, and reports a hang-up through poll(). The test plays the device at
// the other end, sending unnumbered reports as hidraw delivers them: 32 bytes,
// no report ID.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <thread>
#include <vector>

#include "hid/hid_device_linux.h"

namespace orvik {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kShortBound{50};

using Report = std::array<std::uint8_t, kReportSize>;

Report Command(std::uint8_t fill) {
  Report r;
  r.fill(fill);
  r[0] = 0;  // report ID
  return r;
}

std::vector<std::uint8_t> DeviceReport(std::uint8_t fill, std::size_t size = kReportSize - 1) {
  return std::vector<std::uint8_t>(size, fill);
}

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

class HidrawTransfer : public ::testing::Test {
 protected:
  // Writing to a socket whose peer has gone raises SIGPIPE; a hidraw node
  // never does. Ignoring it makes the socket fail the write as the node would.
  static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }

  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    m_deviceEnd.Reset(fds[0]);
    m_peer.Reset(fds[1]);
  }

  CHIDDevice Adopt(milliseconds bound) { return CHIDDevice(std::move(m_deviceEnd), bound); }

  void Send(const std::vector<std::uint8_t>& report) {
    ASSERT_EQ(::send(m_peer.Get(), report.data(), report.size(), 0), static_cast<ssize_t>(report.size()));
  }

  // One record as the device received it; empty when none is queued.
  std::vector<std::uint8_t> Received() {
    std::vector<std::uint8_t> record(256);
    const ssize_t n = ::recv(m_peer.Get(), record.data(), record.size(), MSG_DONTWAIT);
    record.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return record;
  }

  UniqueFd m_deviceEnd;
  UniqueFd m_peer;
};

TEST_F(HidrawTransfer, ExchangeSendsThe33BytesAndReadsWithReportIdZeroInFront) {
  CHIDDevice device = Adopt(kShortBound);
  EXPECT_EQ(device.InputReportLength(), kReportSize);

  Report command = Command(0x5A);
  command[1] = 0x01;
  device.WriteReport(command);
  ASSERT_TRUE(device.WaitWriteDone());
  EXPECT_EQ(Received(), std::vector<std::uint8_t>(command.begin(), command.end()));

  std::vector<std::uint8_t> reply = DeviceReport(0xC3);
  reply[0] = 0x01;
  Send(reply);
  Report buffer;
  buffer.fill(0xEE);
  device.ReadReport(buffer);
  ASSERT_TRUE(device.WaitReadDone());
  EXPECT_EQ(buffer[0], 0);
  EXPECT_TRUE(std::equal(reply.begin(), reply.end(), buffer.begin() + 1));
}

TEST_F(HidrawTransfer, OneWriteIsOneReportAndOneReadIsOneReport) {
  CHIDDevice device = Adopt(kShortBound);
  const Report first = Command(0x11), second = Command(0x22);
  device.WriteReport(first);
  ASSERT_TRUE(device.WaitWriteDone());
  device.WriteReport(second);
  ASSERT_TRUE(device.WaitWriteDone());
  EXPECT_EQ(Received(), std::vector<std::uint8_t>(first.begin(), first.end()));
  EXPECT_EQ(Received(), std::vector<std::uint8_t>(second.begin(), second.end()));
  EXPECT_TRUE(Received().empty());

  // An over-long report is cut to the buffer, and its tail is not taken for
  // the start of the next report.
  Send(DeviceReport(0x33, 40));
  Send(DeviceReport(0x44));
  Report buffer{};
  device.ReadReport(buffer);
  ASSERT_TRUE(device.WaitReadDone());
  EXPECT_EQ(buffer, Command(0x33));
  device.ReadReport(buffer);
  ASSERT_TRUE(device.WaitReadDone());
  EXPECT_EQ(buffer, Command(0x44));
}

TEST_F(HidrawTransfer, ShortReportLeavesNoBytesOfTheEarlierReply) {
  CHIDDevice device = Adopt(kShortBound);
  Report buffer;
  buffer.fill(0x77);  // an earlier reply
  Send(DeviceReport(0x01, 4));
  device.ReadReport(buffer);
  ASSERT_TRUE(device.WaitReadDone());
  Report expected{};
  std::fill(expected.begin() + 1, expected.begin() + 5, std::uint8_t{0x01});
  EXPECT_EQ(buffer, expected);
}

TEST_F(HidrawTransfer, ReplyArrivingDuringTheWaitCompletesIt) {
  CHIDDevice device = Adopt(milliseconds(2000));
  Report buffer{};
  device.ReadReport(buffer);
  std::thread late([this] {
    std::this_thread::sleep_for(milliseconds(30));
    Send(DeviceReport(0x42));
  });
  const auto start = Clock::now();
  EXPECT_TRUE(device.WaitReadDone());
  EXPECT_LT(Since(start), milliseconds(1000));
  late.join();
  EXPECT_EQ(buffer, Command(0x42));
}

TEST_F(HidrawTransfer, SilentDeviceFailsTheReadAfterTheFullDefaultBound) {
  CHIDDevice device = Adopt(kDefaultWaitBound);
  const Report command = Command(0x01);
  device.WriteReport(command);
  ASSERT_TRUE(device.WaitWriteDone());  // accepted, never answered

  Report buffer;
  buffer.fill(0xAB);
  const auto start = Clock::now();
  device.ReadReport(buffer);
  EXPECT_FALSE(device.WaitReadDone());
  const milliseconds elapsed = Since(start);
  EXPECT_GE(elapsed, milliseconds(5000));
  EXPECT_LT(elapsed, milliseconds(5500));

  // Nothing lands in the buffer after the wait gave up.
  Send(DeviceReport(0x99));
  std::this_thread::sleep_for(milliseconds(20));
  Report untouched;
  untouched.fill(0xAB);
  EXPECT_EQ(buffer, untouched);
}

TEST_F(HidrawTransfer, ShortenedBoundIsKeptToTheMillisecond) {
  CHIDDevice device = Adopt(kShortBound);
  Report buffer{};
  device.ReadReport(buffer);
  const auto start = Clock::now();
  EXPECT_FALSE(device.WaitReadDone());
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, kShortBound);  // never a millisecond early
  EXPECT_LT(elapsed, kShortBound + milliseconds(200));
}

TEST_F(HidrawTransfer, HangUpBeforeTheReplyFailsAtOnce) {
  CHIDDevice device = Adopt(kDefaultWaitBound);
  const Report command = Command(0x01);
  device.WriteReport(command);
  ASSERT_TRUE(device.WaitWriteDone());
  m_peer.Reset();  // unplugged

  Report buffer{};
  const auto start = Clock::now();
  device.ReadReport(buffer);
  EXPECT_FALSE(device.WaitReadDone());
  EXPECT_LT(Since(start), milliseconds(100));
}

TEST_F(HidrawTransfer, HangUpDuringTheWaitEndsItAtOnce) {
  CHIDDevice device = Adopt(kDefaultWaitBound);
  Report buffer{};
  device.ReadReport(buffer);
  std::thread unplug([this] {
    std::this_thread::sleep_for(milliseconds(30));
    ::shutdown(m_peer.Get(), SHUT_RDWR);
  });
  const auto start = Clock::now();
  EXPECT_FALSE(device.WaitReadDone());
  EXPECT_LT(Since(start), milliseconds(1000));
  unplug.join();
}

TEST_F(HidrawTransfer, WriteToAVanishedDeviceFailsAtOnce) {
  CHIDDevice device = Adopt(kDefaultWaitBound);
  m_peer.Reset();
  const Report command = Command(0x01);
  const auto start = Clock::now();
  device.WriteReport(command);
  EXPECT_FALSE(device.WaitWriteDone());
  EXPECT_LT(Since(start), milliseconds(100));
}

TEST_F(HidrawTransfer, WriteTheDeviceDoesNotTakeTimesOutThenCompletesWhenItDoes) {
  // Fill the device's input queue until the socket refuses more.
  const Report command = Command(0x01);
  int queued = 0;
  while (::send(m_deviceEnd.Get(), command.data(), command.size(), MSG_DONTWAIT) > 0) ++queued;
  ASSERT_GT(queued, 0);
  constexpr milliseconds kBound{200};
  CHIDDevice device = Adopt(kBound);

  device.WriteReport(command);
  const auto start = Clock::now();
  EXPECT_FALSE(device.WaitWriteDone());
  EXPECT_GE(Since(start), kBound);

  // Once the device reads, a waiting write goes through.
  std::thread drain([this, queued] {
    std::this_thread::sleep_for(milliseconds(20));
    for (int i = 0; i < queued; ++i) Received();
  });
  device.WriteReport(command);
  const bool done = device.WaitWriteDone();
  drain.join();
  EXPECT_TRUE(done);
}

TEST_F(HidrawTransfer, QueuedStaleInputIsDiscarded) {
  CHIDDevice device = Adopt(kShortBound);

  // A reply that came after its wait gave up, and more stale reports.
  Report buffer{};
  device.ReadReport(buffer);
  ASSERT_FALSE(device.WaitReadDone());
  Send(DeviceReport(0xDD));
  Send(DeviceReport(0xDE));
  Send(DeviceReport(0xDF));

  const auto start = Clock::now();
  device.DiscardQueuedInput();
  EXPECT_LT(Since(start), milliseconds(20));

  Send(DeviceReport(0x01));
  device.ReadReport(buffer);
  ASSERT_TRUE(device.WaitReadDone());
  EXPECT_EQ(buffer, Command(0x01));
}

TEST_F(HidrawTransfer, DiscardingDoesNotWaitForInputOrRunForeverOnAChattyDevice) {
  CHIDDevice device = Adopt(kDefaultWaitBound);
  auto start = Clock::now();
  device.DiscardQueuedInput();  // nothing queued
  EXPECT_LT(Since(start), milliseconds(20));

  std::atomic<bool> stop{false};
  std::thread chatty([this, &stop] {
    const std::vector<std::uint8_t> report = DeviceReport(0x55);
    while (!stop.load()) ::send(m_peer.Get(), report.data(), report.size(), MSG_DONTWAIT);
  });
  start = Clock::now();
  device.DiscardQueuedInput();
  const milliseconds elapsed = Since(start);
  stop = true;
  chatty.join();
  EXPECT_LT(elapsed, milliseconds(2000));
}

TEST_F(HidrawTransfer, WaitsWithoutATransferOrWithoutRoomFailAtOnce) {
  CHIDDevice device = Adopt(kDefaultWaitBound);
  auto start = Clock::now();
  EXPECT_FALSE(device.WaitWriteDone());
  EXPECT_FALSE(device.WaitReadDone());

  std::array<std::uint8_t, 1> tiny{};  // room for the report ID only
  Send(DeviceReport(0x01));
  device.ReadReport(tiny);
  EXPECT_FALSE(device.WaitReadDone());
  EXPECT_LT(Since(start), milliseconds(100));

  // A closed device fails every transfer at once.
  CHIDDevice closed(kDefaultWaitBound, "/nonexistent/sys", "/nonexistent/dev");
  const Report command = Command(0x01);
  closed.WriteReport(command);
  EXPECT_FALSE(closed.WaitWriteDone());
  Report buffer{};
  closed.ReadReport(buffer);
  EXPECT_FALSE(closed.WaitReadDone());
  closed.DiscardQueuedInput();
  EXPECT_LT(Since(start), milliseconds(100));
}

}  // namespace
}  // namespace orvik
