// What orvik-updater-cli does once it has started: list the matching
// interfaces, update one device (the first match, or the one --device
// names, after waiting for it with --wait), or run a flashing station.
// Every update is the dialog's: OnInitDialog, then one run of RunUpdate,
// with the dialog's messages, log lines and failure numbers.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/cli/cli.h"
#include "app/cli/json_events.h"
#include "app/cli/station_record.h"
#include "hid/hid_device.h"
#include "image/resources.h"
#include "station/slots.h"
#include "station/unit_log.h"

namespace orvik::cli {

// How often a waiting command looks for a device again.
inline constexpr std::chrono::milliseconds kDevicePoll{250};

struct CommandEnvironment {
  SearchableHidDevice& device;
  const Resources& resources;
  std::vector<std::string> arguments;  // the program's path first
  Options options;
  std::ostream& out;
  std::ostream& err;
  bool interactive = false;       // standard output is a terminal
  EventStream* events = nullptr;  // --json
  std::chrono::milliseconds poll = kDevicePoll;
  record::StationRecord* record = nullptr;  // --record: opened by RunCommand
  // Checked before anything is opened for writing (CheckStartPaths):
  std::shared_ptr<station::UnitLogFolder> logFolder{};  // --log-dir, held
  std::optional<station::SlotMap> slots{};              // --slots, read
};

// Writes the start-up event, opens the record (--record; a record that
// cannot be opened ends the start-up) and runs what the options ask for.
// Returns the exit status.
int RunCommand(CommandEnvironment& env);

// --list. 0 when at least one interface is listed, kExitStartupFailed when
// none is.
int RunList(CommandEnvironment& env);

// One update, with --device and --wait.
int RunSingleUpdate(CommandEnvironment& env);

// --station. Requests to end (Ctrl+C) are deferred for the whole station and
// end it between devices only: while waiting for one to arrive or to leave.
int RunStation(CommandEnvironment& env);

// --teach: asks for a unit in each slot in turn and writes the ports where
// they arrive to the FILE as slots 1, 2, ... once a request to end (Ctrl+C)
// comes. Sends nothing to any unit. 0 when FILE was written; 1 when nothing
// was taught or FILE could not be written (the slots then go to standard
// error); 2 when FILE exists and --force is not given.
int RunTeach(CommandEnvironment& env);

// How the ports of the devices in use are written: emulated units' under
// -Emulate, else the system's.
station::PortForm PortFormFor(const CommandEnvironment& env);

// --history: the record's runs, newest first, as a table, JSON lines (--json)
// or CSV (--csv). Takes no lock and writes no log: it only reads.
int PrintHistory(const Options& options, std::ostream& out, std::ostream& err);


// "/dev/hidraw3  input 33  output 33  ready", with "* " before the interface
// an update would choose and "  " before the others.
std::string InterfaceLine(const HidInterfaceInfo& info, bool chosen);

}  // namespace orvik::cli
