// Windows paths are UTF-16: UTF-8 text is converted here, and nowhere else,
// then normalised by the system as every Win32 open would normalise it.
#include <windows.h>

#include <string>

#include "log/native_path.h"
#include "log/utf.h"

namespace orvik {
namespace {

// From this many UTF-16 units on, a path gets the "\\?\" prefix: a folder
// path may not pass MAX_PATH - 12 without it (room for an 8.3 name), and a
// file under it (a record's ".new" copy) would pass MAX_PATH. With the prefix
// the limit is about 32,767 units, whatever the system's long-path setting.
constexpr std::size_t kLongPathFrom = MAX_PATH - 12;

bool StartsWith(const std::wstring& text, std::wstring_view start) { return text.rfind(start, 0) == 0; }

// `full`, absolute and normalised, with the prefix that turns Win32's path
// rules off, when it is long.
std::wstring WithLongPrefix(std::wstring full) {
  if (full.size() < kLongPathFrom || StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\")) return full;
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
  return L"\\\\?\\" + full;
}

std::wstring Wide(std::string_view utf8) {
  const std::u16string text = Utf8ToUtf16(utf8);
  return std::wstring(text.begin(), text.end());  // wchar_t is UTF-16 on Windows
}

}  // namespace

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  const std::wstring wide = Wide(utf8);
  if (wide.empty()) return {};
  // A path with the prefix already is taken literally, as Win32 takes it.
  if (StartsWith(wide, L"\\\\?\\") || StartsWith(wide, L"\\\\.\\")) return std::filesystem::path(wide);
  // GetFullPathNameW does what every open does to a path before it reaches
  // the file system; done once here, the checked path and the opened one
  // are the same even with the prefix, which turns that step off.
  std::wstring full(MAX_PATH, L'\0');
  for (int tries = 0; tries < 4; ++tries) {
    const DWORD length = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return std::filesystem::path(wide);
    if (length < full.size()) {
      full.resize(length);
      return std::filesystem::path(WithLongPrefix(std::move(full)));
    }
    full.assign(length, L'\0');  // the size asked for, with its terminating zero
  }
  return std::filesystem::path(wide);
}

std::filesystem::path ReachablePath(const std::filesystem::path& path) {
  if (!path.is_absolute()) return path;
  return std::filesystem::path(WithLongPrefix(path.native()));
}

std::string PathToUtf8(const std::filesystem::path& path) {
  const std::wstring& native = path.native();
  return Utf16ToUtf8(std::u16string(native.begin(), native.end()));
}

std::string FileNameAsOpened(std::string_view utf8) {
  const std::size_t separator = utf8.find_last_of("\\/");
  std::string name(separator == std::string_view::npos ? utf8 : utf8.substr(separator + 1));
  if (name == "." || name == "..") return name;
  const std::size_t kept = name.find_last_not_of(". ");
  name.resize(kept == std::string::npos ? 0 : kept + 1);
  return name;
}

std::string PathNameProblem(std::string_view utf8) {
  std::size_t start = 0;
  while (start <= utf8.size()) {
    std::size_t end = utf8.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = utf8.size();
    const std::string_view name = utf8.substr(start, end - start);
    if (IsReservedDeviceName(name)) return "names the device " + std::string(name);
    start = end + 1;
  }
  return {};
}

}  // namespace orvik
