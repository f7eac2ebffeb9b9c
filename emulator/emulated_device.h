// A model of the device's firmware behind the HidDevice seam, for the tests,
// the benchmark and the front ends' "-Emulate" switch.
//
// Flash, one 24-bit address space:
//   0x00000-0x01FFF  MCU boot loader: filled with BootLoaderByte() at
//                    construction, never erased or written
//   0x02000-0x0FFFF  MCU application: OldFirmwareByte() until erased;
//                    MCUErase fills it with 0xFF
//   0x10000-0x11FFF  USB controller: OldFirmwareByte() until erased;
//                    USBErase fills it with 0xFF
// A block write programs its 16 data bytes at the address in bytes 5-7 like NOR
// flash: programming only clears bits (new = old & data), so a block written
// without an erase first shows up as wrong data. A block must lie wholly
// inside its controller's writable range (MCU 0x2000-0xFFFF, USB
// 0x10000-0x11FFF); it need not be aligned.
//
// Replies: bytes 0-4 = 00 55 49 <target> <reply operation>; a write's reply
// echoes bytes 5-25 of the command; every other byte is zero. A command the
// device does not know (report ID not 0, bytes 1-2 not 55 4F, unknown target
// or operation, operation C0 for the USB controller) and a block outside its
// controller's range are refused with 00 55 49 <byte 3 as received> FF: no
// command expects the operation FF, so the updater rejects such a reply
// (CompareFail). A refused command changes no flash. A report that is not 33
// bytes long is not taken at all: its write fails at once.
//
// Transfers: WriteReport takes the command, acts on it and queues the reply;
// WaitWriteDone then reports the write complete. ReadReport / WaitReadDone
// deliver the oldest queued reply into the caller's buffer (report ID first).
// Replies not read stay queued (at most kReplyQueueCapacity; when the queue is
// full a new reply is dropped, as the kernel's report buffer does) until read
// or dropped by DiscardQueuedInput. A wait with nothing to deliver ends after
// the wait bound, or at once when the device is unplugged.
//
// Transfers fail at once until OpenDevice has succeeded, and after the device
// is unplugged. All members may be called from any thread.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "emulator/fault.h"
#include "emulator/frame_pacer.h"
#include "hid/hid_device.h"
#include "image/image.h"
#include "update/protocol.h"

namespace orvik {

inline constexpr std::uint32_t kBootLoaderFirst = 0x0000;
inline constexpr std::uint32_t kBootLoaderEnd = 0x2000;  // first address after it
inline constexpr std::uint32_t kMcuFlashFirst = 0x0000;
inline constexpr std::uint32_t kMcuFlashEnd = 0x10000;
inline constexpr std::uint32_t kMcuWritableFirst = kBootLoaderEnd;
inline constexpr std::uint32_t kUsbFlashFirst = 0x10000;
inline constexpr std::uint32_t kUsbFlashEnd = 0x12000;
inline constexpr std::size_t kMcuFlashSize = kMcuFlashEnd - kMcuFlashFirst;
inline constexpr std::size_t kUsbFlashSize = kUsbFlashEnd - kUsbFlashFirst;

// The reply operation with which the device refuses a command.
inline constexpr std::uint8_t kRefusedOperation = 0xFF;

// Replies held for reading at most (like the kernel's per-reader buffer).
inline constexpr std::size_t kReplyQueueCapacity = 16;

// How long each transfer takes. The default is no time at all.
struct TransferLatency {
  // Added to every write and every read, from the call that starts it.
  std::chrono::microseconds perTransfer{0};
  // A full-speed interrupt endpoint moves one report per 1 ms frame: when set,
  // each transfer completes at the first 1 ms frame boundary after its start
  // plus `perTransfer`.
  bool usbFrames = false;
  // Where the device's frames start within each millisecond of the steady
  // clock (0 to 999 us): devices on ports of their own each keep their own
  // frame clock, so their frames need not begin together.
  std::chrono::microseconds framePhase{0};
};

class EmulatedDevice final : public HidDevice {
 public:
  explicit EmulatedDevice(std::chrono::milliseconds waitBound = kDefaultWaitBound);

  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  // The flash contents at construction, by device address.
  static std::uint8_t BootLoaderByte(std::uint32_t address);   // "BOOT" repeated, never 0xFF
  static std::uint8_t OldFirmwareByte(std::uint32_t address);  // the firmware found on the device

  // HidDevice. OpenDevice is true when the IDs are the device's identity
  // (DeviceVendorId, DeviceProductId unless SetIdentity changed them) and
  // the device is present.
  bool OpenDevice(std::uint32_t vendorId, std::uint32_t productId) override;
  void WriteReport(std::span<const std::uint8_t> report) override;
  bool WaitWriteDone() override;
  void ReadReport(std::span<std::uint8_t> buffer) override;
  bool WaitReadDone() override;
  // Drops the queued replies and starts a new run: the fault counts restart.
  void DiscardQueuedInput() override;

  // --- Configuration ---------------------------------------------------------
  void SetIdentity(std::uint16_t vendorId, std::uint16_t productId);
  void SetLatency(const TransferLatency& latency);
  // Sets or clears the fault and restarts the counts.
  void SetFault(std::optional<Fault> fault);
  // Applies "-Emulate:FAULT": absent or present, and the fault.
  void ApplySetting(const FaultSetting& setting);
  // Absent: OpenDevice fails. Present again after an unplug: OpenDevice
  // works again (the device keeps its flash).
  void SetPresent(bool present);
  // Pulls the plug now: open transfers and waits fail at once.
  void Unplug();
  // Closes the handle, as opening another device does: transfers fail until
  // OpenDevice; the device stays present.
  void Close();

  // --- Test hooks ------------------------------------------------------------
  // Queues `reply` as if the device had sent it and nobody had read it.
  void QueueStaleReply(const ReportPacket& reply);

  // --- Observation (copies, taken under the lock) -----------------------------
  // Every report written while the device was open and present, in order,
  // including one whose write a nowrite fault held back (the device did not
  // act on that one) and refused ones. Not recorded: reports of another size
  // than 33 bytes, and the one at which an unplug fault pulled the plug.
  std::vector<ReportPacket> Record() const;
  std::size_t RecordSize() const;
  void ClearRecord();
  std::vector<std::uint8_t> McuFlash() const;  // addresses 0x0000-0xFFFF
  std::vector<std::uint8_t> UsbFlash() const;  // addresses 0x10000-0x11FFF
  std::size_t QueuedReplies() const;
  bool IsOpen() const;
  // False while absent and after an unplug.
  bool IsPresent() const;

 private:
  enum class WriteState { Idle, Done, Stuck, Failed };

  using Clock = std::chrono::steady_clock;

  // Acts on one command and returns its reply (under the lock).
  ReportPacket Execute(const ReportPacket& command);
  void PushReply(const ReportPacket& reply);
  std::optional<FaultKind> TakeFault(UpdateCommand command);
  // When a transfer started at `start` completes under the latency model.
  std::optional<Clock::time_point> CompletionTime(Clock::time_point start) const;
  void ResetCounts();

  const std::chrono::milliseconds m_waitBound;

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;  // signalled on unplug

  std::uint16_t m_vendorId = DeviceVendorId;
  std::uint16_t m_productId = DeviceProductId;
  bool m_present = true;
  bool m_open = false;
  TransferLatency m_latency;
  bool m_latencyOn = false;
  // Waits for due times; made when a latency is first set, kept after.
  std::unique_ptr<FramePacer> m_pacer;

  std::optional<Fault> m_fault;
  std::array<std::uint32_t, kUpdateCommandCount> m_counts{};

  std::array<std::uint8_t, kUsbFlashEnd> m_flash{};

  std::array<ReportPacket, kReplyQueueCapacity> m_replies{};
  std::size_t m_replyHead = 0;  // oldest reply
  std::size_t m_replyCount = 0;

  WriteState m_write = WriteState::Idle;
  std::optional<Clock::time_point> m_writeDue;
  std::span<std::uint8_t> m_readBuffer;
  bool m_readPending = false;
  std::optional<Clock::time_point> m_readDue;

  std::vector<ReportPacket> m_record;
};

// An emulated device set up as "-Emulate:FAULT" asks.
std::unique_ptr<EmulatedDevice> MakeEmulatedDevice(const FaultSetting& setting,
                                                   std::chrono::milliseconds waitBound = kDefaultWaitBound);

}  // namespace orvik
