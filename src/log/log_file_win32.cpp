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
// limit needs write access: it goes through a second handle opened for that
// moment only.
#include "log/log_file.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <limits>

namespace orvik {
namespace {

class Win32LogFile final : public LogFile {
 public:
  Win32LogFile(HANDLE file, std::filesystem::path path) : m_file(file), m_path(std::move(path)) {}
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
    const HANDLE writer = CreateFileW(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
  std::filesystem::path m_path;
};

}  // namespace

std::unique_ptr<LogFile> LogFile::OpenAlways(const std::filesystem::path& path) {
  // A directory at that path cannot be opened without FILE_FLAG_BACKUP_SEMANTICS,
  // so it fails here like a missing folder does.
  // FILE_READ_ATTRIBUTES for the size; SYNCHRONIZE for synchronous writes;
  // FILE_READ_DATA because a byte-range lock needs read or write access.
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32LogFile>(file, path);
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
