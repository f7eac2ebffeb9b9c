// CHIDDevice against a fake hidraw node served by FUSE (integration/
// fuse_hidraw.h), so that every transfer goes through the kernel's open(),
// poll(), read() and write() as it does with a real node: O_NONBLOCK reads
// that fail with EAGAIN, poll() woken by a poll notification, one write()
// arriving as one request (direct_io), and the node's flock().
//
// The program moves itself into a private mount namespace before any test
// runs, so its mounts vanish with it even if it crashes. Where that or the
// FUSE mount is not allowed, every test is skipped and the program exits 77.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "hid/hid_device_linux.h"
#include "integration/fuse_hidraw.h"
#include "support/test_support.h"

namespace orvik {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test::Bytes;

constexpr std::uint32_t kVendor = 0x1209;
constexpr std::uint32_t kProduct = 0x0121;

// Why mounting is impossible here; empty when it is possible.
std::string g_cannotMount;

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

class HidrawOverFuse : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!g_cannotMount.empty()) GTEST_SKIP() << g_cannotMount;
    m_tree = std::make_unique<test::FuseHidrawTree>(kVendor, kProduct);
    if (!m_tree->Error().empty()) {
      g_cannotMount = m_tree->Error();
      m_tree.reset();
      GTEST_SKIP() << g_cannotMount;
    }
    m_server = &m_tree->Server();
  }

  void TearDown() override { m_tree.reset(); }

  CHIDDevice Device(milliseconds bound) const {
    return CHIDDevice(bound, m_tree->SysfsRoot(), m_tree->DevRoot());
  }

  CHIDDevice OpenedDevice(milliseconds bound) {
    CHIDDevice device = Device(bound);
    EXPECT_TRUE(device.OpenDevice(kVendor, kProduct));
    return device;
  }

  std::unique_ptr<test::FuseHidrawTree> m_tree;
  test::FuseHidraw* m_server = nullptr;
};

Bytes Command(std::uint8_t fill) {
  Bytes command(kReportSize, fill);
  command[0] = 0;
  return command;
}

TEST_F(HidrawOverFuse, OneReportEachWayWithReportIdZeroInFrontOfTheReply) {
  // The device answers each command with its 32 data bytes, incremented.
  m_server->SetResponder([](test::FuseHidraw& device, const Bytes& report) {
    Bytes reply(report.begin() + 1, report.end());
    for (auto& b : reply) ++b;
    device.QueueInputLocked(std::move(reply));
  });
  CHIDDevice device = OpenedDevice(milliseconds(2000));
  ASSERT_TRUE(device.IsOpen());

  const Bytes command = Command(0x40);
  Bytes buffer(kReportSize, 0xEE);
  device.WriteReport(command);
  ASSERT_TRUE(device.WaitWriteDone());
  device.ReadReport(buffer);
  ASSERT_TRUE(device.WaitReadDone());

  EXPECT_EQ(m_server->Written(), std::vector<Bytes>{command});
  EXPECT_EQ(buffer, Command(0x41));
}

// The listing opens the node through the real open() and carries the serial
// the HID device's uevent names, and the port of the USB device above it.
TEST_F(HidrawOverFuse, ListingShowsTheNodeUsableWithItsSerialAndPort) {
  CHIDDevice device = Device(milliseconds(200));
  const std::vector<HidInterfaceInfo> found = device.ListInterfaces(kVendor, kProduct);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].path, (m_tree->DevRoot() / "hidraw0").string());
  EXPECT_TRUE(found[0].usable) << found[0].problem;
  EXPECT_EQ(found[0].serial, "ORV-000042");
  EXPECT_EQ(found[0].port, "1-1.4.2");

  // The same node under no USB device (uhid) has no port.
  m_tree.reset();
  test::FuseHidrawTree virtualTree(kVendor, kProduct, "");
  ASSERT_EQ(virtualTree.Error(), "");
  CHIDDevice virtualDevice(milliseconds(200), virtualTree.SysfsRoot(), virtualTree.DevRoot());
  const std::vector<HidInterfaceInfo> virtualFound = virtualDevice.ListInterfaces(kVendor, kProduct);
  ASSERT_EQ(virtualFound.size(), 1u);
  EXPECT_EQ(virtualFound[0].port, "");
}

TEST_F(HidrawOverFuse, LateReplyWakesTheWaitThroughPoll) {
  CHIDDevice device = OpenedDevice(milliseconds(2000));
  Bytes buffer(kReportSize, 0);
  device.ReadReport(buffer);  // nothing queued: the read is left to the wait
  m_server->QueueInputAfter(milliseconds(50), Bytes(kReportSize - 1, 0x07));
  const auto start = Clock::now();
  ASSERT_TRUE(device.WaitReadDone());
  EXPECT_GE(Since(start), milliseconds(40));
  EXPECT_LT(Since(start), milliseconds(1000));
  EXPECT_EQ(buffer, Command(0x07));
}

TEST_F(HidrawOverFuse, SilentDeviceTimesOutAfterTheBound) {
  CHIDDevice device = OpenedDevice(milliseconds(100));
  const Bytes command = Command(0x01);
  device.WriteReport(command);
  ASSERT_TRUE(device.WaitWriteDone());
  Bytes buffer(kReportSize, 0);
  device.ReadReport(buffer);
  const auto start = Clock::now();
  EXPECT_FALSE(device.WaitReadDone());
  EXPECT_GE(Since(start), milliseconds(100));
  EXPECT_LT(Since(start), milliseconds(600));
}

TEST_F(HidrawOverFuse, UnplugDuringTheWaitFailsItAtOnce) {
  CHIDDevice device = OpenedDevice(kDefaultWaitBound);
  Bytes buffer(kReportSize, 0);
  device.ReadReport(buffer);
  m_server->HangUpAfter(milliseconds(30));
  const auto start = Clock::now();
  EXPECT_FALSE(device.WaitReadDone());
  EXPECT_LT(Since(start), milliseconds(1000));

  // Writes to the vanished device fail at once too.
  const Bytes command = Command(0x01);
  device.WriteReport(command);
  EXPECT_FALSE(device.WaitWriteDone());
  EXPECT_LT(Since(start), milliseconds(1000));
}

TEST_F(HidrawOverFuse, StaleInputIsDiscardedBeforeTheExchange) {
  for (std::uint8_t stale = 1; stale <= 3; ++stale) m_server->QueueInput(Bytes(kReportSize - 1, stale));
  CHIDDevice device = OpenedDevice(milliseconds(500));
  device.DiscardQueuedInput();
  EXPECT_EQ(m_server->Queued(), 0u);

  m_server->QueueInput(Bytes(kReportSize - 1, 0x99));
  Bytes buffer(kReportSize, 0);
  device.ReadReport(buffer);
  ASSERT_TRUE(device.WaitReadDone());
  EXPECT_EQ(buffer, Command(0x99));
}

// An open refused as a node without the udev rule refuses it, even to root.
TEST_F(HidrawOverFuse, NodeThatRefusesTheUserIsReportedWithTheUdevRule) {
  test::ScopedLog log;
  m_server->SetOpenError(EACCES);
  CHIDDevice device = Device(milliseconds(500));
  EXPECT_FALSE(device.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(device.LastOpenRefusal().reason, "Permission denied");
  EXPECT_NE(device.LastOpenRefusal().remedy.find("70-orvik-updater.rules"), std::string::npos);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"Can't open " + m_tree->Node().string() +
                                                  ": Permission denied (install the udev rule 70-orvik-updater.rules)"});
  EXPECT_EQ(m_server->Opens(), 1);
}

}  // namespace
}  // namespace orvik

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  orvik::g_cannotMount = orvik::test::EnterPrivateMountNamespace();
  if (!orvik::g_cannotMount.empty()) std::fprintf(stderr, "FUSE tests skipped: %s\n", orvik::g_cannotMount.c_str());
  const int result = RUN_ALL_TESTS();
  // Exit code 77 tells CTest the tests were skipped rather than passed.
  return result == 0 && !orvik::g_cannotMount.empty() ? 77 : result;
}
