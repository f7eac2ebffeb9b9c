// What the station window needs before it opens: its options read (the
// command-line station's, and --locked), the record opened, the slot map read
// and the per-unit log folder checked. Nothing is sent to any unit here; a
// fault is one sentence for the window to show before the station starts.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/cli.h"
#include "image/resources.h"
#include "record/record.h"
#include "station/slots.h"
#include "station/station.h"

namespace orvik::qt {

// "--locked": the operator gets Start and Stop only.
inline constexpr char kLockedOption[] = "--locked";

// True when `arguments` (the program's path first) ask for the station
// window: "--station" or "--station=COUNT". Without it the program is the
// single dialog and reads no other option.
bool WantsStation(const std::vector<std::string>& arguments);

struct StationSetup {
  cli::Options options;   // the command-line station's options
  bool locked = false;    // --locked
  bool advMode = false;   // -AdvMode: the MCU, USB and Log boxes
  std::unique_ptr<record::StationRecord> record;  // --record; null without
  std::string recordShown;  // the record as shown: a path, a URI without credentials
  std::string recordNotice; // the record's own notice at opening (not fatal)
  std::shared_ptr<const station::SlotMap> slots;  // --slots; null without
  station::StationConfig config;  // ready for the Station (config.record set)
  std::string error;      // not empty: why the station cannot start (nothing was sent)
};

// Reads the options and prepares everything the station needs, in the
// command-line station's order and words: the options, the log folder, the
// slot map, then the record. `emulated` says the units are emulated (their
// ports are written as such in a slot map).
std::unique_ptr<StationSetup> PrepareStation(const std::vector<std::string>& arguments, const Resources& resources,
                                             bool emulated);

}  // namespace orvik::qt
