// CHIDDevice against a fake hidraw node served by FUSE, so that every transfer
// goes through the kernel's open(), poll(), read() and write() as it does with
// a real node: O_NONBLOCK reads that fail with EAGAIN, poll() woken by a poll
// notification, one write() arriving as one request (direct_io).
//
// The program moves itself into a private mount namespace before any test
// runs, so its mounts vanish with it even if it crashes. Where that or the
// FUSE mount is not allowed, every test is skipped and the program exits 77.
#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hid/hid_device_linux.h"
#include "support/test_support.h"

namespace orvik {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kVendor = 0x1209;
constexpr std::uint32_t kProduct = 0x0121;
constexpr fuse_ino_t kNodeInode = 2;

// Why mounting is impossible here; empty when it is possible.
std::string g_cannotMount;

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// The device end: one file, "hidraw0", that takes reports written to it and
// hands out queued input reports one per read.
class FuseHidraw {
 public:
  // Called for each report written, under the lock; may queue input.
  using Responder = std::function<void(FuseHidraw&, const Bytes&)>;

  explicit FuseHidraw(const fs::path& mountPoint) {
    fuse_lowlevel_ops ops{};
    ops.lookup = &Lookup;
    ops.getattr = &GetAttr;
    ops.open = &Open;
    ops.read = &Read;
    ops.write = &Write;
    ops.poll = &Poll;
    char name[] = "hidraw-fuse-test";
    char* argv[] = {name};
    fuse_args args = FUSE_ARGS_INIT(1, argv);
    m_session = fuse_session_new(&args, &ops, sizeof ops, this);
    fuse_opt_free_args(&args);  // the session keeps copies of what it needs
    if (m_session == nullptr) {
      m_error = "fuse_session_new failed";
      return;
    }
    if (fuse_session_mount(m_session, mountPoint.c_str()) != 0) {
      m_error = "cannot mount a FUSE file system on " + mountPoint.string();
      fuse_session_destroy(m_session);
      m_session = nullptr;
      return;
    }
    m_mountPoint = mountPoint;
    m_loop = std::thread([this] { fuse_session_loop(m_session); });
  }

  ~FuseHidraw() {
    for (auto& t : m_later) t.join();
    if (m_session == nullptr) return;
    // The loop blocks in a read of /dev/fuse, and unmounting closes that
    // descriptor: closing it under the read would be a race on the
    // descriptor. Marked as exited, the loop ends after the next request it
    // serves, so a lookup of a name that does not exist ends it; only then is
    // the file system unmounted. Should the loop have ended already, the
    // lookup waits until the unmount aborts it.
    fuse_session_exit(m_session);
    std::thread wake([mountPoint = m_mountPoint] {
      std::error_code ignored;
      static_cast<void>(fs::exists(mountPoint / "end-of-test", ignored));
    });
    m_loop.join();
    fuse_session_unmount(m_session);
    wake.join();
    {
      std::lock_guard lock(m_mutex);
      if (m_pollHandle != nullptr) fuse_pollhandle_destroy(m_pollHandle);
    }
    fuse_session_destroy(m_session);
  }

  const std::string& Error() const { return m_error; }

  void SetResponder(Responder responder) {
    std::lock_guard lock(m_mutex);
    m_responder = std::move(responder);
  }

  // Queues one input report (as hidraw returns it: no report ID).
  void QueueInput(Bytes report) {
    std::lock_guard lock(m_mutex);
    QueueInputLocked(std::move(report));
  }
  void QueueInputLocked(Bytes report) {
    m_input.push_back(std::move(report));
    NotifyLocked();
  }
  void QueueInputAfter(milliseconds delay, Bytes report) {
    m_later.emplace_back([this, delay, report = std::move(report)] {
      std::this_thread::sleep_for(delay);
      QueueInput(report);
    });
  }

  // The device disappears: poll() reports a hang-up, reads fail with ENODEV.
  void HangUpAfter(milliseconds delay) {
    m_later.emplace_back([this, delay] {
      std::this_thread::sleep_for(delay);
      std::lock_guard lock(m_mutex);
      m_hungUp = true;
      NotifyLocked();
    });
  }

  std::vector<Bytes> Written() {
    std::lock_guard lock(m_mutex);
    return m_written;
  }
  std::size_t Queued() {
    std::lock_guard lock(m_mutex);
    return m_input.size();
  }

 private:
  static FuseHidraw& Self(fuse_req_t req) { return *static_cast<FuseHidraw*>(fuse_req_userdata(req)); }

  static struct stat Attributes(fuse_ino_t ino) {
    struct stat st {};
    st.st_ino = ino;
    st.st_nlink = 1;
    st.st_mode = ino == FUSE_ROOT_ID ? (S_IFDIR | 0755) : (S_IFREG | 0600);
    return st;
  }

  static void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    if (parent != FUSE_ROOT_ID || std::strcmp(name, "hidraw0") != 0) {
      fuse_reply_err(req, ENOENT);
      return;
    }
    fuse_entry_param entry{};
    entry.ino = kNodeInode;
    entry.attr = Attributes(kNodeInode);
    fuse_reply_entry(req, &entry);
  }

  static void GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    const struct stat st = Attributes(ino);
    fuse_reply_attr(req, &st, 0.0);
  }

  static void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    if (ino != kNodeInode) {
      fuse_reply_err(req, EISDIR);
      return;
    }
    // Like a character device: no page cache, no offsets, one transfer per call.
    fi->direct_io = 1;
    fi->nonseekable = 1;
    fuse_reply_open(req, fi);
  }

  static void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info*) {
    FuseHidraw& self = Self(req);
    std::lock_guard lock(self.m_mutex);
    if (self.m_input.empty()) {
      fuse_reply_err(req, self.m_hungUp ? ENODEV : EAGAIN);
      return;
    }
    const Bytes report = std::move(self.m_input.front());
    self.m_input.pop_front();
    fuse_reply_buf(req, reinterpret_cast<const char*>(report.data()), std::min(size, report.size()));
  }

  static void Write(fuse_req_t req, fuse_ino_t, const char* data, size_t size, off_t, fuse_file_info*) {
    FuseHidraw& self = Self(req);
    std::lock_guard lock(self.m_mutex);
    if (self.m_hungUp) {
      fuse_reply_err(req, ENODEV);
      return;
    }
    const Bytes report(data, data + size);
    self.m_written.push_back(report);
    if (self.m_responder) self.m_responder(self, report);
    fuse_reply_write(req, size);
  }

  static void Poll(fuse_req_t req, fuse_ino_t, fuse_file_info*, fuse_pollhandle* ph) {
    FuseHidraw& self = Self(req);
    std::lock_guard lock(self.m_mutex);
    if (ph != nullptr) {
      if (self.m_pollHandle != nullptr) fuse_pollhandle_destroy(self.m_pollHandle);
      self.m_pollHandle = ph;  // notified when input arrives or the device goes
    }
    unsigned revents = POLLOUT;
    if (!self.m_input.empty()) revents |= POLLIN;
    if (self.m_hungUp) revents |= POLLHUP | POLLERR;
    fuse_reply_poll(req, revents);
  }

  void NotifyLocked() {
    if (m_pollHandle == nullptr) return;
    fuse_lowlevel_notify_poll(m_pollHandle);
    fuse_pollhandle_destroy(m_pollHandle);
    m_pollHandle = nullptr;  // the kernel polls again and hands out a new one
  }

  std::string m_error;
  fuse_session* m_session = nullptr;
  fs::path m_mountPoint;
  std::thread m_loop;
  std::vector<std::thread> m_later;

  std::mutex m_mutex;
  std::deque<Bytes> m_input;
  std::vector<Bytes> m_written;
  Responder m_responder;
  fuse_pollhandle* m_pollHandle = nullptr;
  bool m_hungUp = false;
};

// The vendor interface's report descriptor: unnumbered 32-byte input and output.
const Bytes kVendor32 = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0x15, 0x00, 0x26, 0xFF,
                         0x00, 0x75, 0x08, 0x95, 0x20, 0x81, 0x02, 0x09, 0x03, 0x91, 0x02, 0xC0};

class HidrawOverFuse : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!g_cannotMount.empty()) GTEST_SKIP() << g_cannotMount;
    fs::create_directories(m_dir / "dev");
    const fs::path hidDevice = m_dir / "sys/hid-device";
    fs::create_directories(hidDevice);
    fs::create_directories(m_dir / "sys/class/hidraw/hidraw0");
    fs::create_directory_symlink(hidDevice, m_dir / "sys/class/hidraw/hidraw0/device");
    std::ofstream(hidDevice / "uevent")
        << "HID_ID=0003:00001209:00000121\nHID_NAME=Orvik Solvane\nHID_UNIQ=ORV-000042\n";
    test::WriteBytes(hidDevice / "report_descriptor", kVendor32);

    m_server = std::make_unique<FuseHidraw>(m_dir / "dev");
    if (!m_server->Error().empty()) {
      g_cannotMount = m_server->Error();
      m_server.reset();
      GTEST_SKIP() << g_cannotMount;
    }
  }

  void TearDown() override { m_server.reset(); }

  CHIDDevice OpenedDevice(milliseconds bound) {
    CHIDDevice device(bound, m_dir / "sys/class/hidraw", m_dir / "dev");
    EXPECT_TRUE(device.OpenDevice(kVendor, kProduct));
    return device;
  }

  test::TempDir m_temp;
  fs::path m_dir = m_temp.path();
  std::unique_ptr<FuseHidraw> m_server;
};

Bytes Command(std::uint8_t fill) {
  Bytes command(kReportSize, fill);
  command[0] = 0;
  return command;
}

TEST_F(HidrawOverFuse, OneReportEachWayWithReportIdZeroInFrontOfTheReply) {
  // The device answers each command with its 32 data bytes, incremented.
  m_server->SetResponder([](FuseHidraw& device, const Bytes& report) {
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
// the HID device's uevent names.
TEST_F(HidrawOverFuse, ListingShowsTheNodeUsableWithItsSerial) {
  CHIDDevice device(milliseconds(200), m_dir / "sys/class/hidraw", m_dir / "dev");
  const std::vector<HidInterfaceInfo> found = device.ListInterfaces(kVendor, kProduct);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].path, (m_dir / "dev/hidraw0").string());
  EXPECT_TRUE(found[0].usable) << found[0].problem;
  EXPECT_EQ(found[0].serial, "ORV-000042");
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

// A private mount namespace for this process: what it mounts is seen by no
// one else and goes away with it. Must run before any thread exists.
std::string EnterPrivateMountNamespace() {
  if (::unshare(CLONE_NEWNS) != 0) return std::string("cannot make a mount namespace: ") + std::strerror(errno);
  if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return std::string("cannot make mounts private: ") + std::strerror(errno);
  if (::access("/dev/fuse", R_OK | W_OK) != 0) return std::string("/dev/fuse: ") + std::strerror(errno);
  return {};
}

}  // namespace
}  // namespace orvik

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  orvik::g_cannotMount = orvik::EnterPrivateMountNamespace();
  if (!orvik::g_cannotMount.empty()) std::fprintf(stderr, "FUSE tests skipped: %s\n", orvik::g_cannotMount.c_str());
  const int result = RUN_ALL_TESTS();
  // Exit code 77 tells CTest the tests were skipped rather than passed.
  return result == 0 && !orvik::g_cannotMount.empty() ? 77 : result;
}
