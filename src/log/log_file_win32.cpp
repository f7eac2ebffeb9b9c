// LogFile on Win32: a file handle opened for writing, shared for reading and
// writing so that a user can watch the log while the program runs.
#include "log/log_file.h"

#include <windows.h>

#include <algorithm>
#include <limits>

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
    LARGE_INTEGER zero{};
    if (SetFilePointerEx(m_file, zero, nullptr, FILE_BEGIN)) SetEndOfFile(m_file);
  }

  void SeekToEnd() override {
    LARGE_INTEGER zero{};
    SetFilePointerEx(m_file, zero, nullptr, FILE_END);
  }

  void Write(const void* data, std::size_t size) override {
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

  void Flush() override { FlushFileBuffers(m_file); }

 private:
  HANDLE m_file;  // valid for the object's life
};

}  // namespace

std::unique_ptr<LogFile> LogFile::OpenAlways(const std::filesystem::path& path) {
  // A directory at that path cannot be opened without FILE_FLAG_BACKUP_SEMANTICS,
  // so it fails here like a missing folder does.
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32LogFile>(file);
}

LocalTime LocalTimeNow() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

}  // namespace orvik
