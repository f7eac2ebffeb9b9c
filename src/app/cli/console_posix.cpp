// POSIX: argv is already the program's arguments in the locale's encoding
// (UTF-8 on every system this runs on).
#include <sys/ioctl.h>
#include <unistd.h>

#include "app/cli/console.h"

namespace orvik::cli {

void PrepareConsole() {}

void RestoreConsole() {}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i]);
  return arguments;
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

// Every terminal this runs on takes the ANSI sequences.
bool EnableTerminalSequences() { return true; }

unsigned TerminalColumns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

const char* LogPlaceHelp() {
  return "The log is written beside the program, or\n"
         "in ~/.local/state/orvik-updater/ where that folder is not the user's own.";
}

const char* ExampleDevicePath() { return "/dev/hidraw3"; }

}  // namespace orvik::cli
