#include "app/cli/station_setup.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "app/common/app_common.h"
#include "log/native_path.h"

namespace orvik::cli {

namespace {

// The command-line options that have no place in a window: what they ask
// for is the terminal's, or another mode than the station.
std::string RefusedInWindow(const Options& options) {
  const std::pair<bool, const char*> refused[] = {
      {options.json, "--json"},          {options.list, "--list"},
      {!options.teach.empty(), "--teach"}, {options.history, "--history"},
      {options.csv, "--csv"},            {options.version, "--version"},
  };
  for (const auto& [given, name] : refused) {
    if (given) return std::string(name) + " is an option of orvik-updater-cli; the station window does not take it";
  }
  return {};
}

}  // namespace

std::optional<StartRefusal> CheckStartPaths(const Options& options, station::PortForm form, StartPaths& opened) {
  // A server's URI is no file name.
  const bool recordIsFile = !options.record.empty() && record::BackendFor(options.record) != record::Backend::Postgres;
  const std::pair<const char*, const std::string*> paths[] = {
      {"--record", recordIsFile ? &options.record : nullptr},
      {"--log-dir", &options.logDir},
      {"--slots", &options.slots},
      {"--teach", &options.teach},
  };
  for (const auto& [name, value] : paths) {
    if (value == nullptr || value->empty()) continue;
    if (const std::string problem = PathNameProblem(*value); !problem.empty()) {
      return StartRefusal{std::string(name) + " " + *value + " " + problem + ", not a file",
                          std::string(name).substr(2), *value};
    }
  }
  if (!options.logDir.empty()) {
    std::string problem;
    opened.logFolder = station::UnitLogFolder::Open(PathFromUtf8(options.logDir), problem);
    if (!opened.logFolder) {
      return StartRefusal{"--log-dir " + options.logDir + " " + problem + " (it must be a writable folder of your own)",
                          "log_dir", options.logDir};
    }
  }
  // --slots: the station takes only units on the ports the file names. A
  // bad file ends the start-up before any unit is looked at.
  if (!options.slots.empty()) {
    std::string error;
    opened.slots = station::ReadSlotFile(PathFromUtf8(options.slots), form, error);
    if (!opened.slots) {
      return StartRefusal{"the slot file " + options.slots + " is refused: " + error, "slots", options.slots};
    }
  }
  return std::nullopt;
}

record::RecordOptions RecordOptionsFor(const Options& options, const Resources& resources) {
  record::RecordOptions recordOptions;
  recordOptions.image = record::DescribeImage(resources);
  recordOptions.station = options.stationName;
  recordOptions.operatorName = options.operatorName;
  // A lost server's rows wait in the state folder, beside a log that could
  // not be written beside the program.
  recordOptions.spoolFolder =
      app::StateDirLogPath("spool", std::getenv("XDG_STATE_HOME"), std::getenv("HOME")).parent_path();
  if (recordOptions.spoolFolder.empty()) recordOptions.spoolFolder = std::filesystem::temp_directory_path();
  // For tests that hold a database locked: a bound shorter than a station's.
  if (const char* busy = std::getenv("ORVIK_RECORD_BUSY_TIMEOUT_MS")) {
    const long long value = std::atoll(busy);
    if (value > 0 && value <= 600000) recordOptions.busyTimeout = std::chrono::milliseconds(value);
  }
  return recordOptions;
}

bool WantsStationWindow(const std::vector<std::string>& arguments) {
  return std::any_of(arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end(), [](const std::string& a) {
    return a == "--station" || a.starts_with("--station=");
  });
}

std::unique_ptr<StationSetup> PrepareStationWindow(const std::vector<std::string>& arguments,
                                                   const Resources& resources, bool emulated) {
  auto setup = std::make_unique<StationSetup>();
  // --locked is the window's own; the rest are the command-line station's.
  std::vector<std::string> cliArguments;
  for (const std::string& argument : arguments) {
    if (&argument != &arguments.front() && argument == kLockedOption) {
      setup->locked = true;
    } else {
      cliArguments.push_back(argument);
    }
    if (argument == "-AdvMode") setup->advMode = true;
  }
  setup->options = ParseOptions(cliArguments);
  const Options& options = setup->options;
  if (!options.error.empty()) {
    setup->error = options.error;
    return setup;
  }
  if (const std::string refused = RefusedInWindow(options); !refused.empty()) {
    setup->error = refused;
    return setup;
  }

  StartPaths opened;
  const station::PortForm form = emulated ? station::PortForm::Emulated : station::SystemPortForm();
  if (const std::optional<StartRefusal> refusal = CheckStartPaths(options, form, opened)) {
    setup->error = refusal->text;
    return setup;
  }

  station::StationConfig& config = setup->config;
  config.parallel = options.parallel;
  config.count = options.stationCount;
  config.options = station::UnitOptions{.mcu = !options.noMcu, .usb = !options.noUsb, .verboseLog = options.log};
  config.arguments = arguments;
  config.logFolder = std::move(opened.logFolder);
  if (opened.slots) {
    setup->slots = std::make_shared<const station::SlotMap>(std::move(*opened.slots));
    for (const station::Slot& slot : setup->slots->Slots()) config.slots.push_back(slot.name);
    config.slotOf = [slots = setup->slots](const HidInterfaceInfo& info) -> std::optional<std::string> {
      if (info.port.empty()) return std::nullopt;
      return slots->SlotOf(info.port);
    };
  }

  if (!options.record.empty()) {
    setup->recordShown = record::DisplayName(options.record);
    std::string error;
    setup->record = record::OpenRecord(options.record, RecordOptionsFor(options, resources), error,
                                       setup->recordNotice);
    if (!setup->record) {
      setup->error = "cannot open the record " + setup->recordShown + ": " + error;
      return setup;
    }
    config.record = setup->record.get();
    config.skipUpdated = options.skipUpdated;
  }
  return setup;
}

}  // namespace orvik::cli
