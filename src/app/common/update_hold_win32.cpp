// Windows: a power request (PowerCreateRequest, PowerSetRequest with
// PowerRequestSystemRequired) keeps the system from sleeping while idle, with
// the hold's reason shown by `powercfg /requests`. Where the system has no
// power requests, or refuses one, SetThreadExecutionState(ES_CONTINUOUS |
// ES_SYSTEM_REQUIRED) does the same for the calling thread, which is why the
// hold is taken and released on one thread. Neither holds off a closed lid
// or the power button: Windows lets no program refuse those.
//
// A logoff or shutdown shows the shutdown block reason on the dialog in its
// list of programs that keep it waiting.
#include "app/common/update_hold_win32.h"

#include <memory>
#include <string>

#include "app/common/update_hold.h"

namespace orvik::app {
namespace {

PowerCalls g_calls = SystemPowerCalls();

std::wstring Wide(const char* ascii) { return std::wstring(ascii, ascii + std::char_traits<char>::length(ascii)); }

class PowerRequest final : public Held {
 public:
  PowerRequest(const PowerCalls& calls, HANDLE request) : m_calls(calls), m_request(request) {}
  ~PowerRequest() override {
    m_calls.clearRequest(m_request, PowerRequestSystemRequired);
    m_calls.closeHandle(m_request);
  }

 private:
  PowerCalls m_calls;
  HANDLE m_request;
};

// Puts back the thread's state from before, so that a unit's hold inside a
// station's leaves the station's in place.
class ThreadExecutionState final : public Held {
 public:
  ThreadExecutionState(const PowerCalls& calls, EXECUTION_STATE before) : m_calls(calls), m_before(before) {}
  ~ThreadExecutionState() override {
    m_calls.setThreadExecutionState(ES_CONTINUOUS |
                                    (m_before & (ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED | ES_AWAYMODE_REQUIRED)));
  }

 private:
  PowerCalls m_calls;
  EXECUTION_STATE m_before;
};

class ShutdownBlock final : public Held {
 public:
  explicit ShutdownBlock(HWND window) : m_window(window) {}
  ~ShutdownBlock() override { ShutdownBlockReasonDestroy(m_window); }

 private:
  HWND m_window;
};

template <typename F>
F Lookup(HMODULE module, const char* name) {
  // The usual way to reach an export by name; the types match the headers'.
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

PowerCalls SystemPowerCalls() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  PowerCalls calls;
  calls.createRequest = Lookup<decltype(calls.createRequest)>(kernel, "PowerCreateRequest");
  calls.setRequest = Lookup<decltype(calls.setRequest)>(kernel, "PowerSetRequest");
  calls.clearRequest = Lookup<decltype(calls.clearRequest)>(kernel, "PowerClearRequest");
  if (!calls.createRequest || !calls.setRequest || !calls.clearRequest) calls.createRequest = nullptr;
  calls.closeHandle = CloseHandle;
  calls.setThreadExecutionState = SetThreadExecutionState;
  return calls;
}

PowerCalls UsePowerCalls(const PowerCalls& calls) {
  const PowerCalls before = g_calls;
  g_calls = calls;
  return before;
}

std::vector<std::string> SleepLockNames(HoldScope /*scope*/) { return {"sleep"}; }

SleepLocks AskForSleepLocks(HoldScope /*scope*/) {
  SleepLocks got;
  // Both scopes ask for the same: a system-required request is what keeps an
  // idle machine awake, and there is no more a program can hold off.
  std::wstring reason = Wide(kHoldWhy);
  if (g_calls.createRequest) {
    REASON_CONTEXT context{};
    context.Version = POWER_REQUEST_CONTEXT_VERSION;
    context.Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING;
    context.Reason.SimpleReasonString = reason.data();
    const HANDLE request = g_calls.createRequest(&context);
    if (request != INVALID_HANDLE_VALUE && request != nullptr) {
      if (g_calls.setRequest(request, PowerRequestSystemRequired)) {
        got.held = std::make_unique<PowerRequest>(g_calls, request);
        return got;
      }
      g_calls.closeHandle(request);
    }
  }
  if (const EXECUTION_STATE before = g_calls.setThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED); before != 0) {
    got.held = std::make_unique<ThreadExecutionState>(g_calls, before);
    return got;
  }
  got.notHeld = {"sleep"};
  got.reason = "no power request and no execution state";
  return got;
}

std::unique_ptr<Held> BlockSessionEnd(HoldWindow window) {
  if (window == nullptr) return nullptr;
  const HWND hwnd = static_cast<HWND>(window);
  // May fail (Wine does not implement it); WM_QUERYENDSESSION still refuses.
  if (!ShutdownBlockReasonCreate(hwnd, Wide(kHoldWhy).c_str())) return nullptr;
  return std::make_unique<ShutdownBlock>(hwnd);
}

}  // namespace orvik::app
