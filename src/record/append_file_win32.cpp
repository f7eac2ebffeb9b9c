// AppendFile on Win32: a handle opened with FILE_APPEND_DATA (and no
// FILE_WRITE_DATA), so that every write lands at the file's end, shared for
// reading and appending so that a user or another program can watch the
// record.
//
// Windows makes each such write one step; Wine (and a network share) finds
// the end and writes in two, so two stations appending at once could write
// over each other's lines. Each append therefore holds the turn lock the
// log holds (an exclusive lock on one byte at 2^62, past any record's size,
// so readers are never held up), bounded: a lock held longer than that (a
// stuck process on another machine) is passed over and the line appended
// without it, as on a file system that has no locks.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>

#include "record/append_file.h"
#include "log/system_error.h"
#include "log/utf.h"

namespace orvik::record {
namespace {

class Win32AppendFile final : public AppendFile {
 public:
  explicit Win32AppendFile(HANDLE file) : m_file(file) {}
  ~Win32AppendFile() override { CloseHandle(m_file); }
  Win32AppendFile(const Win32AppendFile&) = delete;
  Win32AppendFile& operator=(const Win32AppendFile&) = delete;

  bool Append(std::string_view bytes, std::string& error) override {
    OVERLAPPED turn{};
    turn.OffsetHigh = kTurnOffsetHigh;
    const bool locked = TakeTurn(turn);
    const bool appended = AppendAll(bytes, error);
    if (locked) UnlockFileEx(m_file, 0, 1, 0, &turn);
    return appended;
  }

 private:
  // The turn lock's byte: at 2^62, as the log's.
  static constexpr DWORD kTurnOffsetHigh = 0x40000000;
  // How long an append waits for its turn, and how often it asks.
  static constexpr std::chrono::milliseconds kTurnBound{5000};
  static constexpr DWORD kTurnPollMs = 2;

  bool TakeTurn(OVERLAPPED& turn) {
    const auto deadline = std::chrono::steady_clock::now() + kTurnBound;
    for (;;) {
      if (LockFileEx(m_file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &turn)) return true;
      // Anything but another's turn (a file system without locks): no turn.
      if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING) return false;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      Sleep(kTurnPollMs);
    }
  }

  bool AppendAll(std::string_view bytes, std::string& error) {
    while (!bytes.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), std::numeric_limits<DWORD>::max()));
      DWORD written = 0;
      if (!WriteFile(m_file, bytes.data(), chunk, &written, nullptr)) {
        error = SystemErrorText(GetLastError());
        return false;
      }
      if (written == 0) {
        error = "nothing was written";
        return false;
      }
      bytes.remove_prefix(written);
    }
    if (!FlushFileBuffers(m_file)) {
      error = SystemErrorText(GetLastError());
      return false;
    }
    return true;
  }

  HANDLE m_file;  // valid for the object's life
};

}  // namespace

std::unique_ptr<AppendFile> AppendFile::Open(const std::filesystem::path& path, std::string& error) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: the handle cannot write
  // anywhere but at the end. FILE_READ_DATA: a byte-range lock needs read
  // or write access. A directory fails to open here (it would need
  // FILE_FLAG_BACKUP_SEMANTICS).
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = SystemErrorText(GetLastError());
    return nullptr;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    error = "not a regular file";
    return nullptr;
  }
  return std::make_unique<Win32AppendFile>(file);
}

std::optional<std::string> ReadRegularFile(const std::filesystem::path& path, std::string& error) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return std::string();
    error = SystemErrorText(code);
    return std::nullopt;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    error = "not a regular file";
    return std::nullopt;
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      error = SystemErrorText(GetLastError());
      CloseHandle(file);
      return std::nullopt;
    }
    if (got == 0) break;
    text.append(buffer, got);
  }
  CloseHandle(file);
  return text;
}

std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size)) return {};
  return Utf16ToUtf8(std::u16string(name, name + size));
}

}  // namespace orvik::record
