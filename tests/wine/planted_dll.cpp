// A stand-in for a DLL that someone has put beside a program: built as both
// hid.dll and winmm.dll, it exports every function the programs take from
// either (so that a loader resolving a program's imports against it gets
// as far as running it), and when it is loaded into a process it leaves a
// marker file beside itself, "<its file name>.loaded", and ends the process
// with status 77.
//
// windows.h is included without the multimedia declarations
// (WIN32_LEAN_AND_MEAN), so that the winmm names can be defined here.
#include <windows.h>

#include <string>

namespace {

void LeaveMarker(HINSTANCE self) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return;
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    if (path.size() >= 32768) return;  // longer than any Windows path
    path.resize(path.size() * 2);
  }
  path += L".loaded";
  const HANDLE marker = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    LeaveMarker(self);
    ExitProcess(77);
  }
  return TRUE;
}

// Never called: the process ends while the DLL is being attached. The
// signatures only need to give the linker a symbol of each name.
#define ORVIK_PLANTED_EXPORT(name) \
  extern "C" __declspec(dllexport) LONG WINAPI name() { return 0; }
ORVIK_PLANTED_EXPORT(HidD_GetHidGuid)
ORVIK_PLANTED_EXPORT(HidD_GetAttributes)
ORVIK_PLANTED_EXPORT(HidD_GetPreparsedData)
ORVIK_PLANTED_EXPORT(HidD_FreePreparsedData)
ORVIK_PLANTED_EXPORT(HidD_FlushQueue)
ORVIK_PLANTED_EXPORT(HidD_GetSerialNumberString)
ORVIK_PLANTED_EXPORT(HidD_GetProductString)
ORVIK_PLANTED_EXPORT(HidD_GetManufacturerString)
ORVIK_PLANTED_EXPORT(HidD_SetNumInputBuffers)
ORVIK_PLANTED_EXPORT(HidD_GetNumInputBuffers)
ORVIK_PLANTED_EXPORT(HidP_GetCaps)
ORVIK_PLANTED_EXPORT(timeBeginPeriod)
ORVIK_PLANTED_EXPORT(timeEndPeriod)
ORVIK_PLANTED_EXPORT(timeGetTime)
ORVIK_PLANTED_EXPORT(timeGetDevCaps)
