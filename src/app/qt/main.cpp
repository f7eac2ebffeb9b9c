// orvik-updater: the Linux front end. One instance per user, the log beside
// the executable (or in the user's state folder), the real device or the
// emulated one, and the updater dialog as a Qt dialog.
#include <QApplication>
#include <QMessageBox>
#include <QSessionManager>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/common/app_common.h"
#include "app/common/interrupt.h"
#include "app/qt/help_text.h"
#include "app/qt/qt_dialog_window.h"
#include "app/qt/quit_signals.h"
#include "app/cli/station_setup.h"
#include "app/qt/station_window.h"
#include "emulator/fault.h"
#include "image/resources.h"
#include "log/log.h"
#include "ui/updater_dlg.h"

namespace {

// --station: the station window over the station engine. The set-up's
// faults (options, log folder, slot map, record) are said in a message box,
// and on standard error, before anything is sent to a unit.
int RunStationWindow(QApplication& application, const std::vector<std::string>& arguments,
                     orvik::app::DeviceChoice& device) {
  using namespace orvik;
  const std::unique_ptr<cli::StationSetup> setup =
      cli::PrepareStationWindow(arguments, ProgramResources(), device.emulated);
  if (!setup->error.empty()) {
    std::fprintf(stderr, "orvik-updater: %s\n", setup->error.c_str());
    LogLine("Station not started: " + setup->error);
    QMessageBox box(QMessageBox::Critical, QStringLiteral("ORVIK Station"),
                    QStringLiteral("The station cannot start: ") + QString::fromStdString(setup->error),
                    QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return 2;
  }
  qt::StationWindowSettings settings;
  settings.slots = setup->config.slots;
  settings.slotsFile = setup->options.slots;
  settings.recordShown = setup->recordShown;
  settings.logDir = setup->options.logDir;
  settings.parallel = setup->config.parallel;
  settings.options = setup->config.options;
  settings.count = setup->config.count;
  settings.advMode = setup->advMode;
  settings.locked = setup->locked;

  // Destroyed in reverse order: the station first (no unit runs by then:
  // the window closes only once it has ended), then the window.
  qt::StationWindow window(std::move(settings));
  station::Station engine(*device.device, ProgramResources(), setup->config, window.Poster(), window, window);
  window.Attach(engine);
  LogLine("Station: at most " + std::to_string(setup->config.parallel) + " units at once");
  if (!setup->recordNotice.empty()) LogLine("Station: " + setup->recordNotice);

  // A signal ends the station once the units in flight are done; the
  // session's logoff or shutdown is refused while units are updated.
  const qt::QuitSignals quitSignals([&window](int) { window.RequestClose(); });
  QObject::connect(&application, &QGuiApplication::commitDataRequest, &window, [&window](QSessionManager& manager) {
    if (!window.Busy()) return;
    manager.allowsErrorInteraction();
    manager.cancel();
  });
  window.show();
  engine.Start();
  QApplication::exec();
  engine.Stop();
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  // A log write past `ulimit -f` fails instead of ending the program.
  orvik::app::IgnoreFileSizeLimitSignal();
  // Answered before anything else: no window, no lock, no log line.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(orvik::qt::kHelpText, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("orvik-updater %s\n", ORVIK_PROGRAM_VERSION);
      return 0;
    }
  }

  // A malformed -Emulate:... is said before anything else, while another
  // updater runs as well.
  const std::vector<std::string> given(argv, argv + argc);
  if (const orvik::EmulateOption emulate = orvik::ParseEmulateOption(std::span<const std::string>(given));
      !emulate.error.empty()) {
    std::fprintf(stderr, "orvik-updater: %s\n", emulate.error.c_str());
    return 2;
  }

  // Without a display Qt's platform plugin would abort the program with its
  // own text: say what is missing and what to use instead.
  if (const std::optional<std::string> missing = orvik::qt::MissingDisplay(std::getenv)) {
    std::fprintf(stderr, "orvik-updater: %s\n", missing->c_str());
    return 2;
  }

  // A second instance ends at once: no window, no line in the log. Stations
  // (this window's and the command line's) run side by side, kept apart by
  // the device lock; not beside a dialog or a single update.
  const bool station = orvik::cli::WantsStationWindow(given);
  const std::unique_ptr<orvik::app::SingleInstance> instance = orvik::app::SingleInstance::Acquire(
      station ? orvik::app::InstanceRole::Shared : orvik::app::InstanceRole::Alone);
  if (!instance) {
    return 0;
  }

  // The dialog sees the command line as given, the program's path first;
  // QApplication below removes the options it takes for itself from argv.
  const std::vector<std::string> arguments(argv, argv + argc);

  CLog log;  // registers itself as g_pLog
  orvik::app::StartProgramLog(log, *instance);

  orvik::app::DeviceChoice device = orvik::app::ChooseDevice(arguments);
  if (!device.device) {
    std::fprintf(stderr, "orvik-updater: %s\n", device.error.c_str());
    return 2;
  }

  QApplication application(argc, argv);
  QApplication::setWindowIcon(orvik::qt::ProgramIcon());
  if (orvik::cli::WantsStationWindow(arguments)) return RunStationWindow(application, arguments, device);

  // Destroyed in reverse order: the dialog first, which joins the worker; the
  // window's Run() has cancelled its pending calls by then, so the worker can
  // finish without the user-interface thread.
  orvik::qt::QtDialogWindow window;
  orvik::CORVIKUpdaterDlg dialog(window, *device.device, orvik::ProgramResources(), arguments);
  window.Attach(dialog);

  // Requests to quit from outside the window follow the dialog's own rule: a
  // running update is never cut off. SIGINT, SIGTERM, SIGHUP and the other
  // signals that end a program by default wait for the run's end and then
  // close the window; the desktop session's logoff or shutdown is refused
  // while the update runs.
  const orvik::qt::QuitSignals quitSignals([&window](int) { window.RequestClose(); });
  QObject::connect(&application, &QGuiApplication::commitDataRequest, [&dialog](QSessionManager& manager) {
    if (!dialog.IsBusy()) return;
    // Asks to interact first, as the session protocol wants before a cancel.
    manager.allowsErrorInteraction();
    manager.cancel();
  });
  // What a running update holds (stop signals, sleep, the lid) the window
  // holds, from the click on "Update" until the worker's last step.
  window.Run();
  return 0;
}
