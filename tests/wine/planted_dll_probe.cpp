// The test's own check that a planted DLL is caught: a program that imports
// hid.dll and winmm.dll at load time, as the updaters once did. Beside the
// planted DLLs, with native DLLs preferred, it must never reach main.
#include <windows.h>
#include <timeapi.h>

extern "C" {
#include <hidsdi.h>
}

int main() {
  GUID guid{};
  HidD_GetHidGuid(&guid);
  timeBeginPeriod(1);
  timeEndPeriod(1);
  return 0;
}
