#include "app/qt/station_setup.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "app/cli/commands.h"
#include "app/common/app_common.h"
#include "station/unit_log.h"

namespace orvik::qt {

namespace {

std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// The command-line options that have no place in a window: what they ask
// for is the terminal's, or another mode than the station.
std::string RefusedInWindow(const cli::Options& options) {
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

bool WantsStation(const std::vector<std::string>& arguments) {
  return std::any_of(arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end(), [](const std::string& a) {
    return a == "--station" || a.starts_with("--station=");
  });
}

std::unique_ptr<StationSetup> PrepareStation(const std::vector<std::string>& arguments, const Resources& resources,
                                             bool emulated) {
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
  setup->options = cli::ParseOptions(cliArguments);
  const cli::Options& options = setup->options;
  if (!options.error.empty()) {
    setup->error = options.error;
    return setup;
  }
  if (const std::string refused = RefusedInWindow(options); !refused.empty()) {
    setup->error = refused;
    return setup;
  }

  station::StationConfig& config = setup->config;
  config.parallel = options.parallel;
  config.count = options.stationCount;
  config.options = station::UnitOptions{.mcu = !options.noMcu, .usb = !options.noUsb, .verboseLog = options.log};
  config.arguments = arguments;

  if (!options.logDir.empty()) {
    const std::filesystem::path folder = PathFromUtf8(options.logDir);
    std::string error;
    config.logFolder = station::UnitLogFolder::Open(folder, error);
    if (!config.logFolder) {
      setup->error = "--log-dir " + options.logDir + " " + error + " (it must be a writable folder of your own)";
      return setup;
    }
  }

  if (!options.slots.empty()) {
    std::string error;
    const station::PortForm form = emulated ? station::PortForm::Emulated : station::SystemPortForm();
    std::optional<station::SlotMap> read = station::ReadSlotFile(PathFromUtf8(options.slots), form, error);
    if (!read) {
      setup->error = "the slot file " + options.slots + " is refused: " + error;
      return setup;
    }
    setup->slots = std::make_shared<const station::SlotMap>(std::move(*read));
    for (const station::Slot& slot : setup->slots->Slots()) config.slots.push_back(slot.name);
    config.slotOf = [slots = setup->slots](const HidInterfaceInfo& info) -> std::optional<std::string> {
      if (info.port.empty()) return std::nullopt;
      return slots->SlotOf(info.port);
    };
  }

  if (!options.record.empty()) {
    setup->recordShown = record::DisplayName(options.record);
    std::string error;
    setup->record = record::OpenRecord(options.record, cli::RecordOptionsFor(options, resources), error,
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

}  // namespace orvik::qt
