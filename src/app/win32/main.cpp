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

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  using namespace orvik;

  // Before anything can load a DLL: none from the program's folder.
  app::RestrictLibrarySearchToSystem();

  // Held until wWinMain returns. A second instance ends here, silently: no
  // log, no window.
  const std::unique_ptr<app::SingleInstance> singleInstance = app::SingleInstance::Acquire();
  if (!singleInstance) return 0;

  g_log.Open(app::ChooseLogPath());
  g_log.Write(app::kProgramName);

  // The progress bar's class comes from the common controls.
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  const std::vector<std::string> arguments = CommandLineArguments();
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
