// Reads the station window as a screen reader does: prints its title, each
// slot tile's window text (its accessible name) on a line of its own, and
// each button and list box with whether it is enabled, in UTF-8.
//
//   station_probe.exe              exit 0: printed; 2: no station window
//   station_probe.exe --latency N  asks the window N times, 20 ms apart, for
//                                  an answer (WM_NULL) and prints the times
//                                  its user-interface thread took: p99 and
//                                  max in ms. Exit 3 when one took 5 s.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

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

// How long the window's thread takes to answer, N times.
int Latency(HWND station, int count) {
  using Clock = std::chrono::steady_clock;
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    const Clock::time_point begin = Clock::now();
    DWORD_PTR answer = 0;
    if (SendMessageTimeoutW(station, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &answer) == 0) {
      std::printf("latency: no answer within 5 s\n");
      return 3;
    }
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::sort(times.begin(), times.end());
  const double p99 = times[std::min(times.size() - 1, times.size() * 99 / 100)];
  std::printf("latency: n=%d p99=%.1f ms max=%.1f ms\n", count, p99, times.back());
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const HWND station = FindWindowW(L"OrvikStationWindow", nullptr);
  if (station == nullptr) {
    std::printf("no station window\n");
    return 2;
  }
  if (argc > 2 && std::string(argv[1]) == "--latency") return Latency(station, std::max(1, std::atoi(argv[2])));
  wchar_t title[256] = {};
  SendMessageTimeoutW(station, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(title), SMTO_ABORTIFHUNG, 5000, nullptr);
  std::printf("title: %s\n", Utf8(title).c_str());
  EnumChildWindows(station, PrintChild, 0);
  std::fflush(stdout);
  return 0;
}
