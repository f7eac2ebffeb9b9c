// Windows: main()'s argv is in the ANSI code page and loses what it cannot
// hold, so the arguments are taken from the UTF-16 command line instead.
#include <windows.h>
// windows.h first: shellapi.h depends on its types.
#include <io.h>
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>

#include "app/cli/console.h"
#include "app/common/interrupt.h"
#include "log/utf.h"

namespace orvik::cli {
namespace {

struct LocalFreer {
  void operator()(LPWSTR* block) const { LocalFree(block); }
};

// wchar_t is UTF-16 on Windows.
std::string ToUtf8(const wchar_t* text) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), wcslen(text)));
}

}  // namespace

namespace {

// The console's code pages before the program changed them; 0: not changed
// (no console, or already put back).
std::atomic<UINT> g_outputCodePage{0};
std::atomic<UINT> g_inputCodePage{0};

}  // namespace

void PrepareConsole() {
  // The program writes UTF-8; a console shows it right only in code page
  // 65001. The console outlives the program and is shared with the shell
  // that started it: its code pages are put back when the program exits,
  // however it exits (returning from main, or ExitProcess after Ctrl+C).
  // Without a console GetConsoleOutputCP gives 0 and nothing changes.
  const UINT output = GetConsoleOutputCP();
  const UINT input = GetConsoleCP();
  if (output == 0 || output == CP_UTF8) return;
  if (!SetConsoleOutputCP(CP_UTF8)) return;
  g_inputCodePage.store(input);
  g_outputCodePage.store(output);
  std::atexit(RestoreConsole);
  app::SetBeforeExitHook(RestoreConsole);
}

void RestoreConsole() {
  const UINT output = g_outputCodePage.exchange(0);
  const UINT input = g_inputCodePage.exchange(0);
  if (output != 0) SetConsoleOutputCP(output);
  if (input != 0 && GetConsoleCP() != input) SetConsoleCP(input);
}

std::vector<std::string> ProgramArguments(int /*argc*/, char** /*argv*/) {
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreer> argv(CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::string> arguments;
  if (!argv) return arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(ToUtf8(argv.get()[i]));
  return arguments;
}

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

bool EnableTerminalSequences() {
  // Consoles before Windows 10 (and some hosts) refuse the mode: the
  // station then writes plain lines.
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || out == nullptr || !GetConsoleMode(out, &mode)) return false;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

unsigned TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? static_cast<unsigned>(columns) : 0;
}

TerminalSize TerminalWindowSize() {
  // The window onto the screen buffer, not the buffer: the buffer is as tall
  // as its scrollback.
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return {};
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  return {columns > 0 ? static_cast<unsigned>(columns) : 0u, rows > 0 ? static_cast<unsigned>(rows) : 0u};
}

namespace {
// The window's size when last looked at; main thread only.
TerminalSize g_lastSize{};
}  // namespace

// A console tells of a resize only through its input queue, which the
// program does not read: the window's size is compared at each call instead.
void FollowTerminalResizes() { g_lastSize = TerminalWindowSize(); }

bool TerminalResized() {
  const TerminalSize now = TerminalWindowSize();
  if (now == g_lastSize) return false;
  g_lastSize = now;
  return true;
}

bool TerminalEchoesCtrlC(bool /*standardError*/) { return false; }

const char* LogPlaceHelp() {
  return "The log, orvik-updater-cli.log, is written\n"
         "beside orvik-updater-cli.exe (the program's own file name, .log for .exe).";
}

const char* ExampleDevicePath() {
  return "\"\\\\?\\hid#vid_1209&pid_0121#7&2a&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}\"";
}

}  // namespace orvik::cli
