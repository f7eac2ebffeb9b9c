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
#include <string>
#include <vector>

namespace orvik {

inline constexpr std::chrono::milliseconds kDefaultWaitBound{5000};

// Every report of the update protocol: report ID 0, then 32 bytes.
inline constexpr std::size_t kReportSize = 33;

// Why a present interface could not be opened, in the program's words.
struct OpenRefusal {
  // "Permission denied", "in use by another updater"; empty: no refusal.
  std::string reason;
  // What lets the updater open it, as a sentence; may be empty.
  std::string remedy;
};

// Every interface is locked while an updater has it open, so that a second
// updater (another user, another session) never writes to it at the same
// time: the second sees it as not usable, for this reason.
inline constexpr char kInUseByAnotherUpdater[] = "in use by another updater";
inline constexpr char kInUseRemedy[] =
    "Let the other updater finish its update and close it, then run this updater again.";

class HidDevice {
 public:
  virtual ~HidDevice() = default;

  // Closes any device already open, then opens the first present HID interface
  // whose vendor and product IDs match and which carries the updater's 33-byte
  // input and output reports. True when one was opened.
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

  // Why the last OpenDevice opened nothing although an interface with the IDs
  // and the updater's reports was present: the first such interface's reason
  // and what the user can do about it. Empty reason when OpenDevice opened
  // one, or found none to try. Devices that cannot be refused (the emulated
  // ones) keep this default.
  virtual OpenRefusal LastOpenRefusal() const { return {}; }
};

// One present HID interface with the IDs asked for, as a search sees it.
struct HidInterfaceInfo {
  // What OpenDevice would open: /dev/hidrawN, the Windows interface path, or
  // an emulated device's name.
  std::string path;
  // Tells one attachment from the next when a path is reused (Linux: the
  // sysfs device folder, whose name carries a sequence number); otherwise
  // the path.
  std::string identity;
  // The unit's USB serial number; empty when it has none. Device input, not
  // to be trusted: any bytes, not necessarily UTF-8 or printable.
  std::string serial;
  // The physical USB port the unit is plugged into: the kernel's name of the
  // USB device ("1-1.4.2": bus 1, root port 1, hub ports 4 and 2) on Linux,
  // its location paths on Windows ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)"),
  // "emu-1", ... for emulated units. Empty when unknown (no USB ancestor).
  // Comes from the system, but shown with the same escaping as a serial.
  std::string port;
  // Longest input and output report in bytes, report-ID byte included, as
  // Windows counts them; 0 when unknown or when there is none.
  std::uint32_t inputReportLength = 0;
  std::uint32_t outputReportLength = 0;
  // OpenDevice would take this interface: its reports are the updater's and
  // it can be opened for reading and writing.
  bool usable = false;
  // Why not, when not usable: "Permission denied (install the udev rule
  // 70-orvik-updater.rules)", "in use by another updater", "no 32-byte
  // input and output reports", ...
  std::string problem;
};

// A HidDevice whose search can be shown and narrowed: the real devices and
// the emulated ones. For the command line's listing and its choice of one
// interface among several.
class SearchableHidDevice : public HidDevice {
 public:
  // Every present HID interface whose vendor and product IDs match, in the
  // order OpenDevice looks at them; opens nothing for longer than the call
  // and writes no log line.
  virtual std::vector<HidInterfaceInfo> ListInterfaces(std::uint32_t vendorId, std::uint32_t productId) = 0;

  // Holds OpenDevice to the interface at `path`: any other is passed over.
  // Empty (the default): the first usable match, as always.
  virtual void RestrictToPath(std::string path) = 0;

  // The path of the interface OpenDevice opened; empty while closed.
  virtual std::string OpenedPath() const = 0;

  // Closes the interface OpenDevice opened, if any: transfers fail until the
  // next OpenDevice. A unit that is gone is let go of at once, so that the
  // system can give its node to the next unit.
  virtual void Close() = 0;

  // A second, closed handle on the same devices (same search, same wait
  // bound), for a station that runs several units at once: each unit's
  // worker restricts its own handle to the unit's path and opens it. Null
  // when this device cannot give one.
  virtual std::unique_ptr<SearchableHidDevice> NewHandle() const { return nullptr; }
};

// The platform's real device, not yet open.
std::unique_ptr<SearchableHidDevice> MakeSystemHidDevice(std::chrono::milliseconds waitBound = kDefaultWaitBound);

}  // namespace orvik
