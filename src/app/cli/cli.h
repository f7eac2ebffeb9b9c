// orvik-updater-cli: the updater dialog's behaviour run as a command. The
// start-up checks, messages and log lines are the dialog's own; running the
// command is the click on "Update".
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/cli/terminal_window.h"
#include "app/common/update_hold.h"
#include "image/resources.h"
#include "station/station.h"
#include "ui/updater_dlg.h"

namespace orvik::cli {

// Exit statuses, for scripts.
inline constexpr int kExitCompleted = 0;      // the update completed
inline constexpr int kExitUpdateFailed = 1;   // the update failed; its number is in the message
inline constexpr int kExitStartupFailed = 2;  // no device, damaged image, bad options, another instance

inline constexpr char kProgramFileName[] = "orvik-updater-cli";

// --wait without SECONDS waits this long for a device.
inline constexpr unsigned kDefaultWaitSeconds = 60;
// The longest --wait=SECONDS (a day); 0 waits without bound.
inline constexpr unsigned kMaxWaitSeconds = 86400;
// The most devices --station=COUNT takes before it ends by itself.
inline constexpr unsigned kMaxStationCount = 1000000;

// Written once to standard error when a request to end the program (Ctrl+C,
// SIGTERM, SIGHUP, a closed console) comes while the update runs.
inline constexpr char kInterruptNotice[] =
    "orvik-updater-cli: the update is running and cannot be interrupted; it will end by itself";

struct Options {
  bool noMcu = false;    // clear the "MCU" box: leave the main controller alone
  bool noUsb = false;    // clear the "USB" box: leave the USB controller alone
  bool log = false;      // check the "Log" box: detailed log lines
  bool help = false;     // --help / -h
  bool version = false;  // --version
  bool list = false;     // --list: show the matching interfaces, update nothing
  std::string device;    // --device PATH: update that interface only
  std::string serial;    // --serial SERIAL: update the interface with that serial number only
  std::string port;      // --port PORT: update the unit on that USB port only
  // --wait[=SECONDS]: wait this long for a device at start (0: no bound).
  std::optional<unsigned> waitSeconds;
  bool station = false;  // --station[=COUNT]: update one device after another
  std::optional<unsigned> stationCount;  // end by itself after this many devices
  // --parallel=N: at most this many units updated at once at a station.
  unsigned parallel = station::kDefaultParallel;
  bool parallelGiven = false;
  std::string logDir;    // --log-dir DIR: each unit's log lines in DIR/SERIAL.log
  bool json = false;     // --json: events as JSON lines on standard output
  std::string record;    // --record FILE|URI: the record of every unit run
  bool again = false;    // --again: the default (every unit is updated); kept for scripts
  bool skipUpdated = false;  // --skip-updated: pass over units the record shows updated
  std::string stationName;   // --station-name NAME: the record's station (default: the host name)
  std::string operatorName;  // --operator NAME: the record's operator
  bool history = false;  // --history: print the record, newest first
  bool csv = false;      // --csv: --history as CSV
  std::string slots;     // --slots FILE: the station takes only units on FILE's ports
  std::string teach;     // --teach FILE: learn the slots' ports into FILE, update nothing
  bool force = false;    // --force: --teach replaces an existing FILE
  std::string error;     // not empty: the first argument not understood
};

// `arguments` holds the program's path first. Besides the options above it
// accepts "-AdvMode", "-Emulate" and "-Emulate:..." (each compared whole and
// case-sensitively; what follows "-Emulate:" is checked when the device is
// chosen). Options that cannot go together are refused with a reason.
Options ParseOptions(const std::vector<std::string>& arguments);

// The text of --help. Its log place and example paths are this platform's.
std::string UsageText();

// The line after a bad option's message: "Try 'orvik-updater-cli --help'."
std::string TryHelpLine();

// --version: the program's version, the dialog's caption with the version
// text, and the firmware versions of the embedded image ("MCU = Y1-2, USB =
// Y0-a"). Writes no log line. Returns kExitCompleted, or kExitStartupFailed
// after writing the dialog's message when the version text or the image is
// missing or damaged.
int PrintVersion(std::ostream& out, std::ostream& err, const Resources& resources);

// Runs the dialog as a command: OnInitDialog (an ending during start-up gives
// kExitStartupFailed), the options' check states, one update, and the update
// timer served on this thread until the run is over. Returns the exit status.
// From the click on "Update" until the worker has ended, requests to end the
// program are deferred (see interrupt.h); before and after, they end it.
// `started`, when given, is called once start-up has succeeded, before the
// update begins, and may refuse the run (it returns false: RunDialog then
// returns kExitUpdateFailed without sending a command). `finished`, when given, is called with the exit status once
// the worker has written its last log line, still inside the hold: the
// update's own last words (a record's line) are part of the update. Whatever
// it writes to the terminal goes through the window.
//
// The update ends in this order (EndUpdate in cli.cpp): the worker's last log
// line, `finished`, the hold's end (from then on every signal has its
// ordinary effect), and only then the output still queued, written on this
// thread for as long as its reader takes.
int RunDialog(CORVIKUpdaterDlg& dialog, TerminalWindow& window, const Options& options,
              const std::function<bool()>& started = {}, const std::function<void(int status)>& finished = {});

// While the update runs, the loop that stands in for a message loop: calls
// OnTimer every period while timer 0 is started, and returns once the timer
// is stopped and the dialog is no longer busy. Checks this often whether the
// worker has started the timer yet. Answers the first deferred request to end
// the program with kInterruptNotice on standard error.
inline constexpr std::chrono::milliseconds kTimerStartPoll{10};
void ServeTimer(CORVIKUpdaterDlg& dialog, TerminalWindow& window);

// How often UpdateSpan::End looks for a request to end the program while the
// output is being written out, and how long the output may stand still
// (its reader taking nothing) with such a request pending before the
// program ends without the rest of it.
inline constexpr std::chrono::milliseconds kOutputDrainPoll{50};
inline constexpr std::chrono::milliseconds kOutputStallBound{2000};

// The span of one update on the command line: the update's hold
// (app::UpdateHold) and the window's output thread, taken together and
// ended in one order by End: the hold first, then the output still queued.
// Destroyed without End (an exception), it ends both in the same order.
class UpdateSpan {
 public:
  explicit UpdateSpan(TerminalWindow& window);
  ~UpdateSpan();
  UpdateSpan(const UpdateSpan&) = delete;
  UpdateSpan& operator=(const UpdateSpan&) = delete;
  // Ends the span after a run that ends the program with `status`: the
  // output still queued is written, however slow its reader, for as long
  // as it moves. Should it stand still for kOutputStallBound with a request
  // to end the program pending (a terminal held with Ctrl+S, a pipe nobody
  // reads), the program ends with `status` without the rest, after putting
  // the console back as it was (app::EndProcessNow).
  void End(int status);

 private:
  OutputWriter& m_output;
  std::optional<app::UpdateHold> m_hold;
};

}  // namespace orvik::cli
