// CHIDDevice on Linux: the device's hidraw node.
//
// The search walks /sys/class/hidraw/hidrawN in numeric order and reads, for
// each node, the HID device's IDs and serial number (HID_ID and HID_UNIQ in
// device/uevent), report descriptor (device/report_descriptor) and USB port
// (the kernel name of the USB device above it, "1-1.4.2") without opening
// anything. The first node whose IDs
// match and whose descriptor declares unnumbered 32-byte input and output
// reports is opened from /dev; a composite device's keyboard or mouse nodes,
// which carry the same IDs, are passed over.
//
// hidraw transfers are not overlapped: a "started" transfer is tried at once
// on the non-blocking node and, when the node is not ready, finished by the
// wait, which poll()s for at most the wait bound. When a wait returns, the
// transfer is over: nothing is read into or written from the caller's buffer
// afterwards.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "hid/hid_device.h"

namespace orvik {

// An owned file descriptor, closed when the owner goes away.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : m_fd(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return m_fd; }
  bool IsValid() const { return m_fd >= 0; }
  int Release();
  void Reset(int fd = -1);

 private:
  int m_fd = -1;
};

// Why a hidraw node could not be opened, from open()'s errno: the system's
// text, and for EACCES or EPERM the udev rule that grants access.
//   "Permission denied (install the udev rule 70-orvik-updater.rules)"
std::string OpenFailureText(int error);

inline constexpr char kUdevRuleName[] = "70-orvik-updater.rules";

// The same failure for the user: the system's text, and for EACCES or EPERM
// the udev rule as the remedy.
OpenRefusal OpenRefusalFor(int error);

class CHIDDevice final : public SearchableHidDevice {
 public:
  // Not open. The roots are parameters so that tests can serve a fake tree.
  explicit CHIDDevice(std::chrono::milliseconds waitBound = kDefaultWaitBound,
                      std::filesystem::path sysfsRoot = "/sys/class/hidraw",
                      std::filesystem::path devRoot = "/dev");

  // Already open on `fd` (taken over; for tests, one end of a
  // socketpair(AF_UNIX, SOCK_SEQPACKET), which keeps report boundaries as
  // hidraw does). Both report lengths are recorded as kReportSize. The fd is
  // made non-blocking; the searching roots are the system's.
  explicit CHIDDevice(UniqueFd fd, std::chrono::milliseconds waitBound = kDefaultWaitBound);

  // Opens and locks (flock) the node; a node another updater has locked is
  // passed over, as one that does not open is.
  bool OpenDevice(std::uint32_t vendorId, std::uint32_t productId) override;
  OpenRefusal LastOpenRefusal() const override { return m_refusal; }
  void WriteReport(std::span<const std::uint8_t> report) override;
  bool WaitWriteDone() override;
  void ReadReport(std::span<std::uint8_t> buffer) override;
  bool WaitReadDone() override;

  // Reads and drops queued input reports until none is left, without waiting.
  // A device that keeps sending stops the draining after kMaxDiscardedReports.
  void DiscardQueuedInput() override;

  // Each node under the sysfs root with the IDs: its /dev path, report
  // lengths from its descriptor, and whether it carries the updater's
  // reports and opens (it is opened and closed again to find out) and is
  // not locked by another updater.
  std::vector<HidInterfaceInfo> ListInterfaces(std::uint32_t vendorId, std::uint32_t productId) override;
  void RestrictToPath(std::string path) override;
  std::string OpenedPath() const override { return m_devicePath.string(); }
  void Close() override;
  // A closed device with the same sysfs and /dev roots and wait bound; not
  // restricted to a path.
  std::unique_ptr<SearchableHidDevice> NewHandle() const override;

  // Bounds DiscardQueuedInput for a device that never stops sending; hidraw
  // itself queues at most 64 reports.
  static constexpr int kMaxDiscardedReports = 1024;

  bool IsOpen() const { return m_fd.IsValid(); }
  // The /dev node opened by OpenDevice; empty when closed or adopted.
  const std::filesystem::path& DevicePath() const { return m_devicePath; }
  // Report lengths in bytes including the report-ID byte (33 for the updater's
  // device); 0 when closed.
  std::uint32_t InputReportLength() const { return m_inputReportLength; }
  std::uint32_t OutputReportLength() const { return m_outputReportLength; }

 private:
  enum class Transfer { Idle, Pending, Done, Failed };

  void TryWrite();
  void TryRead();
  // Polls for `events` until `state` leaves Pending or the wait bound runs
  // out, calling `tryTransfer` whenever the node is ready. True when Done;
  // leaves `state` Idle.
  template <typename TryTransfer>
  bool WaitFor(Transfer& state, short events, TryTransfer tryTransfer);

  std::chrono::milliseconds m_waitBound;
  std::filesystem::path m_sysfsRoot;
  std::filesystem::path m_devRoot;
  std::filesystem::path m_onlyPath;  // RestrictToPath; empty: any node
  OpenRefusal m_refusal;             // of the last OpenDevice

  UniqueFd m_fd;
  std::filesystem::path m_devicePath;
  std::uint32_t m_inputReportLength = 0;
  std::uint32_t m_outputReportLength = 0;

  std::span<const std::uint8_t> m_writeData;
  Transfer m_writeState = Transfer::Idle;
  std::span<std::uint8_t> m_readBuffer;
  Transfer m_readState = Transfer::Idle;
};

}  // namespace orvik
