#include "app/cli/options.h"

#include <string_view>

namespace orvik::cli {

namespace {

// A whole decimal number from 0 to `max`; nothing for anything else.
std::optional<unsigned> ParseCount(std::string_view text, unsigned max) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  unsigned long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > max) return std::nullopt;
  return static_cast<unsigned>(value);
}

// An option with a value, as "--name VALUE" or "--name=VALUE": true when
// `argument` is that option. The value goes to `value`, advancing `i` past a
// separate one; a missing or empty value sets `error` ("--name needs a WHAT").
bool TakeValue(const std::vector<std::string>& arguments, std::size_t& i, std::string_view name,
               std::string_view what, std::string& value, std::string& error) {
  const std::string& argument = arguments[i];
  if (argument == name) {
    if (i + 1 < arguments.size()) value = arguments[++i];
  } else if (argument.size() > name.size() && argument.starts_with(name) && argument[name.size()] == '=') {
    value = argument.substr(name.size() + 1);
  } else {
    return false;
  }
  if (value.empty()) error = std::string(name) + " needs a " + std::string(what);
  return true;
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& arguments) {
  Options options;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--no-mcu") {
      options.noMcu = true;
    } else if (argument == "--no-usb") {
      options.noUsb = true;
    } else if (argument == "--log") {
      options.log = true;
    } else if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if (argument == "--list") {
      options.list = true;
    } else if (argument == "--json") {
      options.json = true;
    } else if (TakeValue(arguments, i, "--device", "PATH", options.device, options.error)) {
      if (!options.error.empty()) break;
    } else if (TakeValue(arguments, i, "--record", "FILE", options.record, options.error)) {
      if (!options.error.empty()) break;
    } else if (argument == "--again") {
      options.again = true;
    } else if (TakeValue(arguments, i, "--slots", "FILE", options.slots, options.error)) {
      if (!options.error.empty()) break;
    } else if (TakeValue(arguments, i, "--teach", "FILE", options.teach, options.error)) {
      if (!options.error.empty()) break;
    } else if (argument == "--force") {
      options.force = true;
    } else if (argument == "--skip-updated") {
      options.skipUpdated = true;
    } else if (argument == "--history") {
      options.history = true;
    } else if (argument == "--csv") {
      options.csv = true;
    } else if (TakeValue(arguments, i, "--station-name", "NAME", options.stationName, options.error)) {
      if (!options.error.empty()) break;
    } else if (TakeValue(arguments, i, "--operator", "NAME", options.operatorName, options.error)) {
      if (!options.error.empty()) break;
    } else if (TakeValue(arguments, i, "--serial", "SERIAL", options.serial, options.error)) {
      if (!options.error.empty()) break;
    } else if (TakeValue(arguments, i, "--port", "PORT", options.port, options.error)) {
      if (!options.error.empty()) break;
    } else if (argument == "--wait" || argument.starts_with("--wait=")) {
      options.waitSeconds = kDefaultWaitSeconds;
      if (argument != "--wait") {
        options.waitSeconds = ParseCount(std::string_view(argument).substr(7), kMaxWaitSeconds);
        if (!options.waitSeconds) {
          options.error = "bad time in '" + argument + "' (expected seconds from 0 to " +
                          std::to_string(kMaxWaitSeconds) + ")";
          break;
        }
      }
    } else if (argument == "--station" || argument.starts_with("--station=")) {
      options.station = true;
      if (argument != "--station") {
        options.stationCount = ParseCount(std::string_view(argument).substr(10), kMaxStationCount);
        if (!options.stationCount || *options.stationCount == 0) {
          options.error = "bad count in '" + argument + "' (expected a number from 1 to " +
                          std::to_string(kMaxStationCount) + ")";
          break;
        }
      }
    } else if (std::string value; TakeValue(arguments, i, "--parallel", "NUMBER", value, options.error)) {
      if (!options.error.empty()) break;
      const std::optional<unsigned> parallel = ParseCount(value, station::kMaxParallel);
      if (!parallel || *parallel == 0) {
        options.error = "bad number in --parallel '" + value + "' (expected a whole number from 1 to " +
                        std::to_string(station::kMaxParallel) + ")";
        break;
      }
      options.parallel = *parallel;
      options.parallelGiven = true;
    } else if (TakeValue(arguments, i, "--log-dir", "DIR", options.logDir, options.error)) {
      if (!options.error.empty()) break;
    } else if (argument == "-AdvMode" || argument == "-Emulate" || argument.starts_with("-Emulate:")) {
      // Read by the dialog and by the device choice.
    } else {
      options.error = "unknown option '" + argument + "'";
      // "--wait 30": the value was meant for the option before, which takes
      // it only after '=' (a separate word could be a file or a path).
      if (i > 1 && !argument.starts_with("-")) {
        for (const std::string_view takesEquals : {std::string_view("--wait"), std::string_view("--station")}) {
          if (arguments[i - 1] == takesEquals) {
            const std::string name(takesEquals);
            options.error += ": " + name + " takes its value as " + name + "=" + argument;
          }
        }
      }
      break;
    }
  }
  if (!options.error.empty()) return options;
  // --teach is a mode of its own: it learns the slots and updates nothing.
  const bool withOtherMode = options.list || options.station || !options.device.empty() ||
                             !options.serial.empty() || !options.port.empty() || options.waitSeconds ||
                             !options.record.empty() || !options.slots.empty();
  // Each of these pairs asks for two different things.
  if (!options.teach.empty() && withOtherMode) {
    options.error = "--teach learns the slots and updates nothing; it takes only --force, --json and -Emulate";
  } else if (options.force && options.teach.empty()) {
    options.error = "--force lets --teach replace its FILE; it needs --teach";
  } else if (!options.slots.empty() && !options.station) {
    options.error = "--slots names a station's slots; it needs --station";
  } else if (options.list && options.station) {
    options.error = "--list and --station cannot be combined";
  } else if (options.list && options.waitSeconds) {
    options.error = "--list and --wait cannot be combined";
  } else if (options.station && !options.device.empty()) {
    options.error = "--station takes every device in turn; it cannot be combined with --device";
  } else if (options.station && options.waitSeconds) {
    options.error = "--station waits for each device by itself; it cannot be combined with --wait";
  } else if (options.list && !options.record.empty()) {
    options.error = "--list updates nothing to record; it cannot be combined with --record";
  } else if (options.again && options.record.empty()) {
    options.error = "--again updates units that the record shows as updated; it needs --record";
  } else if (options.skipUpdated && options.record.empty()) {
    options.error = "--skip-updated passes over units that the record shows as updated; it needs --record";
  } else if (options.skipUpdated && options.again) {
    options.error = "--skip-updated and --again ask for opposite things; give only one of them";
  } else if (options.history && options.record.empty()) {
    options.error = "--history prints the record; it needs --record";
  } else if (options.history && (options.list || options.station || !options.device.empty() ||
                                  options.waitSeconds || options.skipUpdated)) {
    options.error = "--history only reads the record; it updates nothing (give it --record, and --serial, "
                    "--json or --csv)";
  } else if (options.csv && !options.history) {
    options.error = "--csv is an output form of --history";
  } else if (options.csv && options.json) {
    options.error = "--json and --csv are two forms of --history; give only one of them";
  } else if (!options.serial.empty() && !options.device.empty()) {
    options.error = "--serial and --device each choose the interface to update; give only one of them";
  } else if (!options.serial.empty() && options.list) {
    options.error = "--list shows every interface with its serial; it cannot be combined with --serial";
  } else if (!options.serial.empty() && options.station) {
    options.error = "--station takes every device in turn; it cannot be combined with --serial";
  } else if (!options.port.empty() && !options.device.empty()) {
    options.error = "--port and --device each choose the interface to update; give only one of them";
  } else if (!options.port.empty() && !options.serial.empty()) {
    options.error = "--port and --serial each choose the unit to update; give only one of them";
  } else if (!options.port.empty() && options.list) {
    options.error = "--list shows every interface with its port; it cannot be combined with --port";
  } else if (!options.port.empty() && options.station) {
    options.error = "--station takes every device in turn; it cannot be combined with --port";
  } else if (options.parallelGiven && !options.station) {
    options.error = "--parallel sets how many units a station updates at once; it needs --station";
  } else if (!options.logDir.empty() && !options.station) {
    options.error = "--log-dir writes a log per unit of a station; it needs --station";
  }
  return options;
}

}  // namespace orvik::cli
