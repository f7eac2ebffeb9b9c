// What the terminal front end needs of the operating system: its arguments
// as UTF-8, and whether standard output is a terminal.
#pragma once

#include <string>
#include <vector>

namespace orvik::cli {

// Prepares the process's standard streams for UTF-8 text (Windows: the
// console's output code page). No effect where they already are.
void PrepareConsole();

// The command line split into arguments, the program's path first, as UTF-8.
// POSIX: argv as given. Windows: the UTF-16 command line, so that arguments
// outside the ANSI code page arrive intact.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// True when standard output is a terminal, where a line can be redrawn in
// place; false for a pipe or a file.
bool StdoutIsTerminal();

// Makes standard output, a terminal, take the control sequences that move
// the cursor and clear lines (Windows: the console's virtual-terminal mode,
// where the console has it). False when it cannot: plain lines then.
bool EnableTerminalSequences();

}  // namespace orvik::cli
