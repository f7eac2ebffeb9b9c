// LogFile on Win32: a file handle opened for appending, shared for reading
// and writing so that a user can watch the log while the program runs.
//
// The handle has FILE_APPEND_DATA and not FILE_WRITE_DATA: the system puts
// every write at the file's end. Two programs (the updater run in two
// sessions from one folder) writing at once must never write over each
// other's lines, as a seek to the end followed by a write could; Windows
// makes such an append one step, but Wine finds the end and writes in two.
// So each write also holds an exclusive lock on one byte far past any size
// the log reaches: appenders take turns on every system, and readers, who
// read below that byte, are never held up. Emptying the file at the size
// limit needs write access: it goes through a second handle to the same
// file (ReOpenFile), opened for that moment only, never through the path.
//
// A log folder (LogFolder) is a directory handle; its files are opened
// relative to it with NtCreateFile, the call beneath CreateFileW that takes
// a folder handle as the root of the name.
#include <windows.h>
// windows.h first: these depend on its types.
#include <aclapi.h>
#include <winternl.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <string>

#include "log/log_file.h"
#include "log/log_folder.h"
#include "log/system_error.h"
#include "log/utf.h"

namespace orvik {
namespace {

class Win32LogFile final : public LogFile {
 public:
  explicit Win32LogFile(HANDLE file) : m_file(file) {}
  ~Win32LogFile() override { CloseHandle(m_file); }
  Win32LogFile(const Win32LogFile&) = delete;
  Win32LogFile& operator=(const Win32LogFile&) = delete;

  std::uint64_t Size() override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(m_file, &size)) return 0;
    return static_cast<std::uint64_t>(size.QuadPart);
  }

  void Truncate() override {
    // A new handle's file position is 0: its end of file set there empties
    // the file; the appending handle's next write then starts it again.
    const HANDLE writer = ReOpenFile(m_file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (writer == INVALID_HANDLE_VALUE) return;
    SetEndOfFile(writer);
    CloseHandle(writer);
  }

  // Every write goes to the end by itself.
  void SeekToEnd() override {}

  void Write(const void* data, std::size_t size) override {
    // Without the lock (a file system that has none) the write still goes
    // to the end, as one step where the system makes it one.
    OVERLAPPED turn{};
    turn.OffsetHigh = kTurnOffsetHigh;
    const bool locked = LockFileEx(m_file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn) != 0;
    AppendAll(data, size);
    if (locked) UnlockFileEx(m_file, 0, 1, 0, &turn);
  }

  void Flush() override { FlushFileBuffers(m_file); }

 private:
  // The turn lock's byte: at 2^62, beyond any log the size bound lets grow.
  static constexpr DWORD kTurnOffsetHigh = 0x40000000;

  void AppendAll(const void* data, std::size_t size) {
    // WriteFile takes a 32-bit count: larger writes go in pieces.
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, std::numeric_limits<DWORD>::max()));
      DWORD written = 0;
      if (!WriteFile(m_file, bytes, chunk, &written, nullptr) || written == 0) return;
      bytes += written;
      size -= written;
    }
  }

  HANDLE m_file;  // valid for the object's life; appends only
};

// The access a log's handle has: FILE_READ_ATTRIBUTES for the size;
// SYNCHRONIZE for synchronous writes; FILE_READ_DATA because a byte-range
// lock needs read or write access.
constexpr ACCESS_MASK kLogAccess = FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;


struct HandleCloser {
  void operator()(HANDLE handle) const {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// Opens `name` (one name) in `folder`, as CreateFileW would open it there
// (case-insensitive, synchronous). The Win32 error code when it cannot.
DWORD OpenIn(HANDLE folder, const std::u16string& name, ACCESS_MASK access, ULONG attributes, ULONG share,
             ULONG disposition, ULONG options, UniqueHandle& opened) {
  if (name.empty() || name.size() > 255) return ERROR_INVALID_NAME;
  std::wstring text(name.begin(), name.end());
  UNICODE_STRING unicodeName{static_cast<USHORT>(text.size() * sizeof(wchar_t)),
                             static_cast<USHORT>(text.size() * sizeof(wchar_t)), text.data()};
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &unicodeName, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK status{};
  HANDLE handle = nullptr;
  const NTSTATUS result = NtCreateFile(&handle, access, &object, &status, nullptr, attributes, share, disposition,
                                       options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (result < 0) return RtlNtStatusToDosError(result);
  opened.reset(handle);
  return ERROR_SUCCESS;
}

// The owner of the object behind `handle` is this process's user or the
// Administrators group (whose members own what they make elevated).
bool OwnedByUserOrAdministrators(HANDLE handle) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const std::unique_ptr<void, decltype(&LocalFree)> freeDescriptor(descriptor, &LocalFree);
  if (owner == nullptr) return false;
  HANDLE rawToken = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return false;
  const UniqueHandle token(rawToken);
  alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
  DWORD size = 0;
  if (GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size) &&
      EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid)) {
    return true;
  }
  alignas(SID) unsigned char administrators[SECURITY_MAX_SID_SIZE] = {};
  DWORD administratorsSize = sizeof administrators;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &administratorsSize) &&
         EqualSid(owner, administrators);
}

// Whether the volume of `handle` keeps owners and access lists (NTFS, ReFS;
// not FAT on a memory stick, where every user may write everything).
bool KeepsOwners(HANDLE handle) {
  DWORD flags = 0;
  if (!GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) return true;
  return (flags & FILE_PERSISTENT_ACLS) != 0;
}

class Win32LogFolder final : public LogFolder {
 public:
  explicit Win32LogFolder(UniqueHandle folder) : m_folder(std::move(folder)) {}

  std::unique_ptr<LogFile> OpenLog(std::string_view name, std::string& error) override {
    if (name.find_first_of("\\/:") != std::string_view::npos || name == "." || name == "..") {
      error = "not a file name";
      return nullptr;
    }
    UniqueHandle file;
    // FILE_OPEN_REPARSE_POINT: a link planted under the name is opened as
    // itself and refused below, never followed.
    const DWORD code = OpenIn(m_folder.get(), Utf8ToUtf16(name), kLogAccess, FILE_ATTRIBUTE_NORMAL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                              FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, file);
    if (code != ERROR_SUCCESS) {
      error = SystemErrorText(code);
      return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.nNumberOfLinks != 1) {
      error = "not a regular file";
      return nullptr;
    }
    return std::make_unique<Win32LogFile>(file.release());
  }

 private:
  UniqueHandle m_folder;  // a directory, held without FILE_SHARE_DELETE
};

}  // namespace

std::unique_ptr<LogFolder> LogFolder::Open(const std::filesystem::path& folder, std::string& problem) {
  // FILE_FLAG_BACKUP_SEMANTICS opens a directory; FILE_FLAG_OPEN_REPARSE_POINT
  // opens a link or junction as itself, so that it is seen and refused.
  // Without FILE_SHARE_DELETE nobody can rename or remove the folder while
  // it is held.
  UniqueHandle handle(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | READ_CONTROL |
                                                       FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (handle.get() == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_INVALID_NAME) {
      problem = "does not exist";
    } else if (code == ERROR_ACCESS_DENIED) {
      problem = "is not writable";
    } else {
      problem = SystemErrorText(code);
    }
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle.get(), &info)) {
    problem = SystemErrorText(GetLastError());
    return nullptr;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    problem = "is a symbolic link";
    return nullptr;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    problem = "is not a folder";
    return nullptr;
  }
  if (KeepsOwners(handle.get()) && !OwnedByUserOrAdministrators(handle.get())) {
    problem = "is not your own";
    return nullptr;
  }
  // What matters is whether this user can create a file there: the folder's
  // access list says so, not its read-only attribute (which Windows sets on
  // customised folders such as Documents without stopping writes). So a
  // file is created through the held handle, and is gone once closed.
  const std::u16string probe = u".orvik-write-check-" + Utf8ToUtf16(std::to_string(GetCurrentProcessId())) + u"-" +
                               Utf8ToUtf16(std::to_string(GetTickCount64()));
  UniqueHandle probed;
  if (OpenIn(handle.get(), probe, DELETE | FILE_WRITE_DATA | SYNCHRONIZE,
             FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, 0, FILE_CREATE,
             FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, probed) != ERROR_SUCCESS) {
    problem = "is not writable";
    return nullptr;
  }
  return std::make_unique<Win32LogFolder>(std::move(handle));
}

std::unique_ptr<LogFile> LogFile::OpenAlways(const std::filesystem::path& path) {
  // A directory at that path cannot be opened without FILE_FLAG_BACKUP_SEMANTICS,
  // so it fails here like a missing folder does.
  HANDLE file = CreateFileW(path.c_str(), kLogAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32LogFile>(file);
}

bool BreakDownTime(std::time_t when, bool local, std::tm& out) {
  return (local ? localtime_s(&out, &when) : gmtime_s(&out, &when)) == 0;
}

LocalTime LocalTimeNow() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

}  // namespace orvik
