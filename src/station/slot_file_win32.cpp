#include <windows.h>

#include <string>
#include <system_error>

#include "station/slots.h"

namespace orvik::station {
namespace {

std::string ErrorText(DWORD error) {
  if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return "it exists already (--force replaces it)";
  return std::system_category().message(static_cast<int>(error));
}

}  // namespace

PortForm SystemPortForm() { return PortForm::LocationPath; }

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view text, bool replace, std::string& error) {
  std::filesystem::path temporary = path;
  temporary += L".tmp-" + std::to_wstring(GetCurrentProcessId());
  const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = "cannot create a temporary file beside it: " + ErrorText(GetLastError());
    return false;
  }
  DWORD written = 0;
  bool ok = text.size() <= MAXDWORD &&
            WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size() && FlushFileBuffers(file);
  DWORD failure = ok ? ERROR_SUCCESS : GetLastError();
  CloseHandle(file);
  // Without MOVEFILE_REPLACE_EXISTING the move fails where a file is: an
  // existing one is never overwritten.
  if (ok && !MoveFileExW(temporary.c_str(), path.c_str(),
                         MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0))) {
    ok = false;
    failure = GetLastError();
  }
  if (!ok) {
    DeleteFileW(temporary.c_str());
    error = ErrorText(failure);
  }
  return ok;
}

}  // namespace orvik::station
