// One HID report channel with bounded waits: the seam between the update and
// the device. Implemented by CHIDDevice (real hardware: hid_device_win32.cpp,
// hid_device_linux.cpp) and by the emulated device (emulator/).
//
// One exchange is WriteReport, WaitWriteDone, then ReadReport, WaitReadDone.
// A read is never started while a write is outstanding. Each wait is bounded by
// the wait bound given to the implementation's constructor (5,000 ms unless a
// test shortens it).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace orvik {

inline constexpr std::chrono::milliseconds kDefaultWaitBound{5000};

// Every report of the update protocol: report ID 0, then 32 bytes.
inline constexpr std::size_t kReportSize = 33;

class HidDevice {
 public:
  virtual ~HidDevice() = default;

  // Closes any device already open, then opens the first present HID interface
  // whose vendor and product IDs match (and, where the platform shows report
  // descriptors, which carries 33-byte input and output reports). True when
  // one was opened.
  virtual bool OpenDevice(std::uint32_t vendorId, std::uint32_t productId) = 0;

  // Starts writing one report. `report` must stay valid until WaitWriteDone
  // has returned.
  virtual void WriteReport(std::span<const std::uint8_t> report) = 0;

  // Waits for the write to complete, at most the wait bound. False when the
  // write did not complete in time, or failed (device gone); in both cases
  // the transfer is over when this returns: nothing is written later.
  virtual bool WaitWriteDone() = 0;

  // Starts reading one report into `buffer` (report ID first). `buffer` must
  // stay valid until WaitReadDone has returned.
  virtual void ReadReport(std::span<std::uint8_t> buffer) = 0;

  // Waits for the read to complete, at most the wait bound. False when no
  // report arrived in time, or the device failed; the buffer then holds what
  // arrived (nothing is written into it after this returns).
  virtual bool WaitReadDone() = 0;

  // Drops input reports that the device or the system has already queued, so
  // that a late reply from an abandoned run is not taken for a new one.
  virtual void DiscardQueuedInput() = 0;
};

// The platform's real device, not yet open.
std::unique_ptr<HidDevice> MakeSystemHidDevice(std::chrono::milliseconds waitBound = kDefaultWaitBound);

}  // namespace orvik
