// Windows: a console control handler. The system runs it on a thread of its
// own that it starts for each event, so it may wait and set events; ending
// at once is ExitProcess.
//
// Ctrl+C and Ctrl+Break are refused by returning TRUE: the process carries
// on. The console's close (and logoff and shutdown, which reach console
// programs only when they load no user32.dll) cannot be refused: the system
// ends the process as soon as the handler returns, and after its time-out
// (about 5 s for a closed console) if the handler has not returned. While
// deferring, the handler therefore waits until the deferral ends, which
// keeps the update running for as long as Windows allows, and then ends the
// process itself.
//
// A process started with Ctrl+C disabled (CREATE_NEW_PROCESS_GROUP, or a
// parent's SetConsoleCtrlHandler(NULL, TRUE)) keeps it disabled, as an
// inherited SIG_IGN stays ignored on POSIX.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <csignal>

#include "app/common/interrupt.h"

namespace orvik::app {
namespace {

std::atomic<int> g_policy{static_cast<int>(InterruptPolicy::EndAtOnce)};
std::atomic<int> g_pending{0};
HANDLE g_requested = nullptr;  // manual-reset: a request is pending; lives as long as the process
HANDLE g_atOnce = nullptr;     // manual-reset: set while the policy is EndAtOnce
std::atomic<void (*)()> g_beforeExit{nullptr};

[[noreturn]] void EndProcess(int signal) { EndProcessNow(InterruptExitStatus(signal)); }

int SignalFor(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT: return SIGINT;
    case CTRL_BREAK_EVENT: return SIGBREAK;
    default: return 1;  // close, logoff, shutdown: SIGHUP's number, which Windows lacks
  }
}

bool Refusable(DWORD event) { return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT; }

BOOL WINAPI OnConsoleEvent(DWORD event) {
  const int signal = SignalFor(event);
  if (g_policy.load() == static_cast<int>(InterruptPolicy::EndAtOnce)) EndProcess(signal);
  int expected = 0;
  g_pending.compare_exchange_strong(expected, signal);
  if (g_requested) SetEvent(g_requested);
  if (Refusable(event)) return TRUE;
  // Returning would end the process now: hold on until the deferral is over
  // (or the system's time-out ends the process first).
  if (g_atOnce) WaitForSingleObject(g_atOnce, INFINITE);
  EndProcess(signal);
}

}  // namespace

std::span<const int> EndingSignals() { return {}; }

void EndProcessNow(int status) {
  if (void (*const hook)() = g_beforeExit.load()) hook();
  ExitProcess(static_cast<UINT>(status));
}

void SetBeforeExitHook(void (*hook)()) { g_beforeExit.store(hook); }

void IgnoreFileSizeLimitSignal() {}

void IgnorePipeSignal() {}
void RestorePipeSignal() {}

void InstallInterruptHandlers() {
  if (!g_requested) g_requested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_atOnce) g_atOnce = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void SetInterruptPolicy(InterruptPolicy policy) {
  g_policy.store(static_cast<int>(policy));
  if (!g_atOnce) return;
  if (policy == InterruptPolicy::EndAtOnce) {
    SetEvent(g_atOnce);
  } else {
    ResetEvent(g_atOnce);
  }
}

InterruptPolicy CurrentInterruptPolicy() { return static_cast<InterruptPolicy>(g_policy.load()); }

int PendingInterrupt() { return g_pending.load(); }

void ClearPendingInterrupt() {
  g_pending.store(0);
  if (g_requested) ResetEvent(g_requested);
}

bool WaitForInterrupt(std::chrono::milliseconds bound) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::clamp(bound, std::chrono::milliseconds::zero(), kLongestInterruptWait);
  while (PendingInterrupt() == 0) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const auto wait = static_cast<DWORD>(left.count());  // at most a day: far below INFINITE
    if (!g_requested) {
      Sleep(wait);
      continue;
    }
    // The event only wakes this loop; the pending signal is the request. An
    // event left set by a request already cleared would otherwise make this
    // wait a spin.
    if (WaitForSingleObject(g_requested, wait) == WAIT_OBJECT_0 && PendingInterrupt() == 0) ResetEvent(g_requested);
  }
  return PendingInterrupt() != 0;
}

// Windows has no stop signals.
void HoldStopRequests() {}
void ReleaseStopRequests() {}
int HeldStopRequest() { return 0; }

}  // namespace orvik::app
