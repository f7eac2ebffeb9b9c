#include "app/win32/station_options.h"

#include <string_view>

namespace orvik::win32 {
namespace {

// A whole decimal number from 1 to `max`; nothing for anything else.
std::optional<unsigned> ParsePositive(std::string_view text, unsigned max) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  unsigned long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > max) return std::nullopt;
  return static_cast<unsigned>(value);
}

// "--name VALUE" or "--name=VALUE": true when `arguments[i]` is that option;
// the value goes to `value` (advancing `i` past a separate one). A missing or
// empty value sets `error`.
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

bool IsStation(const std::string& argument) { return argument == "--station" || argument.starts_with("--station="); }

}  // namespace

bool WantsStation(const std::vector<std::string>& arguments) {
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (IsStation(arguments[i])) return true;
  }
  return false;
}

StationOptions ParseStationOptions(const std::vector<std::string>& arguments) {
  StationOptions options;
  bool station = false;
  std::string& error = options.error;
  for (std::size_t i = 1; i < arguments.size() && error.empty(); ++i) {
    const std::string& argument = arguments[i];
    std::string value;
    if (IsStation(argument)) {
      station = true;
      if (argument != "--station") {
        options.count = ParsePositive(std::string_view(argument).substr(10), kMaxStationCount);
        if (!options.count) {
          error = "bad count in '" + argument + "' (expected a number from 1 to " + std::to_string(kMaxStationCount) +
                  ")";
        }
      }
    } else if (TakeValue(arguments, i, "--parallel", "NUMBER", value, error)) {
      if (!error.empty()) break;
      const std::optional<unsigned> parallel = ParsePositive(value, station::kMaxParallel);
      if (!parallel) {
        error = "bad number in --parallel '" + value + "' (expected a whole number from 1 to " +
                std::to_string(station::kMaxParallel) + ")";
      } else {
        options.parallel = *parallel;
      }
    } else if (TakeValue(arguments, i, "--slots", "FILE", options.slots, error) ||
               TakeValue(arguments, i, "--record", "FILE", options.record, error) ||
               TakeValue(arguments, i, "--station-name", "NAME", options.stationName, error) ||
               TakeValue(arguments, i, "--operator", "NAME", options.operatorName, error) ||
               TakeValue(arguments, i, "--log-dir", "DIR", options.logDir, error)) {
      // Taken; a missing value has set the error.
    } else if (argument == "--skip-updated") {
      options.skipUpdated = true;
    } else if (argument == "--locked") {
      options.locked = true;
    } else if (argument == "-AdvMode") {
      options.advMode = true;
    } else if (argument == "-Emulate" || argument.starts_with("-Emulate:")) {
      // What follows "-Emulate:" is checked when the device is chosen.
      options.emulate = true;
    } else {
      error = "unknown option '" + argument + "'";
      // "--station 5": the count is taken only after '='.
      if (i > 1 && !argument.starts_with("-") && arguments[i - 1] == "--station") {
        error += ": --station takes its count as --station=" + argument;
      }
    }
  }
  if (!error.empty()) return options;
  if (!station) {
    error = "the station window needs --station";
  } else if (options.skipUpdated && options.record.empty()) {
    error = "--skip-updated passes over units that the record shows as updated; it needs --record";
  } else if (!options.stationName.empty() && options.record.empty()) {
    error = "--station-name names the station in the record; it needs --record";
  } else if (!options.operatorName.empty() && options.record.empty()) {
    error = "--operator names the operator in the record; it needs --record";
  }
  return options;
}

}  // namespace orvik::win32
