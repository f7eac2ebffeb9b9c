// The flashing station's engine: watches the units attached, decides which may
// start, runs each unit's update on a worker of its own, and reports what
// happens as events. It knows no terminal, no JSON and no window toolkit: the
// command line renders its events as result lines, a live table or JSON, and
// a windowed station (a grid of slots) can render the same events.
//
// Each unit's run is the dialog's own (start-up, messages, failure numbers,
// log lines), over a device handle of its own with its own wait bounds. At
// most StationConfig::parallel run at once; units that arrive meanwhile wait
// their turn in arrival order. One unit's failure, removal or silence never
// holds up another.
//
// Threads: Run() is called on one thread (the front end's), and every
// StationEvents call is made on that thread, from inside Run(). The workers
// only post to the engine's queue; nothing else is shared between units but
// the record, whose writes are serialized by the record itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hid/hid_device.h"
#include "image/resources.h"

namespace orvik::station {

// The most units a station runs at once, and its default.
inline constexpr unsigned kMaxParallel = 64;
inline constexpr unsigned kDefaultParallel = 8;

// How often the engine looks at the units attached.
inline constexpr std::chrono::milliseconds kDefaultPoll{250};

// One unit, as the station knows it from the moment it arrives.
struct Unit {
  std::uint64_t id = 0;   // 1, 2, ... in arrival order; never reused in a run
  std::string path;       // /dev/hidraw3, a Windows interface path, emulated:2
  std::string identity;   // tells one attachment from the next (HidInterfaceInfo)
  std::string serial;     // device input: any bytes; empty when none
  std::string port;       // the physical USB port; empty when unknown
  std::string slot;       // the slot's name (--slots); empty without a slot map
};

// Which controller a running unit is on.
enum class Phase { Starting, Mcu, Usb, Ending };

// How a unit's turn ended.
struct UnitResult {
  int status = 2;        // the exit status a single update would give: 0, 1, 2
  int failure = 0;       // the failure's number; 0 when complete
  std::string message;   // the last message box's text, or why it was passed over
  std::string time;      // when the unit's run started: local ISO 8601 with UTC offset
  std::chrono::milliseconds duration{0};
  bool passedOver = false;  // not run: the record shows it updated (--skip-updated)
  bool recorded = true;     // false: the record could not take its line (status is then 1)
  std::string recordError;  // why not, when not recorded
};

// Why an attached unit is not run.
enum class Refusal {
  NotASlot,  // on a port the slot map does not name: left alone, not counted
  InUse,     // another updater holds it: passed over, looked at again later
  Unusable,  // present but cannot be opened (permissions, ...): said once
};

// What a front end hears. Every call comes on the thread that called Run().
class StationEvents {
 public:
  virtual ~StationEvents() = default;
  // No unit is running or waiting, and none has been seen since the last
  // call: the station waits for one.
  virtual void Waiting() {}
  // A unit was attached (or was there at the start) and is the station's.
  virtual void Arrived(const Unit& unit) { (void)unit; }
  // A unit that is not run; said once per attachment and reason.
  virtual void Refused(const Unit& unit, Refusal why, const std::string& text) {
    (void)unit, (void)why, (void)text;
  }
  // Its worker has opened it and the dialog's start-up succeeded; the first
  // command follows.
  virtual void Started(const Unit& unit) { (void)unit; }
  // Its progress (0..upper) and elapsed time ("00:03.412"); coalesced: a
  // front end that is slow hears only the latest of each unit.
  virtual void Progress(const Unit& unit, Phase phase, int position, int upper, const std::string& elapsed) {
    (void)unit, (void)phase, (void)position, (void)upper, (void)elapsed;
  }
  // A message box of the unit's dialog ("Update complete", a failure).
  virtual void Message(const Unit& unit, const std::string& text) { (void)unit, (void)text; }
  // Its turn is over; counted in the summary.
  virtual void Finished(const Unit& unit, const UnitResult& result) { (void)unit, (void)result; }
  // It was unplugged (after its turn, or before it could start).
  virtual void Gone(const Unit& unit) { (void)unit; }
  // Whether any unit is updating now: a front end holds the machine (signals,
  // sleep) while this is true.
  virtual void Busy(bool busy) { (void)busy; }
  // A sentence of the station's own for the operator (a shared serial, a
  // record spooled, ...), and for the program's log.
  virtual void Notice(const std::string& text) { (void)text; }
};

// The station's record of units: one interface, several back ends. Every
// member may be called from any thread; the record serializes its writes.
class Record {
 public:
  virtual ~Record() = default;

  // What a run is recorded with.
  struct Run {
    std::string runId;      // unique per unit run; a retried write is the same run
    const Unit* unit = nullptr;
    bool mcu = true;        // the controllers to update
    bool usb = true;
    std::string time;       // local ISO 8601 with UTC offset
    int status = 0;
    int failure = 0;
    std::string message;
    std::int64_t durationMs = 0;
  };

  // With --skip-updated: the time of the unit's latest completed run when it
  // was a success with this image and the same controllers; nothing when the
  // unit is to be updated (no such run, the latest never finished, no serial).
  virtual std::optional<std::string> UpdatedAt(const std::string& serial, bool mcu, bool usb) = 0;
  // Before the first command is sent: the run is in the record as started.
  // False, with the reason, when it could not be written (the unit is then not run).
  virtual bool Started(const Run& run, std::string& error) = 0;
  // Its result, replacing or following the started entry.
  virtual bool Finished(const Run& run, std::string& error) = 0;
  // Where the record is, for messages: a file's path, a URI without credentials.
  virtual std::string Where() const = 0;
};

struct StationConfig {
  unsigned parallel = kDefaultParallel;  // 1..kMaxParallel
  std::optional<unsigned> count;         // end after this many finished units
  bool mcu = true;                       // the "MCU" and "USB" boxes
  bool usb = true;
  bool verboseLog = false;               // the "Log" box: every block in the unit's log
  std::vector<std::string> arguments;    // the program's, for each unit's dialog
  std::chrono::milliseconds poll = kDefaultPoll;
  std::chrono::milliseconds waitBound = kDefaultWaitBound;
  // Each unit's dialog log lines go to DIR/SERIAL.log (or a name made from
  // the path) instead of the program's log; empty: the program's log gets one
  // line per finished unit.
  std::filesystem::path logDir;
  // The slot of a unit's port; nothing: not a slot (left alone). Empty
  // function: every unit is the station's, with no slot name.
  std::function<std::optional<std::string>(const HidInterfaceInfo&)> slotOf;
  Record* record = nullptr;   // may be null
  bool skipUpdated = false;   // pass over units the record shows updated
  // Asked on the engine's thread at least every 100 ms: once true, no unit
  // starts, the units in flight finish, and Run returns.
  std::function<bool()> stopRequested;
};

struct StationSummary {
  unsigned devices = 0;  // finished units (passed over included)
  unsigned updated = 0;
  unsigned failed = 0;
  unsigned passedOver = 0;
  std::vector<std::pair<int, unsigned>> failures;  // failure number, count; ascending
  int status = 0;  // 0 every unit completed, 1 a unit failed or a record write failed, 2 could not run
  std::string endedBy;  // "count", "interrupt", "startup_failure", "record_failure"
};

// Runs the station until its count is reached or a stop is requested, then
// waits for the units in flight. `devices` lists the units and gives each
// one a handle of its own (SearchableHidDevice::NewHandle).
StationSummary RunStation(SearchableHidDevice& devices, const Resources& resources, const StationConfig& config,
                          StationEvents& events);

}  // namespace orvik::station
