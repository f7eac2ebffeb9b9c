// What a running update holds. A controller left half-written may not start
// again, so from the click on "Update" until the worker has written its last
// log line nothing on the machine may cut the update off or hold it up:
//
//   - requests to end the program (signals, Ctrl+C, a closed terminal) wait
//     for the run's end, and stop signals (Ctrl+Z) stop it only then
//     (interrupt.h);
//   - sleep, idle sleep, the lid switch, shutdown and the power, suspend and
//     hibernate keys are held off: Linux: systemd-logind inhibitor locks
//     (mode "block") through sd-bus; Windows: a power request (system
//     required);
//   - Windows: a logoff or shutdown names the running update in its list of
//     programs that block it (a shutdown block reason on the dialog).
//
// Every front end takes one UpdateHold for that span (the windowed ones
// through HoldWhileBusy); none holds a piece of it on its own. A flashing
// station takes a Station hold for its whole life and an Update hold for
// each unit.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace orvik::app {

// Who holds the locks and why, as the system's lists show them.
inline constexpr char kHoldWho[] = "orvik-updater";
inline constexpr char kHoldWhy[] = "Firmware update in progress";

enum class HoldScope {
  // A flashing station's whole life: idle sleep is held off, so that an
  // unattended station does not fall asleep between units, and requests to
  // end the program are deferred (the station ends between units).
  Station,
  // One update: everything above.
  Update,
};

// Something held until destroyed.
class Held {
 public:
  virtual ~Held() = default;
};

// A window the hold names to the session (Windows: the dialog's HWND, for
// the shutdown block reason); null for none.
using HoldWindow = void*;

// What the system was asked to hold off, and what it would not.
struct SleepLocks {
  std::unique_ptr<Held> held;          // null when nothing is held
  std::vector<std::string> notHeld;    // the names of the locks not held (Linux: logind's; Windows: "sleep")
  std::string reason;                  // why, in the system's words
  bool notAnswered = false;            // the system did not answer within kSystemCallBoundMs
};

// The platform's part (update_hold_linux.cpp, update_hold_win32.cpp).
//
// Holds off what `scope` asks for. Never fails the caller, and never waits
// long: each call to the system is bounded (kSystemCallBoundMs). When the
// system refuses some of it, holds what it allows and names what it could
// not hold; when there is nothing to ask (no system bus, no logind) holds
// nothing and names nothing.
SleepLocks AskForSleepLocks(HoldScope scope);
// The same, with what was not held as one sentence ("the system did not let
// the update hold off sleep, shutdown (Permission denied)"), empty when all
// was held. Null when nothing is held.
std::unique_ptr<Held> HoldOffSleep(HoldScope scope, std::string& notHeld);
// A logind (or other system service) that did not answer is not asked again
// for this long: a station of many units would otherwise lose a bound each.
inline constexpr std::chrono::seconds kNotAnsweredRetry{60};

// What a front end is told about the locks the system would not let it
// hold: each lock once, and again only after it has been held in between.
// A station keeps one for its whole life, for its own hold and each unit's.
// Main thread.
class HoldNotice {
 public:
  explicit HoldNotice(std::function<void(const std::string&)> say = {}) : m_say(std::move(say)) {}
  // Hears what one hold asked for and got; says the locks newly not held
  // through `say`, or the notice's own when that is empty.
  void Heard(const std::vector<std::string>& asked, const SleepLocks& got,
             const std::function<void(const std::string&)>& say = {});

 private:
  std::function<void(const std::string&)> m_say;
  std::set<std::string> m_notHeld;  // said, and not held since
};

// The names of the locks `scope` asks for (platform part).
std::vector<std::string> SleepLockNames(HoldScope scope);

// Windows: a shutdown block reason (kHoldWhy) on `window`; null when it
// could not be set, or on Linux.
std::unique_ptr<Held> BlockSessionEnd(HoldWindow window);

// The bound of each call the hold makes to the system (a bus call to logind).
inline constexpr int kSystemCallBoundMs = 2000;

class UpdateHold {
 public:
  // Takes everything `scope` holds; `notice` (may be null) hears what the
  // system would not let the program hold off. Main thread; an Update hold
  // may be taken and let go any number of times while a Station hold lives.
  explicit UpdateHold(HoldScope scope, HoldNotice* notice = nullptr, HoldWindow window = nullptr);
  // The same with the process's own notice, which says through `say` what
  // was not held (each lock once per change, across all such holds).
  UpdateHold(HoldScope scope, const std::function<void(const std::string&)>& say, HoldWindow window = nullptr);
  // Lets everything go, the sleep lock first; a stop signal that came
  // meanwhile then stops the process, and a request to end the program
  // stays pending for the front end's loop.
  ~UpdateHold();
  UpdateHold(const UpdateHold&) = delete;
  UpdateHold& operator=(const UpdateHold&) = delete;

 private:
  struct Policy;
  void Take(HoldScope scope, HoldNotice* notice, const std::function<void(const std::string&)>& say,
            HoldWindow window);
  std::unique_ptr<Policy> m_policy;
  std::unique_ptr<Held> m_sleep;
  std::unique_ptr<Held> m_sessionEnd;
};

// For a front end with an event loop (the windowed programs): holds an
// Update hold while the dialog is busy. Call Follow at every change the
// loop can see (the click on "Update", each tick of the update's timer, a
// session's end, the window's destruction).
class HoldWhileBusy {
 public:
  void Follow(bool busy, HoldWindow window = nullptr);
  bool Holding() const { return m_hold != nullptr; }

 private:
  std::unique_ptr<UpdateHold> m_hold;
};

}  // namespace orvik::app
