// A fake hidraw node served by FUSE, so that every transfer goes through the
// kernel's open(), poll(), read() and write() as it does with a real node:
// O_NONBLOCK reads that fail with EAGAIN, poll() woken by a poll notification,
// one write() arriving as one request (direct_io), flock() on the opened node.
//
// A test program moves itself into a private mount namespace
// (EnterPrivateMountNamespace, before any thread exists), so its mounts vanish
// with it even if it crashes; where that or the mount is not allowed, the
// tests skip.
#pragma once

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace orvik::test {

using Bytes = std::vector<std::uint8_t>;

// The vendor interface's report descriptor: unnumbered 32-byte input and output.
extern const Bytes kFuseVendor32;

// A private mount namespace for this process: what it mounts is seen by no
// one else and goes away with it. Must run before any thread exists. Returns
// why that is impossible here; empty when it worked.
std::string EnterPrivateMountNamespace();

// The device end: one file, "hidraw0", that takes reports written to it and
// hands out queued input reports one per read.
class FuseHidraw {
 public:
  // Called for each report written, under the lock; may queue input.
  using Responder = std::function<void(FuseHidraw&, const Bytes&)>;

  explicit FuseHidraw(const std::filesystem::path& mountPoint);
  ~FuseHidraw();
  FuseHidraw(const FuseHidraw&) = delete;
  FuseHidraw& operator=(const FuseHidraw&) = delete;

  const std::string& Error() const { return m_error; }

  void SetResponder(Responder responder);
  // Every open() of the node fails with `error` (0: opens succeed), as when
  // the node's permissions shut the user out; root included.
  void SetOpenError(int error);
  // While held, queued input stays back (reads and poll() see none); released,
  // it is handed out in order.
  void HoldInput(bool hold);

  // Queues one input report (as hidraw returns it: no report ID).
  void QueueInput(Bytes report);
  void QueueInputLocked(Bytes report);
  void QueueInputAfter(std::chrono::milliseconds delay, Bytes report);

  // The device disappears: poll() reports a hang-up, reads fail with ENODEV.
  void HangUpAfter(std::chrono::milliseconds delay);

  std::vector<Bytes> Written();
  std::size_t Queued();
  // How many open() calls reached the node, refused ones included.
  int Opens();

 private:
  static FuseHidraw& Self(fuse_req_t req) { return *static_cast<FuseHidraw*>(fuse_req_userdata(req)); }
  static void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name);
  static void GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*);
  static void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
  static void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info*);
  static void Write(fuse_req_t req, fuse_ino_t, const char* data, size_t size, off_t, fuse_file_info*);
  static void Poll(fuse_req_t req, fuse_ino_t, fuse_file_info*, fuse_pollhandle* ph);
  void NotifyLocked();

  std::string m_error;
  fuse_session* m_session = nullptr;
  std::filesystem::path m_mountPoint;
  std::thread m_loop;
  std::vector<std::thread> m_later;

  std::mutex m_mutex;
  std::deque<Bytes> m_input;
  std::deque<Bytes> m_heldInput;
  bool m_holding = false;
  std::vector<Bytes> m_written;
  Responder m_responder;
  fuse_pollhandle* m_pollHandle = nullptr;
  bool m_hungUp = false;
  int m_openError = 0;
  int m_opens = 0;
};

// A fake sysfs tree with one hidraw node of the updater's device (sys/), and
// its /dev node served by FUSE (dev/hidraw0). The HID device sits below the
// USB device of `port` and every hub above it, as the kernel lays them out
// (each USB folder with its uevent and subsystem link); an empty port puts
// it under no USB device:
//
//   sys/devices/usb1/1-1/1-1.4/1-1.4.2/1-1.4.2:1.0/hid-device/{uevent,report_descriptor}
//   sys/class/hidraw/hidraw0/device -> .../hid-device
class FuseHidrawTree {
 public:
  FuseHidrawTree(std::uint32_t vendorId, std::uint32_t productId, const std::string& port = "1-1.4.2");
  // Why the node could not be served; empty when it is.
  const std::string& Error() const { return m_error; }
  std::filesystem::path SysfsRoot() const { return m_temp.path() / "sys/class/hidraw"; }
  std::filesystem::path DevRoot() const { return m_temp.path() / "dev"; }
  std::filesystem::path Node() const { return DevRoot() / "hidraw0"; }
  FuseHidraw& Server() { return *m_server; }

 private:
  TempDir m_temp;
  std::unique_ptr<FuseHidraw> m_server;
  std::string m_error;
};

}  // namespace orvik::test
