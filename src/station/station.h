// The flashing station's engine: watches the units attached, decides which may
// start, runs each unit's update on a worker of its own, and reports typed
// states and results. It knows no terminal, no JSON, no window toolkit and no
// option names: the command line renders its events as result lines, a live
// table or JSON; the windowed programs render the same events as a grid of
// slot tiles.
//
// A Station lives as long as its front end and owns its thread. Start() lets
// units start; Stop() lets no more start, the units in flight finish, and the
// end comes as an event. Its unit table outlives a Stop: a unit that had its
// turn stays "done, unplug to go on" across Stop and Start and is never
// flashed again while it stays attached.
//
// Each unit's run is the dialog's own (start-up, messages, failure numbers,
// log lines), over a device handle of its own with its own wait bounds, on
// one thread of its own. At most `parallel` run at once; units that arrive
// meanwhile wait their turn in arrival order. One unit's failure, removal or
// silence never holds up another.
//
// Threads: the public members may be called from any thread. Every
// StationEvents call reaches the front end through the Poster it gave, so on
// its own thread; the engine never waits for the front end, except for the
// hold (HoldMachine), which it asks synchronously before a unit's first
// command. Owner of the state behind the engine's one lock: the engine's
// thread writes it, Snapshot() reads it.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hid/hid_device.h"
#include "image/resources.h"
#include "record/record_port.h"

namespace orvik::station {

class UnitLogFolder;

using Unit = record::Unit;
using Record = record::Recorder;

// The most units a station runs at once, and its default.
inline constexpr unsigned kMaxParallel = 64;
inline constexpr unsigned kDefaultParallel = 8;

// How often the engine looks at the units attached.
inline constexpr std::chrono::milliseconds kDefaultPoll{250};
// How often a running unit's progress is handed on at most.
inline constexpr std::chrono::milliseconds kProgressPeriod{50};

// Which part of its run a running unit is in.
enum class Phase { Starting, Mcu, Usb, Ending };

// The state of a unit, or of a slot without one.
enum class UnitState {
  EmptySlot,        // a slot of the slot map with no unit in it
  Waiting,          // attached, waiting for its turn (or for Start)
  Running,          // being updated
  Passed,           // its update completed; unplug to go on
  Failed,           // its update (or its start) failed; unplug to go on
  PassedOver,       // not run: the record shows it updated; unplug to go on
  InUse,            // another updater holds it: passed over until it is unplugged
  Unusable,         // present but cannot be run (permissions, its start-up failed)
  AwaitingRemoval,  // skipped by the operator; unplug to go on
};

// True for the states in which a unit has had its turn and is not run again
// until it is unplugged.
bool HadItsTurn(UnitState state);

// A running unit's progress, from the run itself.
struct Progress {
  Phase phase = Phase::Starting;
  int perMille = 0;                   // 0..1000 of the whole run
  std::chrono::milliseconds elapsed{0};  // since its first command
  bool operator==(const Progress&) const = default;
};

// How a unit's turn ended.
enum class Outcome { Passed, Failed, PassedOver };

struct UnitResult {
  bool flashed = false;     // its first command was sent: the device was changed
  bool completed = false;   // the update completed ("Update complete")
  bool passedOver = false;  // not run: the record shows it updated
  int failure = 0;          // the failure's number; 0 when none
  std::string message;      // the dialog's last message; why it was not run
  std::string updatedAt;    // passed over: the time of the run the record shows
  std::string time;         // when its turn started: local ISO 8601 with UTC offset
  std::chrono::system_clock::time_point startedAt{};
  std::chrono::milliseconds duration{0};  // measured once, as recorded
  bool recorded = true;     // false: the record did not take its start or its result
  std::string recordError;  // why not, when not recorded
  std::string runId;        // the run's id in the record

  Outcome outcome() const {
    return passedOver ? Outcome::PassedOver : completed ? Outcome::Passed : Outcome::Failed;
  }
  bool operator==(const UnitResult&) const = default;
};

// The station's one counting rule: a completed update is passed (whether or
// not the record took it: the unit is good, the record's failure is said
// apart), anything else that had a turn is failed, a unit the record shows
// updated is passed over.
struct Tally {
  unsigned passed = 0;
  unsigned failed = 0;
  unsigned passedOver = 0;
  std::map<int, unsigned> failures;  // failure number -> count

  void Count(const UnitResult& result);
  unsigned Finished() const { return passed + failed + passedOver; }
  // The yield: passed of passed and failed, 0..1; nothing before any. (Not
  // named Yield: windows.h defines that as a macro.)
  std::optional<double> PassShare() const;
  bool operator==(const Tally&) const = default;
};

// Everything a front end shows of one unit.
struct UnitView {
  Unit unit;
  UnitState state = UnitState::Waiting;
  Progress progress;                 // while Running
  std::optional<UnitResult> result;  // Passed, Failed, PassedOver
  std::string problem;               // InUse, Unusable, AwaitingRemoval: why
  std::chrono::system_clock::time_point since{};  // when it entered this state
  bool operator==(const UnitView&) const = default;
};

// Why a station's run ended.
enum class EndReason {
  Stopped,         // Stop() was called
  CountReached,    // StationConfig::count units had their turn
  RecordFailure,   // the record did not take a unit's result
  StartupFailure,  // the devices give no handle per unit
};

enum class RunState { Stopped, Running, Stopping };

struct StationSummary {
  Tally tally;
  EndReason endedBy = EndReason::Stopped;
  bool recordFailed = false;  // a unit's start or result was not recorded
};

// Everything a window opened later needs: equal to the state built from the
// events since the station was made.
struct StationSnapshot {
  RunState state = RunState::Stopped;
  unsigned parallel = kDefaultParallel;
  std::vector<std::string> slots;  // the slot map's names in its order; empty without one
  std::vector<UnitView> units;     // attached units, in arrival order
  Tally total;
  std::map<std::string, Tally> bySlot;  // by slot name, or by port without a slot map
  std::chrono::system_clock::time_point countingSince{};  // the counters' start (ResetCounters)
  bool operator==(const StationSnapshot&) const = default;
};

// A notice of the station's own, for the operator and the program's log.
struct Notice {
  enum class Kind {
    SharedSerial,     // several units carry `serial`: none is passed over
    NoThread,         // no thread for another unit now: it waits
    LogNotWritten,    // a unit's own log could not be opened
    RecordNotStarted, // the record did not take a unit's start: not run
    NotASlot,         // a unit on a port the slot map does not name: left alone, not shown
    Record,           // the record's own word on a unit's run (its result kept in the spool)
  };
  Kind kind = Kind::NotASlot;
  std::string text;    // a sentence without device text (the front end adds it, escaped)
  std::string serial;  // SharedSerial: the serial; raw device bytes
  Unit unit;           // the unit it is about; id 0 for none
};

// What a front end hears. Every call comes on the front end's thread, through
// its Poster, in the order the engine made them.
class StationEvents {
 public:
  virtual ~StationEvents() = default;
  // Every change of a unit's view: arrival, state, progress (coalesced to
  // kProgressPeriod), result.
  virtual void UnitChanged(const UnitView& view) { (void)view; }
  // Its turn is over; `total` and `slot` are the tallies with it counted.
  virtual void Finished(const UnitView& view, const Tally& total, const Tally& slot) {
    (void)view, (void)total, (void)slot;
  }
  // A message box of the unit's dialog ("Update complete", a failure).
  virtual void Message(const UnitView& view, const std::string& text) { (void)view, (void)text; }
  // It was unplugged: it leaves the table.
  virtual void Gone(const UnitView& view) { (void)view; }
  // No unit is running or waiting, and none has been seen since the last
  // call: the station waits for one.
  virtual void Waiting() {}
  virtual void StateChanged(RunState state) { (void)state; }
  // The run is over (after Stop, the count, a record failure): no unit runs.
  virtual void Ended(const StationSummary& summary) { (void)summary; }
  virtual void Said(const Notice& notice) { (void)notice; }
  // The counters were reset (ResetCounters).
  virtual void CountersReset(const StationSnapshot& snapshot) { (void)snapshot; }
};

// What the engine asks of its front end around units' updates. HoldMachine
// is called (through the poster, on the front end's thread) before a unit's
// first command, and the engine waits for it to return; LetGo once no unit
// runs. A front end holds there what an update needs: requests to end the
// program deferred, sleep, logoff and shutdown held off.
class StationHost {
 public:
  virtual ~StationHost() = default;
  virtual void HoldMachine() {}
  virtual void LetGo() {}
};

// Runs `task` on the front end's thread: the CLI runs it inline in its loop,
// Qt queues it, Win32 posts a message. Never blocks for long.
using Poster = std::function<void(std::function<void()> task)>;

// What a unit's run is given; changeable while the station runs (takes
// effect for units that start afterwards).
struct UnitOptions {
  bool mcu = true;          // the "MCU" and "USB" boxes
  bool usb = true;
  bool verboseLog = false;  // the "Log" box: every block in the unit's log
  bool operator==(const UnitOptions&) const = default;
};

struct StationConfig {
  unsigned parallel = kDefaultParallel;  // 1..kMaxParallel
  std::optional<unsigned> count;         // end after this many units had their turn
  UnitOptions options;
  std::vector<std::string> arguments;    // the program's, for each unit's dialog
  std::chrono::milliseconds poll = kDefaultPoll;
  std::chrono::milliseconds waitBound = kDefaultWaitBound;
  // Each unit's dialog log lines go to a file of its own in this folder;
  // null: the units' dialogs log nothing (the front end logs each result).
  std::shared_ptr<UnitLogFolder> logFolder;
  // The slot map's names in its order (shown as empty slots), and the slot
  // of a unit's port; nothing: not a slot (left alone, never shown). An
  // empty function: every unit is the station's, with no slot name.
  std::vector<std::string> slots;
  std::function<std::optional<std::string>(const HidInterfaceInfo&)> slotOf;
  Record* record = nullptr;   // may be null
  bool skipUpdated = false;   // pass over units the record shows updated
};

class Station {
 public:
  // `devices` lists the units and gives each one a handle of its own
  // (SearchableHidDevice::NewHandle). `devices`, `resources`, `events` and
  // `host` must outlive the station. The station starts stopped.
  Station(SearchableHidDevice& devices, const Resources& resources, StationConfig config, Poster poster,
          StationEvents& events, StationHost& host);
  // Lets no unit start, waits for the units in flight, and ends its thread.
  // Events not yet delivered through the poster are dropped safely.
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Units may start. A Start while stopping goes on running.
  void Start();
  // No unit starts any more; the units in flight finish; Ended follows.
  // Returns at once.
  void Stop();
  // 1..kMaxParallel (clamped); units start or wait accordingly.
  void SetParallel(unsigned parallel);
  void SetOptions(const UnitOptions& options);
  // A waiting unit is not run: it awaits its removal. False when it is not
  // waiting.
  bool Skip(std::uint64_t unit);
  // The counters start again at zero (the record is untouched).
  void ResetCounters();

  StationSnapshot Snapshot() const;
  RunState State() const;
  // Whether any unit is being updated now.
  bool Busy() const;

 private:
  class Engine;
  std::unique_ptr<Engine> m_engine;
};

// The command line's blocking form: runs a station until its count is reached
// or `stopRequested` says so (asked at least every 100 ms), then waits for
// the units in flight. Events and the host's calls come on the calling
// thread.
StationSummary RunStation(SearchableHidDevice& devices, const Resources& resources, const StationConfig& config,
                          StationEvents& events, StationHost& host, const std::function<bool()>& stopRequested);

}  // namespace orvik::station
