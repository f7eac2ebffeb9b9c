// Reads the station window as a screen reader does: prints its title, each
// slot tile's window text (its accessible name) on a line of its own, and
// each button and list box with whether it is enabled, in UTF-8.
//
//   station_probe.exe   exit 0: printed; 2: no station window
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(size) - 1);
  return out;
}

BOOL CALLBACK PrintChild(HWND child, LPARAM) {
  wchar_t className[64] = {};
  GetClassNameW(child, className, 64);
  const bool tile = lstrcmpiW(className, L"OrvikStationTile") == 0;
  const bool control = lstrcmpiW(className, L"Button") == 0 || lstrcmpiW(className, L"ComboBox") == 0;
  if (!tile && !control) return TRUE;
  wchar_t text[1024] = {};
  // Another process's window: WM_GETTEXT crosses the boundary, GetWindowText would not.
  SendMessageTimeoutW(child, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, nullptr);
  if (tile) {
    std::printf("tile: %s\n", Utf8(text).c_str());
  } else {
    std::printf("control: %s %s %s\n", Utf8(className).c_str(), Utf8(text).c_str(),
                IsWindowEnabled(child) ? "enabled" : "disabled");
  }
  return TRUE;
}

}  // namespace

int main() {
  const HWND station = FindWindowW(L"OrvikStationWindow", nullptr);
  if (station == nullptr) {
    std::printf("no station window\n");
    return 2;
  }
  wchar_t title[256] = {};
  SendMessageTimeoutW(station, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(title), SMTO_ABORTIFHUNG, 5000, nullptr);
  std::printf("title: %s\n", Utf8(title).c_str());
  EnumChildWindows(station, PrintChild, 0);
  std::fflush(stdout);
  return 0;
}
