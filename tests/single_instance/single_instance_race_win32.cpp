// The single-instance race on Windows: starts 20 probes beside this program,
// waits until each says "ready", then closes their common standard input so
// they all try at once. Passes when exactly one acquired and the others were
// refused.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kCopies = 20;
constexpr DWORD kAcquired = 0;
constexpr DWORD kRefused = 3;
constexpr DWORD kDeadlineMs = 60000;

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : m_h(h) {}
  Handle(Handle&& other) noexcept : m_h(other.m_h) { other.m_h = nullptr; }
  Handle& operator=(Handle&& other) noexcept {
    Reset();
    m_h = other.m_h;
    other.m_h = nullptr;
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Reset(); }
  HANDLE Get() const { return m_h; }
  HANDLE* Put() {
    Reset();
    return &m_h;
  }
  void Reset() {
    if (m_h != nullptr && m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
    m_h = nullptr;
  }

 private:
  HANDLE m_h = nullptr;
};

struct Probe {
  Handle process;
  Handle out;  // the probe's standard output
  std::string said;
};

int Fail(const char* what) {
  std::fprintf(stderr, "single-instance race: %s failed (error %lu)\n", what, GetLastError());
  return 1;
}

// Reads from the probe's output until it has said `word` or closed it. The
// probe's C runtime writes its output in text mode: "\n" arrives as "\r\n".
bool WaitFor(Probe& probe, const std::string& word) {
  while (probe.said.find(word) == std::string::npos) {
    char buffer[64];
    DWORD n = 0;
    if (!ReadFile(probe.out.Get(), buffer, sizeof buffer, &n, nullptr) || n == 0) return false;  // closed
    probe.said.append(buffer, n);
  }
  return true;
}

}  // namespace

int main() {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return Fail("GetModuleFileNameW");
  std::wstring probePath(self, length);
  probePath.erase(probePath.find_last_of(L"\\/") + 1);
  probePath += L"single_instance_probe.exe";

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  Handle gateRead;
  Handle gateWrite;
  if (!CreatePipe(gateRead.Put(), gateWrite.Put(), &inherit, 0)) return Fail("CreatePipe");
  SetHandleInformation(gateWrite.Get(), HANDLE_FLAG_INHERIT, 0);

  std::vector<Probe> probes(kCopies);
  for (Probe& probe : probes) {
    // Only this probe inherits the write end of its own output pipe, so a
    // probe that dies closes its pipe.
    Handle outWrite;
    if (!CreatePipe(probe.out.Put(), outWrite.Put(), nullptr, 0)) return Fail("CreatePipe");
    SetHandleInformation(outWrite.Get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = gateRead.Get();
    startup.hStdOutput = outWrite.Get();
    startup.hStdError = outWrite.Get();
    std::wstring commandLine = L"\"" + probePath + L"\" 1000";
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(probePath.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &info)) {
      return Fail("CreateProcessW");
    }
    CloseHandle(info.hThread);
    probe.process = Handle(info.hProcess);
  }
  gateRead.Reset();

  for (Probe& probe : probes) {
    if (!WaitFor(probe, "ready")) {
      std::fprintf(stderr, "single-instance race: a probe never became ready\n");
      return 1;
    }
  }
  const auto start = std::chrono::steady_clock::now();
  gateWrite.Reset();  // all at once

  int acquired = 0;
  int refused = 0;
  for (Probe& probe : probes) {
    if (WaitForSingleObject(probe.process.Get(), kDeadlineMs) != WAIT_OBJECT_0) {
      TerminateProcess(probe.process.Get(), 1);
      std::fprintf(stderr, "single-instance race: a probe did not end in time\n");
      return 1;
    }
    DWORD code = 1;
    GetExitCodeProcess(probe.process.Get(), &code);
    WaitFor(probe, "\x01");  // no such word: reads the probe's output to its end, for the message below
    if (code == kAcquired) {
      ++acquired;
    } else if (code == kRefused) {
      ++refused;
    } else {
      std::fprintf(stderr, "single-instance race: a probe ended with %lu (said \"%s\")\n", code, probe.said.c_str());
    }
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  std::printf("%d started together: %d acquired, %d refused (%lld ms)\n", kCopies, acquired, refused,
              static_cast<long long>(elapsed.count()));
  return acquired == 1 && refused == kCopies - 1 ? 0 : 1;
}
