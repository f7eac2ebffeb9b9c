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

namespace {

// ASCII names only.
std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Whether a named object of `name` exists in this session, whoever made it.
bool NameExists(const std::wstring& name) {
  const UniqueHandle opened(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
  // Another user's mutex of that name is there too, only not ours to open.
  return opened != nullptr || GetLastError() == ERROR_ACCESS_DENIED;
}

}  // namespace

// The names live in the session's own namespace (no "Global\" prefix): one
// updater per session, as on Linux one per user. A machine-wide name could
// be taken first by any user of the machine to keep everyone else off; two
// sessions are kept off one unit by the device lock instead.
//
// Only the names' existence matters: the mutexes are never owned or waited
// on. A lone updater makes "ORVIK Updater" and must find no station's name;
// every station holds a handle to "ORVIK Updater station", which lives while
// any of them does, and must find no lone updater's name. Each makes its own
// name before it looks for the other's, so two that start together may both
// be refused, never both run. The last error is cleared first, so a stale
// ERROR_ALREADY_EXISTS from an earlier call cannot be mistaken for this one's.
std::unique_ptr<SingleInstance> SingleInstance::Acquire(InstanceRole role) {
  const std::wstring alone = Wide(kProgramName);
  const std::wstring shared = Wide(std::string(kProgramName) + " station");
  const bool isAlone = role == InstanceRole::Alone;
  SetLastError(ERROR_SUCCESS);
  UniqueHandle mutex(CreateMutexW(nullptr, FALSE, (isAlone ? alone : shared).c_str()));
  const DWORD made = GetLastError();
  if (isAlone && made == ERROR_ALREADY_EXISTS) return nullptr;  // closes our handle
  // A station's name made by another user of this session cannot be opened
  // (ERROR_ACCESS_DENIED): it is there all the same.
  if (isAlone && mutex == nullptr && made == ERROR_ACCESS_DENIED) return nullptr;
  if (NameExists(isAlone ? shared : alone)) return nullptr;
  return std::make_unique<NamedMutexInstance>(std::move(mutex));
}

}  // namespace orvik::app
