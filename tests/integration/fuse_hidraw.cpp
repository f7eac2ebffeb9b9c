#include "integration/fuse_hidraw.h"

#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>

namespace orvik::test {

namespace fs = std::filesystem;

namespace {
constexpr fuse_ino_t kNodeInode = 2;
}  // namespace

const Bytes kFuseVendor32 = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0x15, 0x00, 0x26, 0xFF,
                             0x00, 0x75, 0x08, 0x95, 0x20, 0x81, 0x02, 0x09, 0x03, 0x91, 0x02, 0xC0};

std::string EnterPrivateMountNamespace() {
  if (::unshare(CLONE_NEWNS) != 0) return std::string("cannot make a mount namespace: ") + std::strerror(errno);
  if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return std::string("cannot make mounts private: ") + std::strerror(errno);
  if (::access("/dev/fuse", R_OK | W_OK) != 0) return std::string("/dev/fuse: ") + std::strerror(errno);
  return {};
}

// ---- FuseHidraw ---------------------------------------------------------------

FuseHidraw::FuseHidraw(const fs::path& mountPoint) {
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

FuseHidraw::~FuseHidraw() {
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

void FuseHidraw::SetResponder(Responder responder) {
  std::lock_guard lock(m_mutex);
  m_responder = std::move(responder);
}

void FuseHidraw::SetOpenError(int error) {
  std::lock_guard lock(m_mutex);
  m_openError = error;
}

void FuseHidraw::HoldInput(bool hold) {
  std::lock_guard lock(m_mutex);
  m_holding = hold;
  if (hold) return;
  while (!m_heldInput.empty()) {
    m_input.push_back(std::move(m_heldInput.front()));
    m_heldInput.pop_front();
  }
  NotifyLocked();
}

void FuseHidraw::QueueInput(Bytes report) {
  std::lock_guard lock(m_mutex);
  QueueInputLocked(std::move(report));
}

void FuseHidraw::QueueInputLocked(Bytes report) {
  if (m_holding) {
    m_heldInput.push_back(std::move(report));
    return;
  }
  m_input.push_back(std::move(report));
  NotifyLocked();
}

void FuseHidraw::QueueInputAfter(std::chrono::milliseconds delay, Bytes report) {
  m_later.emplace_back([this, delay, report = std::move(report)] {
    std::this_thread::sleep_for(delay);
    QueueInput(report);
  });
}

void FuseHidraw::HangUpAfter(std::chrono::milliseconds delay) {
  m_later.emplace_back([this, delay] {
    std::this_thread::sleep_for(delay);
    std::lock_guard lock(m_mutex);
    m_hungUp = true;
    NotifyLocked();
  });
}

std::vector<Bytes> FuseHidraw::Written() {
  std::lock_guard lock(m_mutex);
  return m_written;
}

std::size_t FuseHidraw::Queued() {
  std::lock_guard lock(m_mutex);
  return m_input.size();
}

int FuseHidraw::Opens() {
  std::lock_guard lock(m_mutex);
  return m_opens;
}

namespace {
struct stat Attributes(fuse_ino_t ino) {
  struct stat st {};
  st.st_ino = ino;
  st.st_nlink = 1;
  st.st_mode = ino == FUSE_ROOT_ID ? (S_IFDIR | 0755) : (S_IFREG | 0600);
  return st;
}
}  // namespace

void FuseHidraw::Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  if (parent != FUSE_ROOT_ID || std::strcmp(name, "hidraw0") != 0) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  fuse_entry_param entry{};
  entry.ino = kNodeInode;
  entry.attr = Attributes(kNodeInode);
  fuse_reply_entry(req, &entry);
}

void FuseHidraw::GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  const struct stat st = Attributes(ino);
  fuse_reply_attr(req, &st, 0.0);
}

void FuseHidraw::Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if (ino != kNodeInode) {
    fuse_reply_err(req, EISDIR);
    return;
  }
  FuseHidraw& self = Self(req);
  int error = 0;
  {
    std::lock_guard lock(self.m_mutex);
    ++self.m_opens;
    error = self.m_openError;
  }
  if (error != 0) {
    fuse_reply_err(req, error);
    return;
  }
  // Like a character device: no page cache, no offsets, one transfer per call.
  fi->direct_io = 1;
  fi->nonseekable = 1;
  fuse_reply_open(req, fi);
}

void FuseHidraw::Read(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info*) {
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

void FuseHidraw::Write(fuse_req_t req, fuse_ino_t, const char* data, size_t size, off_t, fuse_file_info*) {
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

void FuseHidraw::Poll(fuse_req_t req, fuse_ino_t, fuse_file_info*, fuse_pollhandle* ph) {
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

void FuseHidraw::NotifyLocked() {
  if (m_pollHandle == nullptr) return;
  fuse_lowlevel_notify_poll(m_pollHandle);
  fuse_pollhandle_destroy(m_pollHandle);
  m_pollHandle = nullptr;  // the kernel polls again and hands out a new one
}

// ---- FuseHidrawTree -------------------------------------------------------------

FuseHidrawTree::FuseHidrawTree(std::uint32_t vendorId, std::uint32_t productId, const std::string& port) {
  fs::create_directories(DevRoot());
  // usb1, then one folder per link of the chain: 1-1, 1-1.4, 1-1.4.2.
  fs::path parent = m_temp.path() / "sys/devices";
  std::vector<std::pair<fs::path, const char*>> usbFolders;
  if (!port.empty()) {
    parent /= "usb" + port.substr(0, port.find('-'));
    usbFolders.emplace_back(parent, "usb_device");
    for (std::size_t at = port.find('-'); at != std::string::npos; at = port.find('.', at + 1)) {
      parent /= port.substr(0, port.find('.', at + 1));
      usbFolders.emplace_back(parent, "usb_device");
    }
    parent /= port + ":1.0";
    usbFolders.emplace_back(parent, "usb_interface");
  }
  const fs::path hidDevice = parent / "hid-device";
  fs::create_directories(hidDevice);
  fs::create_directories(m_temp.path() / "sys/bus/usb");
  for (const auto& [folder, type] : usbFolders) {
    std::ofstream(folder / "uevent") << "DEVTYPE=" << type << "\nDRIVER=usb\n";
    fs::create_directory_symlink(m_temp.path() / "sys/bus/usb", folder / "subsystem");
  }
  fs::create_directories(SysfsRoot() / "hidraw0");
  fs::create_directory_symlink(hidDevice, SysfsRoot() / "hidraw0/device");
  char uevent[64];
  std::snprintf(uevent, sizeof uevent, "HID_ID=0003:%08X:%08X\n", vendorId, productId);
  // The unit's serial number as usbhid gives it (the listing reads it).
  std::ofstream(hidDevice / "uevent") << uevent << "HID_NAME=Orvik Solvane\nHID_UNIQ=ORV-000042\n";
  WriteBytes(hidDevice / "report_descriptor", kFuseVendor32);

  m_server = std::make_unique<FuseHidraw>(DevRoot());
  if (!m_server->Error().empty()) {
    m_error = m_server->Error();
    m_server.reset();
  }
}

}  // namespace orvik::test
