// orvik-updater.exe: the application's start-up and shutdown on Windows.
//
// One instance at a time (a named mutex), the log beside the executable, the
// common controls, then the updater dialog run modally as the only window.
#include "app/win32/win32_api.h"

#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "app/common/app_common.h"
#include "app/common/library_search.h"
#include "app/win32/dialog_host.h"
#include "app/win32/help_text.h"
#include "app/cli/station_setup.h"
#include "app/win32/station_window.h"
#include "image/resources.h"
#include "log/log.h"
#include "ui/updater_dlg.h"

namespace {

// The process-wide log: constructed before wWinMain runs, it makes itself
// g_pLog, and it is destroyed after wWinMain has returned, closing the file.
CLog g_log;

struct LocalFreer {
  void operator()(LPWSTR* block) const { LocalFree(block); }
};

// The command line split into arguments, the program's path first, as UTF-8.
// Empty when the command line cannot be split.
std::vector<std::string> CommandLineArguments() {
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreer> argv(CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::string> arguments;
  if (!argv) return arguments;
  arguments.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) arguments.push_back(orvik::win32::Narrow(argv.get()[i]));
  return arguments;
}

// Shows `text` where the user who asked for it will see it: on standard
// output when it goes to a file, a pipe or the console of the command that
// started the program (a windowed program has none of its own), otherwise in
// a message box.
void Answer(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if ((out == nullptr || out == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS)) {
    out = GetStdHandle(STD_OUTPUT_HANDLE);
  }
  if (out != nullptr && out != INVALID_HANDLE_VALUE) {
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
      const std::wstring wide = orvik::win32::Widen(text);
      DWORD written = 0;
      if (WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr)) return;
    } else {
      DWORD written = 0;
      if (WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) return;
    }
  }
  MessageBoxW(nullptr, orvik::win32::Widen(text).c_str(), orvik::win32::Widen(orvik::app::kProgramName).c_str(),
              MB_OK | MB_ICONINFORMATION);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  using namespace orvik;

  // Before anything can load a DLL: none from the program's folder.
  app::RestrictLibrarySearchToSystem();

  // Answered before anything else: no window, no lock, no log line.
  const std::vector<std::string> given = CommandLineArguments();
  for (std::size_t i = 1; i < given.size(); ++i) {
    if (given[i] == "--help") {
      Answer(win32::kHelpText);
      return 0;
    }
    if (given[i] == "--version") {
      Answer(std::string("orvik-updater.exe ") + ORVIK_PROGRAM_VERSION + "\r\n");
      return 0;
    }
  }

  // Held until wWinMain returns. A second instance ends here, silently: no
  // log, no window.
  // Stations run side by side, kept apart by the device lock; not beside a
  // dialog or a single update.
  const std::vector<std::string> arguments = CommandLineArguments();
  const std::unique_ptr<app::SingleInstance> singleInstance = app::SingleInstance::Acquire(
      cli::WantsStationWindow(arguments) ? app::InstanceRole::Shared : app::InstanceRole::Alone);
  if (!singleInstance) return 0;

  g_log.Open(app::ChooseLogPath());
  g_log.Write(app::kProgramName);

  // --station: the flashing station's window instead of the dialog.
  if (cli::WantsStationWindow(arguments)) return win32::RunStationWindow(instance, arguments);

  // The progress bar's class comes from the common controls.
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  app::DeviceChoice choice = app::ChooseDevice(arguments);
  if (!choice.device) {
    // A malformed -Emulate:FAULT: say so and do not start.
    g_log.Write(choice.error);
    MessageBoxW(nullptr, win32::Widen(choice.error).c_str(), win32::Widen(app::kProgramName).c_str(), MB_OK);
    return 2;
  }

  // The window is declared first so that it outlives the dialog behaviour,
  // whose destructor waits for a worker that may still call the window (the
  // calls then return at once: the window has been destroyed).
  win32::Win32DialogWindow window(instance);
  CORVIKUpdaterDlg dialog(window, *choice.device, ProgramResources(), arguments);
  window.RunModal(dialog);
  return 0;
}
