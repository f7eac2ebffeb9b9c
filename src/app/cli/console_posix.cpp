// POSIX: argv is already the program's arguments in the locale's encoding
// (UTF-8 on every system this runs on).
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

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

TerminalSize TerminalWindowSize() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return {};
  return {size.ws_col, size.ws_row};
}

namespace {

std::atomic<bool> g_resized{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler needs a lock-free atomic");

extern "C" void OnWindowChange(int /*signal*/) { g_resized.store(true); }

}  // namespace

void FollowTerminalResizes() {
  struct sigaction action {};
  action.sa_handler = OnWindowChange;
  sigemptyset(&action.sa_mask);
  // Reads and writes carry on; the device's poll() retries on EINTR itself,
  // as it does for the deferred ending signals.
  action.sa_flags = SA_RESTART;
  sigaction(SIGWINCH, &action, nullptr);
}

bool TerminalResized() { return g_resized.exchange(false); }

bool TerminalEchoesCtrlC(bool standardError) {
  termios modes{};
  if (tcgetattr(standardError ? STDERR_FILENO : STDOUT_FILENO, &modes) != 0) return false;
  return (modes.c_lflag & ECHO) != 0 && (modes.c_lflag & ECHOCTL) != 0;
}

const char* LogPlaceHelp() {
  return "The log is written beside the program, or\n"
         "in ~/.local/state/orvik-updater/ where that folder is not the user's own.";
}

const char* ExampleDevicePath() { return "/dev/hidraw3"; }

}  // namespace orvik::cli
