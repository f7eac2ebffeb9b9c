#include "app/cli/cli.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <thread>

#include "app/cli/console.h"
#include "app/common/interrupt.h"
#include "app/common/update_hold.h"
#include "image/image.h"

#ifndef ORVIK_PROGRAM_VERSION
#error "ORVIK_PROGRAM_VERSION must be defined by the build"
#endif

namespace orvik::cli {

std::string UsageText() {
  const std::string p = kProgramFileName;
  return "Usage: " + p + " [OPTION]... [-Emulate[:UNIT[,UNIT]...]] [-AdvMode]\n"
         "Update the Solvane device's firmware from the image built into this program.\n"
         "\n"
         "Without --list or --station, updates the first matching device at once.\n"
         "\n"
         "Options:\n"
         "  --no-mcu             leave the main controller (MCU) as it is\n"
         "  --no-usb             leave the USB controller as it is\n"
         "  --log                write every block and reply to the log\n"
         "  --list               list every attached interface with the device's IDs:\n"
         "                       path, USB serial number, report lengths, whether it\n"
         "                       opens (why not), and '*' on the one an update would\n"
         "                       choose\n"
         "  --device PATH        update the interface at PATH (as --list shows it)\n"
         "                       instead of the first match\n"
         "  --serial SERIAL      update the unit whose USB serial number is exactly\n"
         "                       SERIAL (as --list shows it); with --wait, wait for\n"
         "                       it. Two attached units with that serial are refused\n"
         "  --port PORT          update the unit on the USB port PORT (as --list shows\n"
         "                       it: 1-1.4.2 on Linux, a location path on Windows);\n"
         "                       with --wait, wait for a unit there\n"
         "  --wait[=SECONDS]     when no device is attached, wait for one, at most\n"
         "                       SECONDS (default 60; 0 waits without bound)\n"
         "  --station[=COUNT]    flashing station: update every unit as it arrives,\n"
         "                       several at once, each on its own; print a result\n"
         "                       line per unit (with its serial); a unit is taken\n"
         "                       again only after it was unplugged; Ctrl+C (or\n"
         "                       COUNT finished units) ends it once the units in\n"
         "                       flight are done, with a summary. On a terminal a\n"
         "                       live table shows the units in flight\n"
         "  --parallel=N         with --station, update at most N units at once\n"
         "                       (1 to 64, default 8; 1: one after another); more\n"
         "                       wait their turn in arrival order\n"
         "  --log-dir DIR        with --station, write each unit's log lines to\n"
         "                       DIR/SERIAL.log (a name made from the path for a\n"
         "                       unit without a serial); DIR must be a writable\n"
         "                       folder of your own\n"
         "  --slots FILE         with --station, update only units on the USB ports\n"
         "                       FILE names, one 'NAME PORT' a line, under their\n"
         "                       slots' names; a unit on another port is not a slot\n"
         "                       and is left alone (see the guide stations.md)\n"
         "  --teach FILE         learn the slots: plug a unit into each slot in turn;\n"
         "                       their ports become slots 1, 2, ... in FILE, written\n"
         "                       on Ctrl+C. Nothing is updated\n"
         "  --force              with --teach, replace an existing FILE\n"
         "  --record FILE|URI    record every unit updated or tried, as started before\n"
         "                       its first command and with its result: time, host,\n"
         "                       station, operator, path, serial, firmware versions\n"
         "                       and checksums, status, failure, message, duration.\n"
         "                       FILE.jsonl (JSON lines; any other name too), FILE.csv,\n"
         "                       FILE.db / .sqlite / .sqlite3 (SQLite, shared by the\n"
         "                       stations of one machine), or postgresql://HOST/DB\n"
         "                       (a server shared by a line; no password in the URI:\n"
         "                       PGPASSWORD or ~/.pgpass). See the guide stations.md\n"
         "  --skip-updated       with --record, pass over a unit whose latest finished\n"
         "                       run was a success with this firmware and the same\n"
         "                       --no-mcu/--no-usb choice. It trusts the serial\n"
         "                       number: only for units with serials of their own\n"
         "  --again              update every unit (the default; kept for scripts)\n"
         "  --station-name NAME  the station in the record (default: the host name)\n"
         "  --operator NAME      the operator in the record (default: empty)\n"
         "  --history            print the --record, newest first (with --serial: only\n"
         "                       that unit's runs): a table, or with --json JSON lines,\n"
         "                       or with --csv CSV\n"
         "  --json               one JSON object per line on standard output for every\n"
         "                       event (fields: event, path, serial, position, upper,\n"
         "                       elapsed, text, status, failure, message, ...; see\n"
         "                       the guide json.md)\n"
         "  -Emulate             update an emulated device instead of the real one\n"
         "  -Emulate:FAULT       ... that misbehaves: absent, or KIND@COMMAND[#N] with\n"
         "                       KIND nowrite, noreply, badreply, badecho or unplug and\n"
         "                       COMMAND StartUpdate, MCUErase, MCUWrite, MCUEnd,\n"
         "                       USBErase, USBWrite or USBEnd (badecho: only the write\n"
         "                       commands MCUWrite and USBWrite)\n"
         "  -Emulate:UNIT,...    several emulated devices (at most 64), named emulated:1,\n"
         "                       ...; UNIT*N: that unit N times (good*15,nowrite@MCUEnd);\n"
         "                       UNIT is good or FAULT, then /after=MS (plugged in MS ms\n"
         "                       after the unit before it left) and /leave=MS (unplugged\n"
         "                       MS ms after its last report) and /serial=TEXT (its\n"
         "                       serial number; by default EMU-0001, EMU-0002, ...)\n"
         "                       and /pull=MS (unplugged MS ms after it came, used or\n"
         "                       not) and /port=TEXT (its USB port; by default emu-1,\n"
         "                       emu-2, ...)\n"
         "  -AdvMode             accepted, as by the windowed updater\n"
         "  --version            show the program's and the firmware's versions\n"
         "  -h, --help           show this text\n"
         "\n"
         "Messages go to standard error. " + std::string(LogPlaceHelp()) + "\n"
         "\n"
         "Exit status:\n"
         "  0  update complete (--list: at least one interface listed; --station: every\n"
         "     unit completed)\n"
         "  1  update failed; the message names the failure's number (--station: a unit\n"
         "     failed); or the record could not take a unit's run\n"
         "  2  not started: no device, damaged image, bad option, another updater running,\n"
         "     a --record that cannot be opened or reached, a --slots FILE refused, a\n"
         "     --teach FILE that exists without --force\n"
         "\n"
         "Examples:\n"
         "  " + p + " --list\n"
         "  " + p + " --device " + ExampleDevicePath() + "\n"
         "  " + p + " --serial 0123456789AB --wait\n"
         "  " + p + " --wait=30 --json\n"
         "  " + p + " --station\n"
         "  " + p + " --station --record units.csv\n"
         "  " + p + " --station --parallel=16 --log-dir logs\n"
         "  " + p + " --port 1-1.4.2\n"
         "  " + p + " --teach fixture.slots\n"
         "  " + p + " --station --slots fixture.slots\n"
         "  " + p + " --station --skip-updated --record units.db --operator ana\n"
         "  " + p + " --history --record units.db --serial 0123456789AB\n"
         "  " + p + " --station=2 -Emulate:good/leave=500,badreply@MCUWrite/after=500\n";
}

std::string TryHelpLine() { return "Try '" + std::string(kProgramFileName) + " --help'."; }

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
    // A held stop signal (Ctrl+Z) only wakes the wait; it is answered at
    // the latest when the wait ends.
    app::WaitForInterrupt(left);
    if (app::PendingInterrupt() != 0 || app::HeldStopRequest() != 0) {
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

int RunDialog(CORVIKUpdaterDlg& dialog, TerminalWindow& window, const Options& options,
              const std::function<bool()>& started, const std::function<void(int status)>& finished) {
  dialog.OnInitDialog();
  if (window.Ended()) return kExitStartupFailed;
  if (started && !started()) return kExitUpdateFailed;

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
  // included; the program then ends with the run's status. A stop (Ctrl+Z)
  // stops it only then, and the machine does not go to sleep meanwhile.
  // Meanwhile the window's output is written by a thread of its own: the
  // worker never waits for the terminal or a pipe.
  UpdateSpan span(window);
  dialog.OnClickedUpdate();
  ServeTimer(dialog, window);
  // The worker may still be writing its last log line; no window call of
  // its can wait for this thread, so the join cannot block on it.
  dialog.WaitForWorker();
  const int status = dialog.LastRunResult() == 0 ? kExitCompleted : kExitUpdateFailed;
  if (finished) finished(status);
  span.End(status);
  return status;
}

UpdateSpan::UpdateSpan(TerminalWindow& window) : m_output(window.Output()) {
  m_hold.emplace(app::HoldScope::Update, [&window](const std::string& notHeld) {
    window.WriteError(std::string(kProgramFileName) + ": " + notHeld);
  });
  m_output.StartThread();
}

UpdateSpan::~UpdateSpan() {
  m_hold.reset();
  m_output.StopThread();
}

void UpdateSpan::End(int status) {
  // The hold first: a reader that never drains the output must not keep the
  // machine from sleeping, nor the program from ending, once the update's
  // work is done. Then what is still queued, for as long as its reader
  // takes; a signal now has its ordinary effect (SIGTERM ends the program,
  // SIGPIPE too when the reader has gone). A request to end the program that
  // the hold deferred ends it once the output is written, or earlier, when
  // the output has stood still for a while: its reader is not reading. A
  // slow reader (a console that takes a while to draw) is not a stalled
  // one, so the last line ("Update complete") is not cut. (A station, which
  // still defers, ends between units by itself.)
  m_hold.reset();
  using Clock = std::chrono::steady_clock;
  std::uint64_t written = m_output.EntriesWritten();
  Clock::time_point moved = Clock::now();
  while (!m_output.WaitUntilWritten(kOutputDrainPoll)) {
    const Clock::time_point now = Clock::now();
    if (const std::uint64_t count = m_output.EntriesWritten(); count != written) {
      written = count;
      moved = now;
    }
    if (app::PendingInterrupt() != 0 && app::CurrentInterruptPolicy() == app::InterruptPolicy::EndAtOnce &&
        now - moved >= kOutputStallBound) {
      app::EndProcessNow(status);
    }
  }
  m_output.StopThread();
}

}  // namespace orvik::cli
