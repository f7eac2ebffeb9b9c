// Windows: main()'s argv is in the ANSI code page and loses what it cannot
// hold, so the arguments are taken from the UTF-16 command line instead.
#include <windows.h>
// windows.h first: shellapi.h depends on its types.
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <memory>

#include "app/cli/console.h"
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

void PrepareConsole() {
  // The program writes UTF-8; a console shows it right only in code page
  // 65001. Has no effect (and fails harmlessly) without a console.
  SetConsoleOutputCP(CP_UTF8);
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

}  // namespace orvik::cli
