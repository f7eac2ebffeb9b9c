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

#include "app/cli/options.h"
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

// Written once to standard error when a request to end the program (Ctrl+C,
// SIGTERM, SIGHUP, a closed console) comes while the update runs.
inline constexpr char kInterruptNotice[] =
    "orvik-updater-cli: the update is running and cannot be interrupted; it will end by itself";


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
