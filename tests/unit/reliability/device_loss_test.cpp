// The device disappears in the middle of the MCU blocks, with the real
// 5,000 ms wait bound in force: the run must fail at once with the number of
// the exchange in flight, not after a wait runs out, and the dialog must stay
// usable and closable. Once with the emulated device, once with CHIDDevice on
// an adopted socketpair whose other end serves the emulated device's replies
// and then goes away.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "emulator/emulated_device.h"
#include "hid/hid_device_linux.h"
#include "image/resources.h"
#include "support/test_support.h"
#include "ui/updater_dlg.h"
#include "unit/reliability/reliability_support.h"

namespace orvik::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Far below the 5,000 ms wait bound, far above any scheduling delay.
constexpr milliseconds kPromptly{1000};
// The device goes away once this many reports have been sent: a block of MCU
// Section 2 (exchanges 514..2029).
constexpr std::size_t kLossAfter = 1000;

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// The dialog after the loss: "Update" returns at the next tick, another run
// fails at its first write, and the dialog closes.
void ExpectUsableAndClosable(CORVIKUpdaterDlg& dlg, SoakWindow& window) {
  dlg.OnTimer(kUpdateTimerId);
  EXPECT_TRUE(window.UpdateEnabled());
  EXPECT_FALSE(window.TimerRunning());

  const auto start = Clock::now();
  dlg.OnClickedUpdate();
  dlg.WaitForWorker();
  EXPECT_LT(Since(start), kPromptly);
  EXPECT_EQ(dlg.LastRunResult(), 440);
  EXPECT_EQ(window.LastBox(), "Write start code fail(440)");

  dlg.OnTimer(kUpdateTimerId);
  EXPECT_TRUE(window.UpdateEnabled());
  dlg.OnCancel();
  EXPECT_EQ(window.Ends(), 1u);
  EXPECT_EQ(window.EndResult(), kDialogResultCancel);
}

// A write or a reply of an MCU Section 2 block failed, with its message.
void ExpectMcuSection2BlockFailed(const CORVIKUpdaterDlg& dlg, const SoakWindow& window) {
  const int code = dlg.LastRunResult();
  EXPECT_TRUE(code == 887 || code == 907) << code;
  EXPECT_EQ(window.LastBox(), code == 887 ? "Write mcu code fail(887)" : "Get write mcu code reply fail(907)");
}

TEST(DeviceLoss, EmulatedDeviceUnpluggedMidBlockFailsTheRunAtOnce) {
  ScopedLog log;
  SoakWindow window;
  EmulatedDevice device(kDefaultWaitBound);
  // Transfers take a little time, so the unplug lands inside a wait.
  device.SetLatency(TransferLatency{std::chrono::microseconds(300), false});
  const TableResources resources(EmbeddedResourceTable());
  CORVIKUpdaterDlg dlg(window, device, resources, {"orvik-updater"});
  ASSERT_TRUE(dlg.OnInitDialog());

  std::atomic<std::int64_t> unpluggedAt{0};
  std::size_t sentAtUnplug = 0;
  dlg.OnClickedUpdate();
  std::thread unplugger([&] {
    while (device.RecordSize() < kLossAfter && dlg.IsBusy()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    unpluggedAt = Clock::now().time_since_epoch().count();
    device.Unplug();
    sentAtUnplug = device.RecordSize();
  });
  unplugger.join();
  dlg.WaitForWorker();
  const auto ended = Clock::now();

  ASSERT_GE(sentAtUnplug, kLossAfter) << "the run ended before the device was unplugged";
  EXPECT_LT(ended - Clock::time_point(Clock::duration(unpluggedAt.load())), kPromptly);
  EXPECT_FALSE(dlg.IsBusy());
  ExpectMcuSection2BlockFailed(dlg, window);
  EXPECT_EQ(device.RecordSize(), sentAtUnplug) << "nothing is sent after the device is gone";
  ExpectUsableAndClosable(dlg, window);
}

// The device end of the socketpair: takes each command, lets the emulated
// device answer it, and sends the reply back as hidraw delivers it (32 bytes,
// no report ID). Stops when its socket is shut down.
class SocketDeviceEnd {
 public:
  explicit SocketDeviceEnd(UniqueFd peer) : m_peer(std::move(peer)) {
    m_device.OpenDevice(DeviceVendorId, DeviceProductId);
    m_thread = std::thread([this] { Serve(); });
  }
  ~SocketDeviceEnd() {
    Hangup();
    m_thread.join();
  }
  // Pulls the plug: both directions of the socket end.
  void Hangup() { ::shutdown(m_peer.Get(), SHUT_RDWR); }
  std::size_t Served() const { return m_served.load(); }
  // Hang up on the `n`-th command (zero-based) instead of answering it.
  void HangupAt(std::size_t n) { m_hangupAt = n; }

 private:
  void Serve() {
    for (;;) {
      ReportPacket command{};
      const ssize_t n = ::recv(m_peer.Get(), command.data(), command.size(), 0);
      if (n <= 0) return;
      if (m_served.load() == m_hangupAt.load()) {
        Hangup();
        return;
      }
      m_device.WriteReport(std::span<const std::uint8_t>(command.data(), static_cast<std::size_t>(n)));
      m_device.WaitWriteDone();
      ReportPacket reply{};
      m_device.ReadReport(reply);
      if (m_device.WaitReadDone() && ::send(m_peer.Get(), reply.data() + 1, reply.size() - 1, MSG_NOSIGNAL) < 0) return;
      ++m_served;
    }
  }

  UniqueFd m_peer;
  EmulatedDevice m_device{milliseconds(20)};
  std::atomic<std::size_t> m_served{0};
  std::atomic<std::size_t> m_hangupAt{SIZE_MAX};
  std::thread m_thread;
};

// CHIDDevice already open on an adopted socket: the dialog's OpenDevice must
// not go searching sysfs for it.
class AdoptedDevice final : public HidDevice {
 public:
  explicit AdoptedDevice(CHIDDevice& device) : m_device(device) {}
  bool OpenDevice(std::uint32_t, std::uint32_t) override { return m_device.IsOpen(); }
  void WriteReport(std::span<const std::uint8_t> report) override { m_device.WriteReport(report); }
  bool WaitWriteDone() override { return m_device.WaitWriteDone(); }
  void ReadReport(std::span<std::uint8_t> buffer) override { m_device.ReadReport(buffer); }
  bool WaitReadDone() override { return m_device.WaitReadDone(); }
  void DiscardQueuedInput() override { m_device.DiscardQueuedInput(); }

 private:
  CHIDDevice& m_device;
};

class SocketDeviceLoss : public ::testing::Test {
 protected:
  // A write to a socket whose peer has gone raises SIGPIPE; a hidraw node
  // fails the write instead, as the socket then does.
  static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }

  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    hid = std::make_unique<CHIDDevice>(UniqueFd(fds[0]), kDefaultWaitBound);
    deviceEnd = std::make_unique<SocketDeviceEnd>(UniqueFd(fds[1]));
    adopted = std::make_unique<AdoptedDevice>(*hid);
    dlg = std::make_unique<CORVIKUpdaterDlg>(window, *adopted, resources, std::vector<std::string>{"orvik-updater"});
    ASSERT_TRUE(dlg->OnInitDialog());
    ASSERT_EQ(window.Ends(), 0u);
  }

  void TearDown() override {
    dlg.reset();
    deviceEnd.reset();
  }

  ScopedLog log;
  SoakWindow window;
  const TableResources resources{EmbeddedResourceTable()};
  std::unique_ptr<CHIDDevice> hid;
  std::unique_ptr<SocketDeviceEnd> deviceEnd;
  std::unique_ptr<AdoptedDevice> adopted;
  std::unique_ptr<CORVIKUpdaterDlg> dlg;
};

TEST_F(SocketDeviceLoss, PeerGoneBeforeTheBlockReplyFailsThatReplyAtOnce) {
  deviceEnd->HangupAt(kLossAfter);
  const auto start = Clock::now();
  dlg->OnClickedUpdate();
  dlg->WaitForWorker();
  EXPECT_LT(Since(start), milliseconds(4000)) << "a wait ran into its bound";

  EXPECT_EQ(deviceEnd->Served(), kLossAfter);
  EXPECT_FALSE(dlg->IsBusy());
  EXPECT_EQ(dlg->LastRunResult(), 907);
  EXPECT_EQ(window.LastBox(), "Get write mcu code reply fail(907)");
  ExpectUsableAndClosable(*dlg, window);
}

TEST_F(SocketDeviceLoss, PeerClosedFromAnotherThreadMidRunFailsTheExchangeInFlightAtOnce) {
  std::atomic<std::int64_t> goneAt{0};
  dlg->OnClickedUpdate();
  std::thread unplugger([&] {
    while (deviceEnd->Served() < kLossAfter && dlg->IsBusy()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    goneAt = Clock::now().time_since_epoch().count();
    deviceEnd->Hangup();
  });
  unplugger.join();
  dlg->WaitForWorker();
  const auto ended = Clock::now();

  ASSERT_GE(deviceEnd->Served(), kLossAfter) << "the run ended before the device went away";
  EXPECT_LT(ended - Clock::time_point(Clock::duration(goneAt.load())), kPromptly);
  EXPECT_FALSE(dlg->IsBusy());
  ExpectMcuSection2BlockFailed(*dlg, window);
  ExpectUsableAndClosable(*dlg, window);
}

}  // namespace
}  // namespace orvik::test
