#include "app/cli/cli.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <thread>

#include "app/cli/interrupt.h"
#include "image/image.h"

#ifndef ORVIK_PROGRAM_VERSION
#error "ORVIK_PROGRAM_VERSION must be defined by the build"
#endif

namespace orvik::cli {

Options ParseOptions(const std::vector<std::string>& arguments) {
  Options options;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--no-mcu") {
      options.noMcu = true;
    } else if (argument == "--no-usb") {
      options.noUsb = true;
    } else if (argument == "--log") {
      options.log = true;
    } else if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if (argument == "-AdvMode" || argument == "-Emulate" || argument.starts_with("-Emulate:")) {
      // Read by the dialog and by the device choice.
    } else {
      options.error = "unknown option '" + argument + "'";
      break;
    }
  }
  return options;
}

std::string UsageText() {
  return std::string("Usage: ") + kProgramFileName +
         " [--no-mcu] [--no-usb] [--log] [-Emulate[:FAULT]] [-AdvMode]\n"
         "       " + kProgramFileName + " --version | --help\n"
         "\n"
         "Updates the device's firmware from the image built into this program,\n"
         "and starts at once.\n"
         "\n"
         "  --no-mcu          leave the main controller (MCU) as it is\n"
         "  --no-usb          leave the USB controller as it is\n"
         "  --log             write every block and reply to the log\n"
         "  -Emulate          update an emulated device instead of the real one\n"
         "  -Emulate:FAULT    ... that misbehaves: absent, or KIND@COMMAND[#N] with\n"
         "                    KIND nowrite, noreply, badreply, badecho or unplug and\n"
         "                    COMMAND StartUpdate, MCUErase, MCUWrite, MCUEnd,\n"
         "                    USBErase, USBWrite or USBEnd\n"
         "  -AdvMode          accepted, as by the windowed updater\n"
         "  --version         show the program's and the firmware's versions\n"
         "  --help            show this text\n"
         "\n"
         "Messages go to standard error. The log is written beside the program.\n"
         "Exit status: 0 update complete, 1 update failed (the message names the\n"
         "failure's number), 2 not started (no device, damaged image, bad option,\n"
         "another updater running).\n";
}

int PrintVersion(std::ostream& out, std::ostream& err, const Resources& resources) {
  out << kProgramFileName << ' ' << ORVIK_PROGRAM_VERSION << '\n';
  int status = kExitCompleted;

  const ResourceLookup version = resources.Find(kVerResourceType, kVerResourceId);
  if (version.status == ResourceStatus::Found) {
    out << kDialogCaption << VersionTextToUtf8(version.bytes) << '\n';
  } else {
    err << kCantFindVersionMessage << '\n';
    status = kExitStartupFailed;
  }

  // The checks of the dialog's start-up, without their log lines.
  const ResourceLookup image = resources.Find(kBinResourceType, kBinResourceId);
  if (image.status != ResourceStatus::Found) {
    err << "Can't find update data, this updater is damage!\n";
    return kExitStartupFailed;
  }
  ImageInfo info;
  if (image.bytes.size() != kImageSize ||
      !VerifyImage(image.bytes.first<kImageSize>(), info, [](const std::string&) {})) {
    err << "Update data is damage!\n";
    return kExitStartupFailed;
  }
  char line[64];
  std::snprintf(line, sizeof line, "MCU = Y%x-%x, USB = Y%x-%x", info.mcuVersion >> 4, info.mcuVersion & 0x0F,
                info.usbVersion >> 4, info.usbVersion & 0x0F);
  out << line << '\n';
  return status;
}

namespace {

// Sleeps until `until`. The first request to end the program that comes
// meanwhile (they are deferred while the update runs) is answered with the
// notice, at once; after that the requests are not watched any more.
void SleepAnsweringRequests(TerminalWindow::Clock::time_point until, TerminalWindow& window, bool& noticeShown) {
  if (!noticeShown) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - TerminalWindow::Clock::now());
    if (WaitForInterrupt(left)) {
      window.WriteError(kInterruptNotice);
      noticeShown = true;
    }
  }
  std::this_thread::sleep_until(until);
}

}  // namespace

void ServeTimer(CORVIKUpdaterDlg& dialog, TerminalWindow& window) {
  using Clock = TerminalWindow::Clock;
  bool noticeShown = false;
  // The ticks follow the timer's start: the first comes one period after it.
  bool following = false;
  Clock::time_point followedStart{};
  Clock::time_point nextTick{};
  for (;;) {
    const std::optional<Clock::time_point> started = window.TimerStartedAt();
    if (!started) {
      // The timer is stopped once a tick has found the dialog idle; before
      // that, the worker has yet to start it.
      if (!dialog.IsBusy()) return;
      following = false;
      window.WaitForTimerStart(kTimerStartPoll);
      SleepAnsweringRequests(Clock::now(), window, noticeShown);
      continue;
    }
    const std::chrono::milliseconds period(std::max(window.TimerPeriodMs(), 1u));
    const Clock::time_point start = started.value_or(Clock::time_point{});
    if (!following || start != followedStart) {
      following = true;
      followedStart = start;
      nextTick = start + period;
    }
    SleepAnsweringRequests(nextTick, window, noticeShown);
    // Like a Win32 timer, ticks missed while this thread was held up are not
    // made up one by one: the next comes a period from now.
    nextTick += period;
    const Clock::time_point now = Clock::now();
    if (nextTick <= now) nextTick = now + period;
    if (window.TimerStartedAt()) dialog.OnTimer(kUpdateTimerId);
  }
}

int RunDialog(CORVIKUpdaterDlg& dialog, TerminalWindow& window, const Options& options) {
  dialog.OnInitDialog();
  if (window.Ended()) return kExitStartupFailed;

  // The check boxes as a user would set them before clicking "Update".
  if (options.noMcu) window.SetCheck(IDC_MCU, false);
  if (options.noUsb) window.SetCheck(IDC_USB, false);
  if (options.log) {
    window.SetCheck(IDC_LOG, true);
    dialog.OnClickedLog();
  }

  window.WriteLine(window.GetCaption());
  // From the click on, a request to end the program (Ctrl+C, a closed
  // terminal, kill) waits for the run's end, the worker's last log line
  // included; the program then ends with the run's status.
  SetInterruptPolicy(InterruptPolicy::Defer);
  dialog.OnClickedUpdate();
  ServeTimer(dialog, window);
  // The worker may still be writing its last log line; no window call of its
  // can wait for this thread, so the join cannot block on it.
  dialog.WaitForWorker();
  SetInterruptPolicy(InterruptPolicy::EndAtOnce);
  return dialog.LastRunResult() == 0 ? kExitCompleted : kExitUpdateFailed;
}

}  // namespace orvik::cli
