// POSIX: argv is already the program's arguments in the locale's encoding
// (UTF-8 on every system this runs on).
#include <unistd.h>

#include "app/cli/console.h"

namespace orvik::cli {

void PrepareConsole() {}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i]);
  return arguments;
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

// Every terminal this runs on takes the ANSI sequences.
bool EnableTerminalSequences() { return true; }

}  // namespace orvik::cli
