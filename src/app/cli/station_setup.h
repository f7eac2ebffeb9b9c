// What a station needs before its first unit, made from orvik-updater-cli's
// options: every path the options name checked, the per-unit log folder held,
// the slot map read, the record's options. The command-line station and both
// station windows set up through here, so that they take the same options and
// refuse the same things in the same words. No terminal and no window here.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/options.h"
#include "image/resources.h"
#include "record/record.h"
#include "station/slots.h"
#include "station/station.h"
#include "station/unit_log.h"

namespace orvik::cli {

// Why a start is refused: a sentence without the program's name, and the
// option with the value it names (the JSON `error` event's field).
struct StartRefusal {
  std::string text;
  std::string field;
  std::string value;
};

// What the options' paths opened.
struct StartPaths {
  std::shared_ptr<station::UnitLogFolder> logFolder;  // --log-dir, held
  std::optional<station::SlotMap> slots;              // --slots, read
};

// Checks the paths of --record, --log-dir, --slots and --teach, in that
// order, and stops at the first refused: a name that Windows keeps for a
// device (COM¹, NUL.csv), a --log-dir that may not take the units' logs
// (station::UnitLogFolder::Open's rules; held from here on), a --slots file
// that is refused (read here, its ports in `form`). Nothing is created
// before every name has passed, so a refused start leaves nothing behind.
std::optional<StartRefusal> CheckStartPaths(const Options& options, station::PortForm form, StartPaths& opened);

// The options of the record that --record names, for this program's run: a
// lost server's rows wait in the user's state folder.
record::RecordOptions RecordOptionsFor(const Options& options, const Resources& resources);

// "--locked": a station window's own option; the operator gets Start and
// Stop only.
inline constexpr char kLockedOption[] = "--locked";

// True when `arguments` (the program's path first) ask a windowed program
// for its station window: "--station" or "--station=COUNT". Without it the
// program is the single dialog and reads no other option.
bool WantsStationWindow(const std::vector<std::string>& arguments);

struct StationSetup {
  Options options;        // the command-line station's options
  bool locked = false;    // --locked
  bool advMode = false;   // -AdvMode: the MCU, USB and Log boxes
  std::unique_ptr<record::StationRecord> record;  // --record; null without
  std::string recordShown;   // the record as shown: a path, a URI without credentials
  std::string recordNotice;  // the record's own notice at opening (not fatal)
  std::shared_ptr<const station::SlotMap> slots;  // --slots; null without
  station::StationConfig config;  // ready for the Station (config.record set)
  std::string error;      // not empty: why the station cannot start (nothing was sent)
};

// Reads a station window's options and prepares everything its station
// needs, in the command-line station's order and words: the options, the
// paths, then the record. The terminal's own options (--json, --list,
// --teach, --history, --csv, --version) are refused with a sentence.
// `emulated` says the units are emulated (their ports are written as such in
// a slot map).
std::unique_ptr<StationSetup> PrepareStationWindow(const std::vector<std::string>& arguments,
                                                   const Resources& resources, bool emulated);

}  // namespace orvik::cli
