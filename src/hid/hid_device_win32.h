// CHIDDevice on Windows: finds the HID interface through the SetupDi and HidD
// services and moves reports with overlapped ReadFile / WriteFile, each
// completed by a wait of at most the wait bound.
//
// hid.dll is not one of Windows' known DLLs, so the program does not import
// it: it is loaded at run time from the system folder only, and its
// functions are called through one table (HidLibrary).
#pragma once

#include <windows.h>
// windows.h first: setupapi.h depends on its types.
#include <setupapi.h>

#include <cfgmgr32.h>

#include <chrono>
#include <functional>
#include <memory>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "hid/hid_device.h"
#include "hid/system_library_win32.h"

// mingw-w64's hidsdi.h (and the hidpi.h it includes) declare the HID
// functions without an extern "C" guard. Only their types are used here.
extern "C" {
#include <hidsdi.h>
}

namespace orvik {

// The HID services the transport calls, taken from one hid.dll. Each entry
// has the type of the function it names.
struct HidLibrary {
  decltype(&::HidD_GetHidGuid) HidD_GetHidGuid = nullptr;
  decltype(&::HidD_GetAttributes) HidD_GetAttributes = nullptr;
  decltype(&::HidD_GetPreparsedData) HidD_GetPreparsedData = nullptr;
  decltype(&::HidD_FreePreparsedData) HidD_FreePreparsedData = nullptr;
  decltype(&::HidP_GetCaps) HidP_GetCaps = nullptr;
  decltype(&::HidD_FlushQueue) HidD_FlushQueue = nullptr;
  decltype(&::HidD_GetSerialNumberString) HidD_GetSerialNumberString = nullptr;

  // Empty when every entry is filled; otherwise why the table is not usable
  // ("hid.dll: The specified module could not be found.", "hid.dll: no
  // HidD_FlushQueue"), and no entry may be called.
  std::string problem;
  bool Usable() const { return problem.empty(); }

  UniqueModule module;  // keeps the entries valid
};

// Loads `fileName` from the system folder (never from the program's folder)
// and fills the table from it.
HidLibrary LoadHidLibrary(const std::wstring& fileName);

// The system's hid.dll, loaded on first use and kept for the life of the
// process. When it is not usable, the device search finds nothing.
const HidLibrary& SystemHidLibrary();

// The configuration manager's calls that find an interface's USB port. Both
// are in setupapi.dll, which the program imports, on current Windows; where a
// Windows version lacks them there, they are taken from cfgmgr32.dll in the
// system folder. Tests fill the table with their own functions.
struct DevNodeLibrary {
  decltype(&::CM_Get_Parent) CM_Get_Parent = nullptr;
  decltype(&::CM_Get_DevNode_PropertyW) CM_Get_DevNode_PropertyW = nullptr;
  // Both filled, or neither (then no interface has a port).
  bool Usable() const { return CM_Get_Parent != nullptr && CM_Get_DevNode_PropertyW != nullptr; }
  UniqueModule module;  // cfgmgr32.dll, when the calls came from it
};

// The system's calls, looked up on first use and kept for the process's life.
const DevNodeLibrary& SystemDevNodeLibrary();

// A location path is far shorter than this; a longer property is not read.
inline constexpr ULONG kMaxLocationPathsBytes = 4096;

// The USB port of the HID interface whose device node is `hidNode`: the first
// of DEVPKEY_Device_LocationPaths of the USB device it belongs to, as Windows
// writes it ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)"). A HID
// collection's parent node is that USB device (its path ends in USB(N)), or
// for a composite device the device's interface (USBMI(N)), whose parent is
// the device. Empty when the node is not on USB (Bluetooth, a virtual
// device), or the property is missing or unreadable.
std::string UsbPortOf(const DevNodeLibrary& devNodes, DEVINST hidNode);

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

// ---- One updater per interface ----------------------------------------------
// An updater opens the interface it updates shared with nobody: a second
// open fails with a sharing violation, whoever tries, and only a program
// that can open the device at all can keep an updater off it that way.
// Beside that it holds a named mutex derived from the interface's path, in
// the Global\ namespace, that only its own user may open: it keeps a second
// updater of the same user off where sharing is not enforced. A mutex of that
// name made by another user (who could make it first, to keep everyone off
// the device) decides nothing. The mutex exists as long as one handle to it
// is open, and Windows closes that handle when the process ends.

// Mutex names are at most MAX_PATH characters; one is kept for the terminator.
inline constexpr std::size_t kMaxInterfaceLockName = MAX_PATH - 1;

// "Global\orvik-updater-device-" and the path, its ASCII letters upper-cased
// whatever the locale (Windows compares interface paths without regard to case) with every backslash as a '/'
// (a name may hold no backslash after its namespace). A path too long for
// the bound keeps its end, after a hash of the whole path.
std::wstring InterfaceLockName(const std::wstring& path);

// The outcome of taking an interface's lock.
struct InterfaceLock {
  OwnedHandle mutex;   // held while valid
  bool inUse = false;  // another updater of this user holds it
};

// Takes the lock on the interface at `path`. Neither held nor in use when the
// system would not make the mutex for another reason: the interface is then
// used without the lock rather than left unusable.
InterfaceLock LockInterface(const std::wstring& path);

// True when an updater of this user (this process included) holds the
// interface's lock; takes nothing.
bool InterfaceLockHeld(const std::wstring& path);

// A USB string descriptor holds at most 126 UTF-16 units: the longest serial
// number a device can give.
inline constexpr std::size_t kMaxSerialUnits = 126;

// The serial number in a buffer HidD_GetSerialNumberString filled: the units
// before the first NUL, at most kMaxSerialUnits of them, as UTF-8 (an unpaired
// surrogate becomes U+FFFD).
std::string SerialFromBuffer(std::span<const wchar_t> buffer);

// ---- The walk over the present HID interfaces -------------------------------

// The two SetupDi calls the walk makes, so that tests can give their own.
struct SetupDiCalls {
  decltype(&::SetupDiEnumDeviceInterfaces) enumInterfaces = ::SetupDiEnumDeviceInterfaces;
  decltype(&::SetupDiGetDeviceInterfaceDetailW) interfaceDetail = ::SetupDiGetDeviceInterfaceDetailW;
};

// Calls `visit` with the device path of each interface of `set` (of class
// `guid`), in the system's order, until it returns true or the set has no
// more interfaces (ERROR_NO_MORE_ITEMS; or kMaxInterfaceIndex indexes). An
// interface whose details cannot be read (unplugged meanwhile, a path longer
// than an NT path) is skipped and the walk goes on: at a station units come
// and go during a search, and one leaving must not hide those after it.
inline constexpr DWORD kMaxInterfaceIndex = 65536;
void WalkInterfacePaths(const SetupDiCalls& calls, HDEVINFO set, const GUID& guid,
                        const std::function<bool(const std::wstring&, DEVINST)>& visit);

// The calls a transfer's wait makes, so that tests can give their own (a
// driver that never completes a cancelled transfer, a wait that fails).
struct TransferCalls {
  decltype(&::WaitForSingleObject) waitForObject = ::WaitForSingleObject;
  decltype(&::CancelIoEx) cancelIo = ::CancelIoEx;
  decltype(&::GetOverlappedResult) overlappedResult = ::GetOverlappedResult;
};

// After CancelIoEx, the longest wait for the transfer to end (the wait bound,
// if shorter). A transfer still not over then is left to the system with
// buffers of its own, and the device handle is closed: every later transfer
// fails at once instead of the worker hanging on a driver that ignores the
// cancel.
inline constexpr std::chrono::milliseconds kCancelBound{1000};

// The updater's interface: 33-byte input and output reports (report ID
// included), as HidP_GetCaps counts them. Another interface of the device (or
// another device with its IDs) is passed over, as the Linux search passes
// over a node without the updater's reports.
inline bool HasUpdaterReportLengths(std::uint32_t input, std::uint32_t output) {
  return input == kReportSize && output == kReportSize;
}

class CHIDDevice final : public SearchableHidDevice {
 public:
  // `devNodes` finds each interface's port (tests give their own table).
  explicit CHIDDevice(std::chrono::milliseconds waitBound = kDefaultWaitBound,
                      const DevNodeLibrary& devNodes = SystemDevNodeLibrary());
  // Adopts a handle opened with FILE_FLAG_OVERLAPPED as the open device, so
  // tests can drive the transfers through a named pipe (and, with `calls`,
  // stand in for the system's waits).
  CHIDDevice(OwnedHandle device, std::chrono::milliseconds waitBound, TransferCalls calls = {});
  // Cancels any transfer still outstanding, then closes the device.
  ~CHIDDevice() override;
  CHIDDevice(const CHIDDevice&) = delete;
  CHIDDevice& operator=(const CHIDDevice&) = delete;

  // Opens the first matching interface whose lock it can take; one another
  // updater holds is passed over.
  bool OpenDevice(std::uint32_t vendorId, std::uint32_t productId) override;
  OpenRefusal LastOpenRefusal() const override { return m_refusal; }
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
  // A closed device with the same wait bound, its own transfer events, and
  // the same hid.dll table; not restricted to a path.
  std::unique_ptr<SearchableHidDevice> NewHandle() const override;

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
  // The system writes into `overlapped` and reads or writes `data` until the
  // transfer is over; both belong to the record, which lives on the heap, so
  // a transfer that will not end can be left with them (see kCancelBound).
  struct Transfer {
    OVERLAPPED overlapped{};
    OwnedHandle event;  // auto-reset; overlapped.hEvent names it while a transfer runs
    TransferState state = TransferState::Idle;
    std::vector<std::uint8_t> data;      // the report written, or the one being read
    std::span<std::uint8_t> readTarget;  // a read: the caller's buffer, filled when it completes
  };
  static std::unique_ptr<Transfer> NewTransfer();

  // Readies a transfer record for a new transfer; false when none can start.
  bool Prepare(std::unique_ptr<Transfer>& transfer, std::size_t size);
  // Records how ReadFile / WriteFile answered.
  static void Started(Transfer& transfer, BOOL result);
  bool Wait(std::unique_ptr<Transfer>& transfer);
  // Cancels a pending transfer and waits, at most kCancelBound, until Windows
  // is done with its buffers. A transfer that does not end is left behind
  // with its record (replaced by a new one) and the device is closed.
  void Cancel(std::unique_ptr<Transfer>& transfer);

  OwnedHandle m_device;
  OwnedHandle m_lock;     // the open interface's lock; released after the device is closed
  OpenRefusal m_refusal;  // of the last OpenDevice
  std::wstring m_onlyPath;  // RestrictToPath, upper-cased; empty: any interface
  std::string m_openedPath;
  std::uint32_t m_inputReportLength = 0;
  std::uint32_t m_outputReportLength = 0;
  std::unique_ptr<Transfer> m_write;
  std::unique_ptr<Transfer> m_read;
  DWORD m_waitBoundMs;
  TransferCalls m_calls;
  const DevNodeLibrary* m_devNodes;
};

}  // namespace orvik
