// The options of `orvik-updater.exe --station`: the command line station's
// options and meanings, and the window's own --locked. Portable: no Windows
// header, so that the rules can be tested on their own.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "station/station.h"

namespace orvik::win32 {

// The most units --station=COUNT takes before the station ends by itself
// (the command line's bound).
inline constexpr unsigned kMaxStationCount = 1000000;

struct StationOptions {
  std::optional<unsigned> count;             // --station=COUNT
  unsigned parallel = station::kDefaultParallel;  // --parallel=N
  std::string slots;                         // --slots FILE
  std::string record;                        // --record FILE|URI
  bool skipUpdated = false;                  // --skip-updated
  std::string stationName;                   // --station-name NAME
  std::string operatorName;                  // --operator NAME
  std::string logDir;                        // --log-dir DIR
  bool locked = false;                       // --locked: Start and Stop only
  bool advMode = false;                      // -AdvMode: the MCU, USB and Log boxes
  bool emulate = false;                      // -Emulate or -Emulate:...
  std::string error;                         // not empty: why the options are refused
};

// True when the arguments (the program's path first) ask for the station
// window: one of them is "--station" or "--station=...".
bool WantsStation(const std::vector<std::string>& arguments);

// Reads the station window's options. A value is given as "--name VALUE" or
// "--name=VALUE". Anything else, a value out of range, or options that need
// another (--skip-updated, --station-name and --operator need --record) set
// `error` to a sentence naming the option.
StationOptions ParseStationOptions(const std::vector<std::string>& arguments);

}  // namespace orvik::win32
