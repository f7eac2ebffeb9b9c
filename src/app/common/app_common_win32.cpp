// Windows side of what the front ends share: the executable's path, and the
// single-instance rule through a named mutex.
#include <windows.h>

#include <algorithm>
#include <string>

#include "app/common/app_common.h"
#include "log/log.h"
#include "log/native_path.h"

namespace orvik::app {

namespace {

// The longest path Windows hands out, in UTF-16 units with the terminating
// zero (the \\?\ form). A module path never exceeds it.
constexpr DWORD kLongestPathUnits = 32768;
// First guess: the classic MAX_PATH; grown by doubling up to the bound above.
constexpr DWORD kFirstGuessUnits = MAX_PATH;

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// Holds the mutex's name for the life of the program. `mutex` is null when
// the mutex could be neither created nor opened; the program then runs as if
// it were the only instance, and nothing is closed at exit.
class NamedMutexInstance final : public SingleInstance {
 public:
  explicit NamedMutexInstance(UniqueHandle mutex) : m_mutex(std::move(mutex)) {}

 private:
  UniqueHandle m_mutex;
};

}  // namespace

std::filesystem::path ExecutablePath() {
  // GetModuleFileNameW cuts the path to the buffer and returns the buffer's
  // size when it did; grow the buffer until the whole path fits.
  std::wstring buffer(kFirstGuessUnits, L'\0');
  for (;;) {
    const DWORD capacity = static_cast<DWORD>(buffer.size());
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), capacity);
    if (length == 0) return {};
    if (length < capacity) {
      buffer.resize(length);
      return std::filesystem::path(buffer);
    }
    if (capacity >= kLongestPathUnits) return {};
    buffer.assign(std::min(capacity * 2, kLongestPathUnits), L'\0');
  }
}

std::filesystem::path LogPathBeside(const std::filesystem::path& executable) { return WholePathLogPath(executable); }

std::filesystem::path ChooseLogPath() { return LogPathBeside(ExecutablePath()); }

// A program deep in folders has a log path past MAX_PATH: it gets the
// prefix that lets Win32 open it.
bool OpenProgramLog(CLog& log) { return log.Open(ReachablePath(ChooseLogPath())); }

std::unique_ptr<SingleInstance> SingleInstance::Acquire() {
  const std::string name = kProgramName;
  const std::wstring wideName(name.begin(), name.end());  // ASCII
  // Only the name's existence matters: the mutex is never owned or waited on.
  // The last error is cleared first, so a stale ERROR_ALREADY_EXISTS from an
  // earlier call cannot be mistaken for this one's.
  SetLastError(ERROR_SUCCESS);
  UniqueHandle mutex(CreateMutexW(nullptr, FALSE, wideName.c_str()));
  if (GetLastError() == ERROR_ALREADY_EXISTS) return nullptr;  // closes our handle
  return std::make_unique<NamedMutexInstance>(std::move(mutex));
}

}  // namespace orvik::app
