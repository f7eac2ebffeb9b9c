// CHIDDevice on Windows: finds the HID interface through the SetupDi and HidD
// services and moves reports with overlapped ReadFile / WriteFile, each
// completed by a wait of at most the wait bound.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "hid/hid_device.h"

namespace orvik {

// Owns one kernel handle (a device or an event) and closes it once.
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE handle) : m_handle(handle) {}
  ~OwnedHandle() { Reset(); }
  OwnedHandle(OwnedHandle&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.m_handle, nullptr));
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;

  HANDLE Get() const { return m_handle; }
  // CreateFileW fails with INVALID_HANDLE_VALUE, CreateEventW with null.
  bool Valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE handle = nullptr) {
    if (Valid()) CloseHandle(m_handle);
    m_handle = handle;
  }

 private:
  HANDLE m_handle = nullptr;
};

// A USB string descriptor holds at most 126 UTF-16 units: the longest serial
// number a device can give.
inline constexpr std::size_t kMaxSerialUnits = 126;

// The serial number in a buffer HidD_GetSerialNumberString filled: the units
// before the first NUL, at most kMaxSerialUnits of them, as UTF-8 (an unpaired
// surrogate becomes U+FFFD).
std::string SerialFromBuffer(std::span<const wchar_t> buffer);

// The updater's interface: 33-byte input and output reports (report ID
// included), as HidP_GetCaps counts them. Another interface of the device (or
// another device with its IDs) is passed over, as the Linux search passes
// over a node without the updater's reports.
inline bool HasUpdaterReportLengths(std::uint32_t input, std::uint32_t output) {
  return input == kReportSize && output == kReportSize;
}

class CHIDDevice final : public SearchableHidDevice {
 public:
  explicit CHIDDevice(std::chrono::milliseconds waitBound = kDefaultWaitBound);
  // Adopts a handle opened with FILE_FLAG_OVERLAPPED as the open device, so
  // tests can drive the transfers through a named pipe.
  CHIDDevice(OwnedHandle device, std::chrono::milliseconds waitBound);
  // Cancels any transfer still outstanding, then closes the device.
  ~CHIDDevice() override;
  CHIDDevice(const CHIDDevice&) = delete;
  CHIDDevice& operator=(const CHIDDevice&) = delete;

  bool OpenDevice(std::uint32_t vendorId, std::uint32_t productId) override;
  void WriteReport(std::span<const std::uint8_t> report) override;
  bool WaitWriteDone() override;
  void ReadReport(std::span<std::uint8_t> buffer) override;
  bool WaitReadDone() override;
  // Drops the input reports Windows has queued for the device (HidD_FlushQueue).
  void DiscardQueuedInput() override;

  // Each present interface with the IDs (read through a handle without
  // access rights when it cannot be opened for reading and writing), with
  // the report lengths of its capabilities.
  std::vector<HidInterfaceInfo> ListInterfaces(std::uint32_t vendorId, std::uint32_t productId) override;
  // Paths compare without regard to case, as Windows names them.
  void RestrictToPath(std::string path) override;
  std::string OpenedPath() const override { return m_openedPath; }
  // Cancels any transfer still outstanding, then closes the device.
  void Close() override;

  bool IsOpen() const { return m_device.Valid(); }
  // Report lengths in bytes, report ID included, from the device's
  // capabilities; 0 while no device is open.
  std::uint32_t InputReportLength() const { return m_inputReportLength; }
  std::uint32_t OutputReportLength() const { return m_outputReportLength; }

 private:
  enum class TransferState {
    Idle,       // nothing started, or the last transfer was waited for
    Pending,    // started, completion not yet seen
    Completed,  // completed while being started
    Failed,     // could not be started; the wait reports failure at once
  };
  struct Transfer {
    OVERLAPPED overlapped{};
    OwnedHandle event;  // auto-reset; overlapped.hEvent names it while a transfer runs
    TransferState state = TransferState::Idle;
  };

  // Readies a transfer record for a new transfer; false when none can start.
  bool Prepare(Transfer& transfer, std::size_t size);
  // Records how ReadFile / WriteFile answered.
  static void Started(Transfer& transfer, BOOL result);
  bool Wait(Transfer& transfer);
  // Cancels a pending transfer and waits until Windows is done with its buffer.
  void Cancel(Transfer& transfer);

  OwnedHandle m_device;
  std::wstring m_onlyPath;  // RestrictToPath, upper-cased; empty: any interface
  std::string m_openedPath;
  std::uint32_t m_inputReportLength = 0;
  std::uint32_t m_outputReportLength = 0;
  Transfer m_write;
  Transfer m_read;
  DWORD m_waitBoundMs;
};

}  // namespace orvik
