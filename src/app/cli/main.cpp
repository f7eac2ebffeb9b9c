// orvik-updater-cli: the updater on a terminal, for automation and machines
// without a display. Same start-up as the windowed updaters (one instance at
// a time, the log beside the executable, "ORVIK Updater" first), then one
// update at once (or a listing, or a flashing station); the exit status
// tells a script how it went.
#include <iostream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/cli/cli.h"
#include "app/cli/commands.h"
#include "app/cli/console.h"
#include "app/common/interrupt.h"
#include "app/cli/json_events.h"
#include "app/cli/terminal_window.h"
#include "app/common/app_common.h"
#include "app/common/library_search.h"
#include "emulator/fault.h"
#include "image/resources.h"
#include "log/log.h"
#include "ui/updater_dlg.h"

namespace {

// The process-wide log: constructed before main runs, it makes itself g_pLog,
// and it is destroyed after main has returned, closing the file.
CLog g_log;

}  // namespace

int main(int argc, char** argv) {
  using namespace orvik;

  // Before anything can load a DLL: none from the program's folder.
  app::RestrictLibrarySearchToSystem();
  cli::PrepareConsole();
  // Until the update starts, Ctrl+C, SIGTERM, SIGHUP and the other signals
  // that end a program end it at once (130, 143, 129, ...); RunDialog's hold
  // defers them while the update runs. SIGXFSZ is ignored throughout.
  app::InstallInterruptHandlers();
  const std::vector<std::string> arguments = cli::ProgramArguments(argc, argv);
  const cli::Options options = cli::ParseOptions(arguments);
  // A bad option: what is wrong on one line, and where the usage is; the
  // usage itself only with --help, so the error stays in sight.
  if (!options.error.empty()) {
    std::cerr << cli::kProgramFileName << ": " << options.error << '\n' << cli::TryHelpLine() << '\n';
    return cli::kExitStartupFailed;
  }
  if (options.help) {
    std::cout << cli::UsageText();
    return cli::kExitCompleted;
  }
  // The image and version text are compiled into this program on every
  // platform (the Windows build's resources hold only its manifest).
  static const TableResources resources(EmbeddedResourceTable());
  if (options.version) return cli::PrintVersion(std::cout, std::cerr, resources);
  // Reads the record only: no lock, no log, no device.
  if (options.history) return cli::PrintHistory(options, std::cout, std::cerr);

  // --json: every event, start-up failures included, as a line of JSON.
  std::unique_ptr<cli::EventStream> events;
  if (options.json) events = std::make_unique<cli::EventStream>(std::cout);
  const auto failStartup = [&](const std::string& text) {
    std::cerr << text << '\n';
    if (events) {
      events->Emit("error", {{"text", text}});
      events->Emit("result", {{"status", cli::kExitStartupFailed}, {"failure", nullptr}, {"message", text}});
    }
    return cli::kExitStartupFailed;
  };

  // A malformed -Emulate:... is a bad option too: said before anything else,
  // while another updater runs as well.
  const EmulateOption emulate = ParseEmulateOption(std::span<const std::string>(arguments));
  if (!emulate.error.empty()) {
    const int status = failStartup(std::string(cli::kProgramFileName) + ": " + emulate.error);
    std::cerr << cli::TryHelpLine() << '\n';
    return status;
  }

  // Held until main returns; shared with the windowed updater, so a single
  // update runs beside no other updater. Stations, and what updates nothing
  // (--list, --teach), run side by side: the device lock keeps each unit to
  // one of them. A refused instance writes no log line.
  const bool shared = options.station || options.list || !options.teach.empty();
  const std::unique_ptr<app::SingleInstance> singleInstance =
      app::SingleInstance::Acquire(shared ? app::InstanceRole::Shared : app::InstanceRole::Alone);
  if (!singleInstance) {
    return failStartup(std::string(cli::kProgramFileName) + ": another ORVIK updater is running" +
                       (shared ? " (a single update or the window; stations run side by side, but not beside it): "
                                 "start this once it has ended"
                               : ""));
  }

  app::StartProgramLog(g_log, *singleInstance);

  app::DeviceChoice choice = app::ChooseDevice(arguments);
  if (!choice.device) {
    // A malformed -Emulate:...
    g_log.Write(choice.error);
    return failStartup(choice.error);
  }

  cli::CommandEnvironment env{.device = *choice.device,
                              .resources = resources,
                              .arguments = arguments,
                              .options = options,
                              .out = std::cout,
                              .err = std::cerr,
                              .interactive = cli::StdoutIsTerminal(),
                              .events = events.get()};
  return cli::RunCommand(env);
}
