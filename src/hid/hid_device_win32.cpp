#include "hid/hid_device_win32.h"

#include <aclapi.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "log/log.h"
#include "log/utf.h"

namespace orvik {
namespace {

// Device paths are NT paths: at most 32,767 wide characters. A detail size
// above this is not a real interface and is skipped.
constexpr DWORD kMaxDetailBytes =
    offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + 32767 * sizeof(WCHAR) + sizeof(WCHAR);

class DeviceInfoSet {
 public:
  explicit DeviceInfoSet(HDEVINFO set) : m_set(set) {}
  ~DeviceInfoSet() {
    if (Valid()) SetupDiDestroyDeviceInfoList(m_set);
  }
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
  bool Valid() const { return m_set != INVALID_HANDLE_VALUE; }
  HDEVINFO Get() const { return m_set; }

 private:
  HDEVINFO m_set;
};

class PreparsedData {
 public:
  explicit PreparsedData(const HidLibrary& hid) : m_hid(hid) {}
  ~PreparsedData() {
    if (m_data != nullptr) m_hid.HidD_FreePreparsedData(m_data);
  }
  PreparsedData(const PreparsedData&) = delete;
  PreparsedData& operator=(const PreparsedData&) = delete;
  PHIDP_PREPARSED_DATA* Out() { return &m_data; }
  PHIDP_PREPARSED_DATA Get() const { return m_data; }

 private:
  const HidLibrary& m_hid;
  PHIDP_PREPARSED_DATA m_data = nullptr;
};

DWORD ToWaitMs(std::chrono::milliseconds bound) {
  // INFINITE is 0xFFFFFFFF: stay one below, so a huge bound is still a bound.
  const auto count = std::clamp<std::chrono::milliseconds::rep>(bound.count(), 0, INFINITE - 1);
  return static_cast<DWORD>(count);
}

// Upper-cases the ASCII letters only, whatever the user's locale: interface
// paths are ASCII, and two updaters under different locales (a Turkish one
// maps 'i' elsewhere) must derive the same lock name.
std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return text;
}

std::string Narrow(const std::wstring& wide) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

std::wstring Widen(const std::string& utf8) {
  const std::u16string wide = Utf8ToUtf16(utf8);
  return std::wstring(reinterpret_cast<const wchar_t*>(wide.data()), wide.size());
}

// The system's text for an error code, without its line break.
std::string SystemErrorText(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length > 0 && buffer != nullptr ? std::wstring(buffer, length) : std::wstring();
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  if (text.empty()) return "error " + std::to_string(error);
  return Narrow(text);
}

// How reading one interface's path went.
enum class PathStep {
  Found,  // `path` holds it
  Skip,   // this interface's details could not be read: go on to the next
  End,    // the set has no interface at this index or after it
};

// The device path of interface `index` of `set`.
PathStep InterfacePath(const SetupDiCalls& calls, HDEVINFO set, const GUID& guid, DWORD index, std::wstring& path,
                       DEVINST& node) {
  // The size fields take the sizes of this build's structures: 64-bit
  // Windows rejects the 32-bit ones (28 and 6) for every device.
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
  if (!calls.enumInterfaces(set, nullptr, &guid, index, &interfaceData)) {
    return GetLastError() == ERROR_NO_MORE_ITEMS ? PathStep::End : PathStep::Skip;
  }
  DWORD required = 0;
  calls.interfaceDetail(set, &interfaceData, nullptr, 0, &required, nullptr);
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || required > kMaxDetailBytes) return PathStep::Skip;

  // Zeroed, one wide character longer than asked for, so the path is
  // terminated even if the service fills every byte it was given. At most
  // kMaxDetailBytes: an allocation that fails here fails for this interface.
  std::vector<DWORD> storage;
  try {
    storage.resize((required + sizeof(WCHAR) + sizeof(DWORD) - 1) / sizeof(DWORD));
  } catch (const std::bad_alloc&) {
    return PathStep::Skip;
  }
  auto* detail = new (storage.data()) SP_DEVICE_INTERFACE_DETAIL_DATA_W{};
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  // Fails when the interface went away since it was counted: only it is lost.
  SP_DEVINFO_DATA deviceData{};
  deviceData.cbSize = sizeof(SP_DEVINFO_DATA);
  if (!calls.interfaceDetail(set, &interfaceData, detail, required, nullptr, &deviceData)) return PathStep::Skip;
  path = detail->DevicePath;
  node = deviceData.DevInst;
  return PathStep::Found;
}

OwnedHandle OpenInterface(const std::wstring& path, DWORD access, DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
  return OwnedHandle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
}

// The interface opened for an update: for reading and writing, shared with
// nobody, so that only a program able to open the device can keep an updater
// off it, and none while this one has it. A listing's brief open can stand in
// the way for a moment: a few tries, kExclusiveOpenRetryMs apart.
constexpr int kExclusiveOpenTries = 5;
constexpr DWORD kExclusiveOpenRetryMs = 20;
OwnedHandle OpenInterfaceExclusively(const std::wstring& path, bool& shared) {
  for (int attempt = 0;; ++attempt) {
    OwnedHandle device = OpenInterface(path, GENERIC_READ | GENERIC_WRITE, 0);
    shared = !device.Valid() && GetLastError() == ERROR_SHARING_VIOLATION;
    if (!shared || attempt + 1 == kExclusiveOpenTries) return device;
    Sleep(kExclusiveOpenRetryMs);
  }
}

// The interface answers with these vendor and product IDs.
bool IdsMatch(const HidLibrary& hid, HANDLE device, std::uint32_t vendorId, std::uint32_t productId) {
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof(HIDD_ATTRIBUTES);
  if (!hid.HidD_GetAttributes(device, &attributes)) return false;
  return static_cast<std::uint32_t>(attributes.VendorID) == vendorId &&
         static_cast<std::uint32_t>(attributes.ProductID) == productId;
}

// The interface's USB serial number; empty when it has none or it cannot be
// read (a handle without access rights reads it too).
std::string ReadSerial(const HidLibrary& hid, HANDLE device) {
  // One unit more than the longest string, zeroed: the text ends in a NUL
  // even when the service fills the buffer it is told about.
  // The service is told of room for the longest string and its terminator.
  wchar_t buffer[kMaxSerialUnits + 2] = {};
  if (!hid.HidD_GetSerialNumberString(device, buffer, static_cast<ULONG>((kMaxSerialUnits + 1) * sizeof(wchar_t)))) {
    return {};
  }
  return SerialFromBuffer(buffer);
}

// Calls `visit` with the device path and device node of every present HID
// interface, in the system's order, until it returns true.
template <typename Visit>
void ForEachHidInterface(const HidLibrary& hid, Visit&& visit) {
  GUID hidGuid{};
  hid.HidD_GetHidGuid(&hidGuid);
  const DeviceInfoSet set(SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!set.Valid()) return;
  WalkInterfacePaths(SetupDiCalls{}, set.Get(), hidGuid, visit);
}

// Fills `entry` with `name` from `module`; a missing name is added to
// `missing`.
template <typename Function>
void TakeEntry(HMODULE module, const char* name, Function& entry, std::string& missing) {
  // GetProcAddress returns every function as FARPROC; the entry's type is
  // the one the system header declares for that name.
  entry = std::bit_cast<Function>(GetProcAddress(module, name));
  if (entry != nullptr) return;
  missing += missing.empty() ? " " : ", ";
  missing += name;
}

}  // namespace

void WalkInterfacePaths(const SetupDiCalls& calls, HDEVINFO set, const GUID& guid,
                        const std::function<bool(const std::wstring&, DEVINST)>& visit) {
  for (DWORD index = 0; index < kMaxInterfaceIndex; ++index) {
    std::wstring path;
    DEVINST node = 0;
    const PathStep step = InterfacePath(calls, set, guid, index, path, node);
    if (step == PathStep::End) return;
    if (step == PathStep::Found && visit(path, node)) return;
  }
}

HidLibrary LoadHidLibrary(const std::wstring& fileName) {
  HidLibrary hid;
  SystemLibrary loaded = LoadSystemLibrary(fileName);
  if (!loaded.module) {
    hid.problem = Narrow(fileName) + ": " + SystemErrorText(loaded.error);
    return hid;
  }
  const HMODULE module = loaded.module.get();
  std::string missing;
  TakeEntry(module, "HidD_GetHidGuid", hid.HidD_GetHidGuid, missing);
  TakeEntry(module, "HidD_GetAttributes", hid.HidD_GetAttributes, missing);
  TakeEntry(module, "HidD_GetPreparsedData", hid.HidD_GetPreparsedData, missing);
  TakeEntry(module, "HidD_FreePreparsedData", hid.HidD_FreePreparsedData, missing);
  TakeEntry(module, "HidP_GetCaps", hid.HidP_GetCaps, missing);
  TakeEntry(module, "HidD_FlushQueue", hid.HidD_FlushQueue, missing);
  TakeEntry(module, "HidD_GetSerialNumberString", hid.HidD_GetSerialNumberString, missing);
  if (!missing.empty()) {
    // An incomplete table is never called: clear it whole.
    hid = HidLibrary{};
    hid.problem = Narrow(fileName) + ": no" + missing;
    return hid;
  }
  hid.module = std::move(loaded.module);
  return hid;
}

const HidLibrary& SystemHidLibrary() {
  static const HidLibrary hid = LoadHidLibrary(L"hid.dll");
  return hid;
}

// ---- USB ports ---------------------------------------------------------------

namespace {

// DEVPKEY_Device_LocationPaths, written out: devpkey.h defines its keys only
// in the one file that includes initguid.h first.
const DEVPROPKEY kLocationPathsKey = {{0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}},
                                     37};

// The first of a node's location paths; empty when it has none.
std::wstring FirstLocationPath(const DevNodeLibrary& devNodes, DEVINST node) {
  DEVPROPTYPE type = 0;
  ULONG size = 0;
  if (devNodes.CM_Get_DevNode_PropertyW(node, &kLocationPathsKey, &type, nullptr, &size, 0) != CR_BUFFER_SMALL ||
      type != DEVPROP_TYPE_STRING_LIST || size == 0 || size > kMaxLocationPathsBytes) {
    return {};
  }
  // Zeroed and longer than asked for: the list ends in a NUL whatever is filled.
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
  if (devNodes.CM_Get_DevNode_PropertyW(node, &kLocationPathsKey, &type, reinterpret_cast<PBYTE>(buffer.data()),
                                        &size, 0) != CR_SUCCESS ||
      type != DEVPROP_TYPE_STRING_LIST) {
    return {};
  }
  return std::wstring(buffer.data());
}

template <typename Function>
void TakeIfMissing(HMODULE module, const char* name, Function& entry) {
  if (entry == nullptr && module != nullptr) entry = std::bit_cast<Function>(GetProcAddress(module, name));
}

DevNodeLibrary LoadDevNodeLibrary() {
  DevNodeLibrary devNodes;
  // Imported by the program, so already loaded from the system folder.
  const HMODULE setupapi = GetModuleHandleW(L"setupapi.dll");
  TakeIfMissing(setupapi, "CM_Get_Parent", devNodes.CM_Get_Parent);
  TakeIfMissing(setupapi, "CM_Get_DevNode_PropertyW", devNodes.CM_Get_DevNode_PropertyW);
  if (!devNodes.Usable()) {
    SystemLibrary cfgmgr = LoadSystemLibrary(L"cfgmgr32.dll");
    TakeIfMissing(cfgmgr.module.get(), "CM_Get_Parent", devNodes.CM_Get_Parent);
    TakeIfMissing(cfgmgr.module.get(), "CM_Get_DevNode_PropertyW", devNodes.CM_Get_DevNode_PropertyW);
    devNodes.module = std::move(cfgmgr.module);
  }
  if (!devNodes.Usable()) return DevNodeLibrary{};
  return devNodes;
}

}  // namespace

const DevNodeLibrary& SystemDevNodeLibrary() {
  static const DevNodeLibrary devNodes = LoadDevNodeLibrary();
  return devNodes;
}

std::string UsbPortOf(const DevNodeLibrary& devNodes, DEVINST hidNode) {
  if (!devNodes.Usable()) return {};
  DEVINST node = hidNode;
  // The USB device, or the interface of a composite one and then its device.
  for (int level = 0; level < 2; ++level) {
    DEVINST parent = 0;
    if (devNodes.CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return {};
    const std::wstring path = FirstLocationPath(devNodes, parent);
    const std::size_t hash = path.rfind(L'#');
    const std::wstring last = hash == std::wstring::npos ? path : path.substr(hash + 1);
    if (last.starts_with(L"USB(")) return Narrow(path);
    if (!last.starts_with(L"USBMI(")) return {};
    node = parent;
  }
  return {};
}

// ---- One updater per interface ----------------------------------------------

std::wstring InterfaceLockName(const std::wstring& path) {
  static constexpr wchar_t kPrefix[] = L"Global\\orvik-updater-device-";
  std::wstring name = Upper(path);
  std::replace(name.begin(), name.end(), L'\\', L'/');
  const std::size_t room = kMaxInterfaceLockName - (std::size(kPrefix) - 1);
  if (name.size() > room) {
    // FNV-1a over the whole path tells apart long paths that share their end.
    std::uint64_t hash = 14695981039346656037ull;
    for (const wchar_t c : name) {
      hash ^= static_cast<std::uint16_t>(c);
      hash *= 1099511628211ull;
    }
    std::wstring tagged(17, L'-');
    for (int digit = 15; digit >= 0; --digit, hash >>= 4) tagged[digit] = L"0123456789abcdef"[hash & 0xF];
    name = tagged + name.substr(name.size() - (room - tagged.size()));
  }
  return kPrefix + name;
}

namespace {

// The user this process runs as, as a SID in a buffer of its own.
std::vector<std::byte> ProcessUserSid() {
  std::vector<std::byte> sid;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return sid;
  const OwnedHandle owned(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<std::byte> buffer(size);
  if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return sid;
  const PSID user = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
  sid.resize(GetLengthSid(user));
  CopySid(static_cast<DWORD>(sid.size()), sid.data(), user);
  return sid;
}

// Whether the mutex was made by a process of this user: only such a mutex is
// an updater's lock that this updater must respect. Another user's mutex of
// that name (made first, perhaps to keep everyone off the device) says
// nothing; that user's updater, if it is one, holds the device open
// exclusively, which keeps this one off by itself.
bool MadeByThisUser(HANDLE mutex) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  std::vector<std::byte> user = ProcessUserSid();
  const bool same = owner != nullptr && !user.empty() && EqualSid(owner, user.data());
  LocalFree(descriptor);
  return same;
}

// A security descriptor that lets only this user open the mutex: owner and
// sole grantee. Empty when it cannot be built (the mutex then gets the
// default descriptor).
struct OwnOnlyDescriptor {
  std::vector<std::byte> sid = ProcessUserSid();
  std::vector<std::byte> acl;
  SECURITY_DESCRIPTOR descriptor{};
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  bool built = false;

  OwnOnlyDescriptor() {
    if (sid.empty()) return;
    acl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + sid.size());
    PACL list = reinterpret_cast<PACL>(acl.data());
    built = InitializeAcl(list, static_cast<DWORD>(acl.size()), ACL_REVISION) &&
            AddAccessAllowedAce(list, ACL_REVISION, MUTEX_ALL_ACCESS, sid.data()) &&
            InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
            SetSecurityDescriptorOwner(&descriptor, sid.data(), FALSE) &&
            SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE);
    if (built) attributes.lpSecurityDescriptor = &descriptor;
  }
  OwnOnlyDescriptor(const OwnOnlyDescriptor&) = delete;
  OwnOnlyDescriptor& operator=(const OwnOnlyDescriptor&) = delete;
  SECURITY_ATTRIBUTES* Get() { return built ? &attributes : nullptr; }
};

}  // namespace

InterfaceLock LockInterface(const std::wstring& path) {
  InterfaceLock lock;
  const std::wstring name = InterfaceLockName(path);
  OwnOnlyDescriptor own;
  // Not owned: the mutex's existence is the lock, so the handle may be closed
  // on any thread.
  lock.mutex.Reset(CreateMutexW(own.Get(), FALSE, name.c_str()));
  const DWORD error = GetLastError();
  if (lock.mutex.Valid() && error == ERROR_ALREADY_EXISTS) {
    lock.inUse = MadeByThisUser(lock.mutex.Get());
    lock.mutex.Reset();
  }
  // ERROR_ACCESS_DENIED: another user's mutex, which this user may not open;
  // as above it decides nothing.
  return lock;
}

bool InterfaceLockHeld(const std::wstring& path) {
  const std::wstring name = InterfaceLockName(path);
  const OwnedHandle existing(OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, name.c_str()));
  return existing.Valid() && MadeByThisUser(existing.Get());
}

std::string SerialFromBuffer(std::span<const wchar_t> buffer) {
  const std::span<const wchar_t> bounded = buffer.first(std::min(buffer.size(), kMaxSerialUnits));
  const auto end = std::find(bounded.begin(), bounded.end(), L'\0');
  return Narrow(std::wstring(bounded.begin(), end));
}

std::unique_ptr<CHIDDevice::Transfer> CHIDDevice::NewTransfer() {
  auto transfer = std::make_unique<Transfer>();
  // Unnamed, auto-reset, not signalled.
  transfer->event.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  return transfer;
}

CHIDDevice::CHIDDevice(std::chrono::milliseconds waitBound, const DevNodeLibrary& devNodes)
    : m_write(NewTransfer()), m_read(NewTransfer()), m_waitBoundMs(ToWaitMs(waitBound)), m_devNodes(&devNodes) {}

CHIDDevice::CHIDDevice(OwnedHandle device, std::chrono::milliseconds waitBound, TransferCalls calls)
    : CHIDDevice(waitBound) {
  m_device = std::move(device);
  m_calls = calls;
}

CHIDDevice::~CHIDDevice() { Close(); }

void CHIDDevice::Close() {
  Cancel(m_write);
  Cancel(m_read);
  m_device.Reset();
  m_lock.Reset();
  m_openedPath.clear();
  m_inputReportLength = 0;
  m_outputReportLength = 0;
}

bool CHIDDevice::OpenDevice(std::uint32_t vendorId, std::uint32_t productId) {
  Close();
  m_refusal = {};
  const HidLibrary& hid = SystemHidLibrary();
  if (!hid.Usable()) {
    // The dialog's "Can't find device" follows; this line says why.
    LogLine("HID services unavailable (" + hid.problem + ")");
    return false;
  }
  bool opened = false;
  ForEachHidInterface(hid, [&](const std::wstring& path, DEVINST) {
    if (!m_onlyPath.empty() && Upper(path) != m_onlyPath) return false;

    bool openElsewhere = false;
    OwnedHandle device = OpenInterfaceExclusively(path, openElsewhere);
    if (openElsewhere) {
      // Open in another process: only a matching interface is refused.
      const OwnedHandle query = OpenInterface(path, 0);
      if (!query.Valid() || !IdsMatch(hid, query.Get(), vendorId, productId)) return false;
    } else if (!device.Valid() || !IdsMatch(hid, device.Get(), vendorId, productId)) {
      return false;
    }

    InterfaceLock lock = openElsewhere ? InterfaceLock{OwnedHandle(), true} : LockInterface(path);
    if (lock.inUse) {
      LogLine("Can't open " + Narrow(path) + ": " + kInUseByAnotherUpdater);
      if (m_refusal.reason.empty()) m_refusal = {kInUseByAnotherUpdater, kInUseRemedy};
      return false;
    }

    PreparsedData preparsed(hid);
    if (!hid.HidD_GetPreparsedData(device.Get(), preparsed.Out())) return false;
    HIDP_CAPS caps{};
    if (hid.HidP_GetCaps(preparsed.Get(), &caps) != HIDP_STATUS_SUCCESS) return false;
    if (!HasUpdaterReportLengths(caps.InputReportByteLength, caps.OutputReportByteLength)) return false;

    // The first match wins; later interfaces are not looked at.
    m_inputReportLength = caps.InputReportByteLength;
    m_outputReportLength = caps.OutputReportByteLength;
    m_device = std::move(device);
    m_lock = std::move(lock.mutex);
    m_openedPath = Narrow(path);
    m_refusal = {};
    opened = true;
    return true;
  });
  return opened;
}

std::vector<HidInterfaceInfo> CHIDDevice::ListInterfaces(std::uint32_t vendorId, std::uint32_t productId) {
  std::vector<HidInterfaceInfo> found;
  const HidLibrary& hid = SystemHidLibrary();
  if (!hid.Usable()) return found;
  ForEachHidInterface(hid, [&](const std::wstring& path, DEVINST node) {
    // An interface held exclusively (a keyboard, a device another program
    // has open) still answers for its IDs through a handle without access.
    OwnedHandle device = OpenInterface(path, GENERIC_READ | GENERIC_WRITE);
    const DWORD openError = device.Valid() ? ERROR_SUCCESS : GetLastError();
    OwnedHandle query = device.Valid() ? OwnedHandle() : OpenInterface(path, 0);
    const HANDLE handle = device.Valid() ? device.Get() : query.Get();
    if (!device.Valid() && !query.Valid()) return false;
    if (!IdsMatch(hid, handle, vendorId, productId)) return false;

    HidInterfaceInfo info;
    info.path = Narrow(path);
    info.identity = info.path;
    info.serial = ReadSerial(hid, handle);
    info.port = UsbPortOf(*m_devNodes, node);
    PreparsedData preparsed(hid);
    HIDP_CAPS caps{};
    const bool capsRead = hid.HidD_GetPreparsedData(handle, preparsed.Out()) &&
                          hid.HidP_GetCaps(preparsed.Get(), &caps) == HIDP_STATUS_SUCCESS;
    if (capsRead) {
      info.inputReportLength = caps.InputReportByteLength;
      info.outputReportLength = caps.OutputReportByteLength;
    }
    // An interface this object has open carries its own lock.
    const bool ownLock = m_device.Valid() && Upper(path) == Upper(Widen(m_openedPath));
    if (!device.Valid() && openError == ERROR_SHARING_VIOLATION && !ownLock) {
      // Held exclusively: by an updater.
      info.problem = kInUseByAnotherUpdater;
    } else if (!device.Valid() && openError != ERROR_SHARING_VIOLATION) {
      info.problem = SystemErrorText(openError);
    } else if (!capsRead) {
      info.problem = "capabilities unreadable";
    } else if (!HasUpdaterReportLengths(info.inputReportLength, info.outputReportLength)) {
      info.problem = "not the updater's interface (no 33-byte input and output reports)";
    } else if (!ownLock && InterfaceLockHeld(path)) {
      info.problem = kInUseByAnotherUpdater;
    } else {
      info.usable = true;
    }
    found.push_back(std::move(info));
    return false;
  });
  return found;
}

void CHIDDevice::RestrictToPath(std::string path) { m_onlyPath = Upper(Widen(path)); }

bool CHIDDevice::Prepare(std::unique_ptr<Transfer>& transfer, std::size_t size) {
  // A transfer left without its wait is cancelled before its record is reused.
  Cancel(transfer);
  if (!m_device.Valid() || !transfer->event.Valid() || size > MAXDWORD) {
    transfer->state = TransferState::Failed;
    return false;
  }
  ResetEvent(transfer->event.Get());
  transfer->overlapped = OVERLAPPED{};
  transfer->overlapped.hEvent = transfer->event.Get();
  transfer->readTarget = {};
  try {
    transfer->data.assign(size, 0);
  } catch (const std::bad_alloc&) {
    transfer->state = TransferState::Failed;
    return false;
  }
  return true;
}

void CHIDDevice::Started(Transfer& transfer, BOOL result) {
  if (result) {
    transfer.state = TransferState::Completed;
  } else if (GetLastError() == ERROR_IO_PENDING) {
    transfer.state = TransferState::Pending;
  } else {
    // Nothing will signal the event: the wait reports the failure at once
    // rather than running into the bound.
    transfer.state = TransferState::Failed;
  }
}

void CHIDDevice::WriteReport(std::span<const std::uint8_t> report) {
  if (!Prepare(m_write, report.size())) return;
  Transfer& write = *m_write;
  std::copy(report.begin(), report.end(), write.data.begin());
  Started(write, WriteFile(m_device.Get(), write.data.data(), static_cast<DWORD>(write.data.size()), nullptr,
                           &write.overlapped));
}

void CHIDDevice::ReadReport(std::span<std::uint8_t> buffer) {
  if (!Prepare(m_read, buffer.size())) return;
  Transfer& read = *m_read;
  // Read into the record's own buffer: the caller's is filled only once the
  // read is over, never by a read given up on.
  read.readTarget = buffer;
  Started(read, ReadFile(m_device.Get(), read.data.data(), static_cast<DWORD>(read.data.size()), nullptr,
                         &read.overlapped));
}

bool CHIDDevice::WaitWriteDone() { return Wait(m_write); }

bool CHIDDevice::WaitReadDone() { return Wait(m_read); }

bool CHIDDevice::Wait(std::unique_ptr<Transfer>& record) {
  Transfer& transfer = *record;
  // The bytes a completed read gives the caller.
  const auto deliver = [&transfer](DWORD transferred) {
    const std::size_t count = std::min<std::size_t>({transferred, transfer.data.size(), transfer.readTarget.size()});
    std::copy_n(transfer.data.begin(), count, transfer.readTarget.begin());
    transfer.readTarget = {};
  };
  switch (transfer.state) {
    case TransferState::Idle:
    case TransferState::Failed:
      transfer.state = TransferState::Idle;
      return false;
    case TransferState::Completed: {
      DWORD transferred = 0;
      m_calls.overlappedResult(m_device.Get(), &transfer.overlapped, &transferred, FALSE);
      // Completed at once: the count is in the OVERLAPPED all the same.
      deliver(transferred);
      transfer.state = TransferState::Idle;
      return true;
    }
    case TransferState::Pending:
      break;
  }

  const DWORD waited = m_calls.waitForObject(transfer.overlapped.hEvent, m_waitBoundMs);
  if (waited != WAIT_OBJECT_0) {
    // Timed out, or the wait itself failed (a closed event, an abandoned
    // wait): the transfer is not known to be over, so it failed. Left pending,
    // a late reply would land in the next read and the next write would fail:
    // it is cancelled and ended here, within kCancelBound.
    Cancel(record);
    return false;
  }
  // Signalled: the transfer is over. A transfer that ended in an error (the
  // device was unplugged) is a failure.
  DWORD transferred = 0;
  const BOOL completed = m_calls.overlappedResult(m_device.Get(), &transfer.overlapped, &transferred, FALSE);
  transfer.state = TransferState::Idle;
  if (completed) deliver(transferred);
  transfer.readTarget = {};
  return completed != FALSE;
}

void CHIDDevice::Cancel(std::unique_ptr<Transfer>& record) {
  Transfer& transfer = *record;
  transfer.readTarget = {};
  if (transfer.state != TransferState::Pending) {
    transfer.state = TransferState::Idle;
    return;
  }
  const DWORD bound = std::min(m_waitBoundMs, ToWaitMs(kCancelBound));
  m_calls.cancelIo(m_device.Get(), &transfer.overlapped);
  if (m_calls.waitForObject(transfer.overlapped.hEvent, bound) == WAIT_OBJECT_0) {
    // Over, cancelled or completed after all: collect its outcome.
    DWORD transferred = 0;
    m_calls.overlappedResult(m_device.Get(), &transfer.overlapped, &transferred, FALSE);
    transfer.state = TransferState::Idle;
    return;
  }
  // The driver does not let the transfer go. The system may still write into
  // its OVERLAPPED and buffer: the record is kept for the rest of the process
  // (one per transfer that would not end; the device is closed after the
  // first, so at most two per device handle), and the device is closed so
  // that every later transfer fails at once.
  LogLine("HID transfer did not end after its cancel; the device is closed");
  static std::mutex abandonedLock;
  static std::vector<std::unique_ptr<Transfer>> abandoned;
  {
    const std::lock_guard lock(abandonedLock);
    abandoned.push_back(std::move(record));
  }
  record = NewTransfer();
  m_device.Reset();
}

void CHIDDevice::DiscardQueuedInput() {
  const HidLibrary& hid = SystemHidLibrary();
  if (m_device.Valid() && hid.Usable()) hid.HidD_FlushQueue(m_device.Get());
}

std::unique_ptr<SearchableHidDevice> CHIDDevice::NewHandle() const {
  return std::make_unique<CHIDDevice>(std::chrono::milliseconds(m_waitBoundMs), *m_devNodes);
}

std::unique_ptr<SearchableHidDevice> MakeSystemHidDevice(std::chrono::milliseconds waitBound) {
  return std::make_unique<CHIDDevice>(waitBound);
}

}  // namespace orvik
