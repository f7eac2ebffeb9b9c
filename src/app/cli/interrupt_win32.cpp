// Windows: a console control handler. It runs on a thread of its own that
// the system starts, so it may set an event; ending at once is ExitProcess.
#include <windows.h>

#include <atomic>
#include <csignal>

#include "app/cli/interrupt.h"

namespace orvik::cli {
namespace {

std::atomic<int> g_policy{static_cast<int>(InterruptPolicy::EndAtOnce)};
std::atomic<int> g_pending{0};
HANDLE g_event = nullptr;  // manual-reset; lives as long as the process

int SignalFor(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT: return SIGINT;
    case CTRL_BREAK_EVENT: return SIGBREAK;
    default: return 1;  // close, logoff, shutdown: SIGHUP's number, which Windows lacks
  }
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  const int signal = SignalFor(event);
  if (g_policy.load() == static_cast<int>(InterruptPolicy::EndAtOnce)) ExitProcess(InterruptExitStatus(signal));
  int expected = 0;
  g_pending.compare_exchange_strong(expected, signal);
  if (g_event) SetEvent(g_event);
  return TRUE;
}

}  // namespace

void InstallInterruptHandlers() {
  if (!g_event) g_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void SetInterruptPolicy(InterruptPolicy policy) { g_policy.store(static_cast<int>(policy)); }

int PendingInterrupt() { return g_pending.load(); }

void ClearPendingInterrupt() {
  g_pending.store(0);
  if (g_event) ResetEvent(g_event);
}

bool WaitForInterrupt(std::chrono::milliseconds bound) {
  if (PendingInterrupt() == 0) {
    if (g_event) {
      WaitForSingleObject(g_event, static_cast<DWORD>(bound.count()));
    } else {
      Sleep(static_cast<DWORD>(bound.count()));
    }
  }
  return PendingInterrupt() != 0;
}

}  // namespace orvik::cli
