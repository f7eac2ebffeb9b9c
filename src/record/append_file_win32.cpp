// AppendFile on Win32: a handle opened with FILE_APPEND_DATA only, so that
// every write lands at the file's end, shared for reading and appending so
// that a user or another program can watch the record.
#include <windows.h>

#include <algorithm>
#include <limits>
#include <string>

#include "record/append_file.h"
#include "log/utf.h"

namespace orvik::record {
namespace {

std::string ErrorText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string message;
  if (length != 0 && text != nullptr) message.assign(text, text + length);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r' || message.back() == u'.')) {
    message.pop_back();
  }
  if (message.empty()) return "error " + std::to_string(code);
  return Utf16ToUtf8(message);
}

class Win32AppendFile final : public AppendFile {
 public:
  explicit Win32AppendFile(HANDLE file) : m_file(file) {}
  ~Win32AppendFile() override { CloseHandle(m_file); }
  Win32AppendFile(const Win32AppendFile&) = delete;
  Win32AppendFile& operator=(const Win32AppendFile&) = delete;

  bool Append(std::string_view bytes, std::string& error) override {
    while (!bytes.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), std::numeric_limits<DWORD>::max()));
      DWORD written = 0;
      if (!WriteFile(m_file, bytes.data(), chunk, &written, nullptr)) {
        error = ErrorText(GetLastError());
        return false;
      }
      if (written == 0) {
        error = "nothing was written";
        return false;
      }
      bytes.remove_prefix(written);
    }
    if (!FlushFileBuffers(m_file)) {
      error = ErrorText(GetLastError());
      return false;
    }
    return true;
  }

 private:
  HANDLE m_file;  // valid for the object's life
};

}  // namespace

std::unique_ptr<AppendFile> AppendFile::Open(const std::filesystem::path& path, std::string& error) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: the handle cannot write
  // anywhere but at the end. A directory fails to open here (it would need
  // FILE_FLAG_BACKUP_SEMANTICS).
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = ErrorText(GetLastError());
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
    error = ErrorText(code);
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
      error = ErrorText(GetLastError());
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
