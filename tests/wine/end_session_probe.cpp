// Asks the running updater's dialog whether the session may end, as Windows
// does at logoff or shutdown: sends WM_QUERYENDSESSION to the window titled
// with the dialog's caption and prints the answer, then the shutdown block
// reason the window holds, if any. Given a window class, asks the window of
// that class instead (the station window: OrvikStationWindow).
//
//   end_session_probe.exe [CLASS]   exit 0: TRUE (may end), 1: FALSE
//                                   (refused), 2: no such window, or no
//                                   answer within 5 s
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  const HWND dialog = argc > 1 ? FindWindowW(argv[1], nullptr) : FindWindowW(L"#32770", L"Firmware for Solvane ver1.3");
  if (dialog == nullptr) {
    std::printf("no dialog\n");
    return 2;
  }
  DWORD_PTR answer = 0;
  if (SendMessageTimeoutW(dialog, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &answer) == 0) {
    std::printf("no answer (error %lu)\n", GetLastError());
    return 2;
  }
  std::printf("WM_QUERYENDSESSION: %s\n", answer != FALSE ? "TRUE" : "FALSE");

  // Looked up at run time: Wine 8's user32 does not export it, and a call
  // through a missing import would crash the probe.
  using Query = BOOL(WINAPI*)(HWND, LPWSTR, DWORD*);
  const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "ShutdownBlockReasonQuery")));
  wchar_t reason[256] = {};
  DWORD length = 256;
  if (query == nullptr) {
    std::printf("block reason: cannot be queried here\n");
  } else if (query(dialog, reason, &length)) {
    std::printf("block reason: %ls\n", reason);
  } else {
    std::printf("block reason: none (error %lu)\n", GetLastError());
  }
  std::fflush(stdout);
  return answer != FALSE ? 0 : 1;
}
