// The record's lock, reads at offsets and private folders on Windows.
#include <windows.h>

#include "log/system_error.h"
#include "log/utf.h"
#include "record/record_os.h"

namespace orvik::record {
namespace {

class Handle {
 public:
  explicit Handle(HANDLE handle) : m_handle(handle) {}
  ~Handle() {
    if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE Get() const { return m_handle; }

 private:
  HANDLE m_handle;
};

class WinLock final : public FileLock {
 public:
  explicit WinLock(HANDLE handle) : m_handle(handle) {}
  // Closing the handle lets the lock go.

 private:
  Handle m_handle;
};

class WinReadFile final : public RandomReadFile {
 public:
  WinReadFile(HANDLE handle, std::uint64_t size) : m_handle(handle), m_size(size) {}
  std::uint64_t Size() const override { return m_size; }

  std::int64_t ReadAt(std::uint64_t offset, char* into, std::size_t size, std::string& error) override {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    const DWORD wanted = size > 0x10000000u ? 0x10000000u : static_cast<DWORD>(size);
    if (!::ReadFile(m_handle.Get(), into, wanted, &read, &at)) {
      const DWORD code = GetLastError();
      if (code == ERROR_HANDLE_EOF) return 0;
      error = SystemErrorText(code);
      return -1;
    }
    return read;
  }

 private:
  Handle m_handle;
  std::uint64_t m_size;
};

}  // namespace

std::unique_ptr<FileLock> FileLock::Take(const std::filesystem::path& path, std::chrono::milliseconds bound,
                                         std::string& error) {
  const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = SystemErrorText(GetLastError());
    return nullptr;
  }
  auto lock = std::make_unique<WinLock>(handle);
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(bound.count());
  for (;;) {
    OVERLAPPED at{};
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return lock;
    const DWORD code = GetLastError();
    if (code != ERROR_LOCK_VIOLATION && code != ERROR_IO_PENDING) {
      error = SystemErrorText(code);
      return nullptr;
    }
    if (GetTickCount64() >= deadline) {
      error = "another process holds " + Utf16ToUtf8(path.u16string());
      return nullptr;
    }
    Sleep(5);
  }
}

std::unique_ptr<RandomReadFile> RandomReadFile::Open(const std::filesystem::path& path, std::string& error,
                                                     bool* missing) {
  if (missing != nullptr) *missing = false;
  const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (missing != nullptr) *missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    error = SystemErrorText(code);
    return nullptr;
  }
  LARGE_INTEGER size{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
    CloseHandle(handle);
    error = "not a regular file";
    return nullptr;
  }
  return std::make_unique<WinReadFile>(handle, static_cast<std::uint64_t>(size.QuadPart));
}

bool MakePrivateFolder(const std::filesystem::path& folder, std::string& error) {
  // A folder under the user's profile is the user's already; Windows has no
  // mode bits to set.
  std::error_code code;
  std::filesystem::create_directories(folder, code);
  if (code) {
    error = code.message();
    return false;
  }
  return true;
}

}  // namespace orvik::record
