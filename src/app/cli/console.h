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

// The width of the terminal (or console window) standard output shows in, in
// columns; 0 when it is not known (not a terminal). Asked again on each call,
// so a resized window is followed.
unsigned TerminalColumns();

// The size of the terminal (or the console's window) standard output shows
// in; a bound of 0 is not known (not a terminal).
struct TerminalSize {
  unsigned columns = 0;
  unsigned rows = 0;
  bool operator==(const TerminalSize&) const = default;
};
// Asked again on each call.
TerminalSize TerminalWindowSize();

// From now on, notes each change of the terminal's size (POSIX: SIGWINCH,
// whose handler only sets a flag, restarting what it interrupts), so that a
// table is redrawn for the new size without waiting for its next change.
// Windows: the window's size is compared at each call instead (a console
// tells of a resize only through its input queue, which is not read here).
void FollowTerminalResizes();
// True once after each change noted since the last call.
bool TerminalResized();

// True when Ctrl+C typed at the terminal that standard output (or, with
// `standardError`, standard error) shows in is echoed there as "^C" at the
// cursor (POSIX: the terminal's ECHO and ECHOCTL modes). Windows: false; a
// console echoes no "^C".
bool TerminalEchoesCtrlC(bool standardError);

// Restores what PrepareConsole changed (Windows: the console's code pages as
// they were when the program started). PrepareConsole arranges for it to run
// when the program exits; calling it again does nothing.
void RestoreConsole();

// The usage text's words for this platform: where the log goes (whole
// sentences), and an interface path as --list shows one here.
const char* LogPlaceHelp();
const char* ExampleDevicePath();

}  // namespace orvik::cli
