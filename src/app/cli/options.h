// What the command line asks for: orvik-updater-cli's options, read and
// checked against each other. No terminal here: the station windows read the
// same options.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "station/station.h"

namespace orvik::cli {

// --wait without SECONDS waits this long for a device.
inline constexpr unsigned kDefaultWaitSeconds = 60;
// The longest --wait=SECONDS (a day); 0 waits without bound.
inline constexpr unsigned kMaxWaitSeconds = 86400;
// The most devices --station=COUNT takes before it ends by itself.
inline constexpr unsigned kMaxStationCount = 1000000;

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

}  // namespace orvik::cli
