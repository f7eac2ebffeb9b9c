#include "app/cli/commands.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <ctime>
#include <map>
#include <memory>
#include <optional>

#include "app/cli/device_text.h"
#include "app/cli/console.h"
#include "app/cli/interrupt.h"
#include "app/cli/station_view.h"
#include "app/common/app_common.h"
#include "app/cli/terminal_window.h"
#include "app/common/app_common.h"
#include "app/common/update_hold.h"
#include "image/image.h"
#include "log/log.h"
#include "ui/updater_dlg.h"

#ifndef ORVIK_PROGRAM_VERSION
#error "ORVIK_PROGRAM_VERSION must be defined by the build"
#endif

namespace orvik::cli {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::vector<HidInterfaceInfo> List(CommandEnvironment& env) {
  return env.device.ListInterfaces(DeviceVendorId, DeviceProductId);
}

// The interface OpenDevice would take: the first usable one, or only the
// one at `path` when it is not empty.
const HidInterfaceInfo* Choose(const std::vector<HidInterfaceInfo>& found, const std::string& path) {
  for (const HidInterfaceInfo& info : found) {
    if (info.usable && (path.empty() || info.path == path)) return &info;
  }
  return nullptr;
}

// The interfaces that are a unit with this serial number: the updater's
// interface of each (report lengths 33 bytes in and out), usable or not. A
// composite device's other interfaces share the unit's serial but not its
// report lengths, and are not a second unit.
std::vector<const HidInterfaceInfo*> WithSerial(const std::vector<HidInterfaceInfo>& found,
                                                const std::string& serial) {
  std::vector<const HidInterfaceInfo*> units;
  for (const HidInterfaceInfo& info : found) {
    if (info.serial == serial && info.inputReportLength == kReportSize && info.outputReportLength == kReportSize) {
      units.push_back(&info);
    }
  }
  return units;
}

// The serial of the interface at `path` among `found`; nothing when it is not
// listed there.
std::optional<std::string> SerialOf(const std::vector<HidInterfaceInfo>& found, const std::string& path) {
  for (const HidInterfaceInfo& info : found) {
    if (info.path == path) return info.serial;
  }
  return std::nullopt;
}

// "ready", or why the interface does not open.
std::string UsableText(const HidInterfaceInfo& info) {
  return info.usable ? std::string("ready") : "can't open: " + info.problem;
}

Json InterfaceFields(const HidInterfaceInfo& info, bool chosen) {
  return {{"path", info.path},
          {"serial", ValidUtf8(info.serial)},
          {"input_report_length", info.inputReportLength},
          {"output_report_length", info.outputReportLength},
          {"usable", info.usable},
          {"problem", info.problem},
          {"chosen", chosen}};
}

// A line of the command's own on standard output, or an event instead.
void Say(CommandEnvironment& env, const std::string& text, const std::string& event, const Json& fields) {
  if (env.events != nullptr) {
    env.events->Emit(event, fields);
  } else {
    env.out << text << '\n' << std::flush;
  }
}

// A start-up failure of the command's own: the message on standard error,
// in the log, and as an event.
int StartupFailure(CommandEnvironment& env, const std::string& text, Json fields = Json::object()) {
  env.err << text << '\n' << std::flush;
  LogLine(text);
  if (env.events != nullptr) {
    fields["text"] = text;
    env.events->Emit("error", fields);
    env.events->Emit("result", {{"status", kExitStartupFailed}, {"failure", nullptr}, {"message", text}});
  }
  return kExitStartupFailed;
}

std::string WaitBoundText(unsigned seconds) {
  return seconds == 0 ? std::string("without bound") : "at most " + std::to_string(seconds) + " s";
}

// " none is attached", or " found: PATH (ready), PATH (can't open: ...)",
// each with its serial when `withSerial`.
std::string FoundText(const std::vector<HidInterfaceInfo>& found, bool withSerial) {
  if (found.empty()) return " none is attached";
  std::string text;
  for (const HidInterfaceInfo& info : found) {
    text += (&info == &found.front() ? " found: " : ", ") + info.path + " (" +
            (withSerial ? SerialText(info.serial) + ", " : std::string()) + UsableText(info) + ")";
  }
  return text;
}

Json FoundFields(const std::vector<HidInterfaceInfo>& found) {
  Json fields = Json::array();
  for (const HidInterfaceInfo& info : found) fields.push_back(InterfaceFields(info, false));
  return fields;
}

// --serial found no unit with its serial, or more than one (cheap devices
// ship one serial for every unit: updating "the" unit with it could take the
// wrong one).
int SerialRefused(CommandEnvironment& env, const std::vector<const HidInterfaceInfo*>& units,
                  const std::vector<HidInterfaceInfo>& found) {
  const std::string& serial = env.options.serial;
  const std::string program = std::string(kProgramFileName) + ": ";
  if (units.empty()) {
    return StartupFailure(env, program + "no attached interface of the device has the " + SerialText(serial) + ";" +
                                   FoundText(found, true),
                          {{"serial", ValidUtf8(serial)}, {"found", FoundFields(found)}});
  }
  std::string text =
      program + std::to_string(units.size()) + " attached interfaces have the " + SerialText(serial) + ":";
  Json paths = Json::array();
  for (const HidInterfaceInfo* unit : units) {
    text += (unit == units.front() ? " " : unit == units.back() ? " and " : ", ") + unit->path;
    paths.push_back(unit->path);
  }
  return StartupFailure(env, text + "; choose one with --device", {{"serial", ValidUtf8(serial)}, {"paths", paths}});
}

// One dialog over the device as it is restricted now: start-up, one update.
struct DialogRun {
  bool alreadyUpdated = false;  // the record shows the unit done: not run
  bool recordFailed = false;    // the record could not take the run: status is 1
  std::string runId;            // the run's in the record
  std::string time;             // when it started, as the record has it
  int status = kExitStartupFailed;
  int failure = 0;       // the run's failure number; 0 when complete or not run
  std::string message;   // the last message box's text
  std::string path;      // the interface opened
  std::string serial;    // its serial number
  milliseconds duration{0};
};

// Says that the record could not take a unit's run: on standard error, in
// the log and as an event.
void RecordError(CommandEnvironment& env, const DialogRun& run, const std::string& what, const std::string& error) {
  const std::string text = std::string(kProgramFileName) + ": " + what + " of " + run.path + " (" +
                           SerialText(run.serial) + ") could not be written to " + env.record->Where() + ": " + error;
  env.err << text << '\n' << std::flush;
  LogLine(text);
  if (env.events != nullptr) {
    env.events->Emit("error", {{"text", text}, {"path", run.path}, {"serial", ValidUtf8(run.serial)}});
  }
}

// The record's view of a run.
station::Record::Run RecordRunOf(const CommandEnvironment& env, const DialogRun& run, const station::Unit& unit) {
  station::Record::Run entry;
  entry.runId = run.runId;
  entry.unit = &unit;
  entry.mcu = !env.options.noMcu;
  entry.usb = !env.options.noUsb;
  entry.time = run.time;
  entry.status = run.status;
  entry.failure = run.failure;
  entry.message = run.message;
  entry.durationMs = run.duration.count();
  return entry;
}

station::Unit UnitOf(const DialogRun& run) {
  station::Unit unit;
  unit.path = run.path;
  unit.serial = run.serial;
  return unit;
}

// `found`: the interfaces as last listed, for the opened one's serial. With
// a record, the run is in it as started before the first command; when it
// cannot be written there, no command is sent.
DialogRun RunOneDialog(CommandEnvironment& env, const std::vector<HidInterfaceInfo>& found) {
  DialogRun run;
  run.runId = record::NewRunId();
  run.time = record::IsoLocalTime(std::time(nullptr));
  TerminalWindow window(env.out, env.err, env.interactive && env.events == nullptr, env.events);
  CORVIKUpdaterDlg dialog(window, env.device, env.resources, env.arguments);
  const Clock::time_point begin = Clock::now();
  run.status = RunDialog(dialog, window, env.options, [&] {
    run.path = env.device.OpenedPath();
    std::optional<std::string> serial = SerialOf(found, run.path);
    if (!serial) serial = SerialOf(List(env), run.path);  // it arrived after the listing
    run.serial = serial.value_or("");
    if (env.events != nullptr) {
      env.events->Emit("device",
                       {{"path", run.path}, {"serial", ValidUtf8(run.serial)}, {"caption", window.GetCaption()}});
    }
    if (env.record == nullptr) return true;
    const station::Unit unit = UnitOf(run);
    std::string error;
    if (env.record->Started(RecordRunOf(env, run, unit), error)) return true;
    RecordError(env, run, "the record of the start", error);
    run.recordFailed = true;
    return false;
  });
  run.duration = std::chrono::duration_cast<milliseconds>(Clock::now() - begin);
  run.failure = std::max(dialog.LastRunResult(), 0);
  run.message = window.LastMessage();
  if (run.recordFailed) {
    run.failure = 0;
    run.message = "not updated: the record could not take its start";
  }
  return run;
}

// The run a unit gets with --skip-updated when the record shows it updated
// already: none. Nothing when the unit is to be updated (no --skip-updated,
// the record shows no such run, or its serial is shared).
std::optional<DialogRun> AlreadyUpdated(const CommandEnvironment& env, const HidInterfaceInfo& unit,
                                        const record::SharedSerials* shared) {
  if (env.record == nullptr || !env.options.skipUpdated) return std::nullopt;
  if (shared != nullptr && shared->Shared(unit.serial)) return std::nullopt;
  const std::optional<std::string> at = env.record->UpdatedAt(unit.serial, !env.options.noMcu, !env.options.noUsb);
  if (!at) return std::nullopt;
  DialogRun run;
  run.alreadyUpdated = true;
  run.status = kExitCompleted;
  // The time comes from the record: shown as device text is.
  run.message = "already updated at " + TerminalText(*at) + "; run without --skip-updated to flash it again";
  run.path = unit.path;
  run.serial = unit.serial;
  return run;
}

// "emulated:1 (serial EMU-0001) already updated at TIME; run without
// --skip-updated to flash it again": said when a unit is passed over.
std::string PassedOverText(const DialogRun& run) {
  return std::string(kProgramFileName) + ": " + run.path + " (" + SerialText(run.serial) + ") " + run.message;
}

// Completes the unit's run in the record. False, after saying which unit's
// result was lost and why, when it could not be written.
bool RecordRun(CommandEnvironment& env, const DialogRun& run) {
  if (env.record == nullptr || run.alreadyUpdated) return true;
  if (run.recordFailed) return false;
  const station::Unit unit = UnitOf(run);
  std::string error;
  if (env.record->Finished(RecordRunOf(env, run, unit), error)) return true;
  RecordError(env, run, "the record line", error);
  return false;
}

// Says once that units share a serial (they are never passed over).
void SayShared(CommandEnvironment& env, record::SharedSerials& shared, const std::vector<HidInterfaceInfo>& found) {
  std::vector<record::SharedSerials::Attached> attached;
  for (const HidInterfaceInfo& info : found) {
    if (info.inputReportLength == kReportSize && info.outputReportLength == kReportSize) {
      attached.push_back({info.serial, info.identity});
    }
  }
  for (const std::string& serial : shared.Look(attached)) {
    const std::string text = std::string(kProgramFileName) + ": several units carry the " + SerialText(serial) +
                             ": each is updated, none is passed over, and the record cannot tell them apart";
    env.err << text << '\n' << std::flush;
    LogLine(text);
    if (env.events != nullptr) env.events->Emit("notice", {{"text", text}, {"serial", ValidUtf8(serial)}});
  }
}

}  // namespace

std::string InterfaceLine(const HidInterfaceInfo& info, bool chosen) {
  std::string line = chosen ? "* " : "  ";
  line += info.path;
  line += "  " + SerialText(info.serial);
  line += "  input " + std::to_string(info.inputReportLength);
  line += "  output " + std::to_string(info.outputReportLength);
  line += "  " + UsableText(info);
  return line;
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
    if (value > 0 && value <= 600000) recordOptions.busyTimeout = milliseconds(value);
  }
  return recordOptions;
}

int PrintHistory(const Options& options, std::ostream& out, std::ostream& err) {
  const std::string shown = record::DisplayName(options.record);
  const auto fail = [&](const std::string& error) {
    err << kProgramFileName << ": cannot read the record " << shown << ": " << error << '\n' << std::flush;
    return kExitStartupFailed;
  };
  record::RecordOptions recordOptions;
  recordOptions.readOnly = true;
  std::string error;
  std::string notice;
  const std::unique_ptr<record::StationRecord> opened = record::OpenRecord(options.record, recordOptions, error, notice);
  if (!opened) return fail(error);
  if (!notice.empty()) err << kProgramFileName << ": " << notice << '\n';
  std::vector<record::RecordLine> lines;
  const std::optional<std::string> serial =
      options.serial.empty() ? std::nullopt : std::optional<std::string>(options.serial);
  if (!opened->History(serial, lines, error)) return fail(error);
  if (options.json) {
    for (const record::RecordLine& line : lines) out << record::FormatRecordLine(record::RecordFormat::JsonLines, line);
  } else if (options.csv) {
    out << record::CsvHeader();
    for (const record::RecordLine& line : lines) out << record::FormatRecordLine(record::RecordFormat::Csv, line);
  } else {
    // A table: device text made safe for the terminal, columns as wide as
    // their widest cell (counted in bytes: wide enough for ASCII serials).
    std::vector<std::array<std::string, 7>> rows;
    rows.push_back({"TIME", "STATION", "PATH", "SERIAL", "STATE", "STATUS", "MESSAGE"});
    for (const record::RecordLine& line : lines) {
      rows.push_back({TerminalText(line.time), TerminalText(line.station.empty() ? line.host : line.station),
                      TerminalText(line.path), TerminalText(line.serial), line.state,
                      line.Finished() ? std::to_string(line.status) : std::string("-"), TerminalText(line.message)});
    }
    std::array<std::size_t, 7> widths{};
    for (const auto& row : rows) {
      for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    }
    for (const auto& row : rows) {
      std::string text;
      for (std::size_t c = 0; c < row.size(); ++c) {
        text += row[c];
        if (c + 1 < row.size()) text += std::string(widths[c] - row[c].size() + 2, ' ');
      }
      out << text << '\n';
    }
    if (lines.empty()) out << "(no runs)\n";
  }
  out << std::flush;
  return kExitCompleted;
}

int RunCommand(CommandEnvironment& env) {
  const char* mode = env.options.list ? "list" : env.options.station ? "station" : "update";
  if (env.events != nullptr) {
    env.events->Emit("start", {{"program", kProgramFileName}, {"version", ORVIK_PROGRAM_VERSION}, {"mode", mode}});
  }
  if (env.options.list) return RunList(env);
  std::unique_ptr<record::StationRecord> record;
  if (!env.options.record.empty()) {
    std::string error;
    std::string notice;
    record = record::OpenRecord(env.options.record, RecordOptionsFor(env.options, env.resources), error, notice);
    if (!record) {
      return StartupFailure(env, std::string(kProgramFileName) + ": cannot open the record " +
                                     record::DisplayName(env.options.record) + ": " + error,
                            {{"record", record::DisplayName(env.options.record)}});
    }
    if (!notice.empty()) {
      // Never fatal: the lines that parse still count; a spool was sent.
      const std::string text = std::string(kProgramFileName) + ": " + notice;
      env.err << text << '\n' << std::flush;
      LogLine(text);
      if (env.events != nullptr) env.events->Emit("warning", {{"text", text}, {"record", record->Where()}});
    }
    env.record = record.get();
  }
  const int status = env.options.station ? RunStation(env) : RunSingleUpdate(env);
  env.record = nullptr;
  return status;
}

int RunList(CommandEnvironment& env) {
  const std::vector<HidInterfaceInfo> found = List(env);
  const HidInterfaceInfo* chosen = Choose(found, env.options.device);
  for (const HidInterfaceInfo& info : found) {
    Say(env, InterfaceLine(info, &info == chosen), "interface", InterfaceFields(info, &info == chosen));
  }
  const int status = found.empty() ? kExitStartupFailed : kExitCompleted;
  if (found.empty()) env.err << "No interface with the device's vendor and product ID is attached.\n" << std::flush;
  if (env.events != nullptr) {
    env.events->Emit("result", {{"status", status}, {"failure", nullptr}, {"listed", found.size()}});
  }
  return status;
}

int RunSingleUpdate(CommandEnvironment& env) {
  const std::string& serial = env.options.serial;
  // The interface asked for: the one at --device, or the unit with --serial's
  // serial once it is found; empty: the first usable match.
  std::string only = env.options.device;
  env.device.RestrictToPath(only);

  // Whether what was asked for is there: a usable interface at the path, or
  // a unit with the serial (two of them end the wait as well: waiting longer
  // would not make them one).
  const auto arrived = [&](const std::vector<HidInterfaceInfo>& found) {
    if (serial.empty()) return Choose(found, only) != nullptr;
    const std::vector<const HidInterfaceInfo*> units = WithSerial(found, serial);
    return units.size() > 1 || (units.size() == 1 && units.front()->usable);
  };

  std::vector<HidInterfaceInfo> found = List(env);
  if (env.options.waitSeconds && !arrived(found)) {
    const unsigned seconds = *env.options.waitSeconds;
    const std::string what = !serial.empty() ? "the device with " + SerialText(serial)
                             : only.empty()  ? std::string("the device")
                                             : only;
    Say(env, "Waiting for " + what + " (" + WaitBoundText(seconds) + ")...", "waiting",
        {{"for", "device"}, {"path", only}, {"serial", ValidUtf8(serial)}, {"bound_s", seconds}});
    const std::optional<Clock::time_point> deadline =
        seconds == 0 ? std::nullopt : std::optional(Clock::now() + std::chrono::seconds(seconds));
    while (!arrived(found)) {
      if (deadline && Clock::now() >= *deadline) break;
      // A real sleep that a request to end cuts short.
      const milliseconds nap =
          deadline ? std::min(env.poll, std::chrono::ceil<milliseconds>(*deadline - Clock::now())) : env.poll;
      if (WaitForInterrupt(std::max(nap, milliseconds(1)))) return InterruptExitStatus(PendingInterrupt());
      found = List(env);
    }
    // Found, or the bound has passed: for a path the dialog's own search
    // decides, with its "Can't find device" when nothing came; a serial is
    // settled below.
  }

  if (!serial.empty()) {
    const std::vector<const HidInterfaceInfo*> units = WithSerial(found, serial);
    if (units.size() != 1) return SerialRefused(env, units, found);
    only = units.front()->path;
    env.device.RestrictToPath(only);
  }
  // After waiting for a path, the dialog's own search decides, as said above.
  const bool searchDecides = env.options.waitSeconds && serial.empty();
  if (!searchDecides && !only.empty() && Choose(found, only) == nullptr) {
    std::string text = std::string(kProgramFileName) + ": " + only + " is not a usable interface of the device;" +
                       FoundText(found, false);
    return StartupFailure(env, text, {{"path", only}, {"found", FoundFields(found)}});
  }

  if (only.empty()) {
    const auto usable = std::count_if(found.begin(), found.end(), [](const HidInterfaceInfo& i) { return i.usable; });
    if (usable > 1 && env.events == nullptr) {
      env.out << usable << " devices attached; updating the first (choose one with --device or --serial)\n";
    }
  }
  const HidInterfaceInfo* target = Choose(found, only);
  record::SharedSerials shared;
  SayShared(env, shared, found);
  const std::optional<DialogRun> skipped = target != nullptr ? AlreadyUpdated(env, *target, &shared) : std::nullopt;
  if (skipped) {
    env.err << PassedOverText(*skipped) << '\n' << std::flush;
    LogLine(PassedOverText(*skipped));
  }
  const DialogRun run = skipped ? *skipped : RunOneDialog(env, found);
  // The record first: the result says the status the program ends with. A
  // unit that was never opened was not tried: it gets no line.
  int status = run.status;
  if (run.status != kExitStartupFailed && !RecordRun(env, run)) status = kExitUpdateFailed;
  if (env.events != nullptr) {
    env.events->Emit("result", {{"status", status},
                                {"failure", run.status == kExitStartupFailed ? Json(nullptr) : Json(run.failure)},
                                {"message", run.message},
                                {"path", run.path},
                                {"serial", ValidUtf8(run.serial)},
                                {"duration_ms", run.duration.count()},
                                {"already_updated", run.alreadyUpdated},
                                {"recorded", env.record == nullptr || run.alreadyUpdated || status == run.status}});
  }
  return status;
}

int RunStation(CommandEnvironment& env) {
  const std::string program = std::string(kProgramFileName) + ": ";
  if (!env.options.logDir.empty()) {
    const std::string problem = app::LogFolderProblem(env.options.logDir);
    if (!problem.empty()) {
      return StartupFailure(env, program + "--log-dir " + env.options.logDir + " " + problem +
                                     " (it must be a writable folder of your own)",
                            {{"log_dir", env.options.logDir}});
    }
  }
  // For the station's whole life: idle sleep held off, and requests to end
  // the program deferred: they end the station once the units in flight are
  // done. Each unit being updated takes the full hold (StationView::Busy).
  OutputWriter output(env.out, env.err);
  auto hold = std::make_unique<app::UpdateHold>(app::HoldScope::Station, [&output](const std::string& notHeld) {
    output.Write(OutputStream::Err, std::string(kProgramFileName) + ": " + notHeld + '\n');
  });
  const StationOutput mode = env.events != nullptr                           ? StationOutput::Json
                             : env.interactive && EnableTerminalSequences() ? StationOutput::Table
                                                                             : StationOutput::Lines;
  station::StationSummary summary;
  {
    // The writer's thread from here to the summary: the engine's thread
    // never waits for the terminal or a pipe.
    const ScopedOutputThread writer(output);
    StationView view(output, mode, env.interactive, env.options.stationCount);

    view.Say("Station: connect the devices; each is updated as it arrives, at most " +
                 std::to_string(env.options.parallel) +
                 " at once; Ctrl+C ends the station once the units being updated are done.",
             "station",
             {{"count", env.options.stationCount ? Json(*env.options.stationCount) : Json(nullptr)},
              {"parallel", env.options.parallel},
              {"log_dir", env.options.logDir}});
    LogLine("Station: at most " + std::to_string(env.options.parallel) + " units at once");

    station::StationConfig config;
    config.parallel = env.options.parallel;
    config.count = env.options.stationCount;
    config.mcu = !env.options.noMcu;
    config.usb = !env.options.noUsb;
    config.verboseLog = env.options.log;
    config.arguments = env.arguments;
    config.poll = env.poll;
    config.logDir = std::filesystem::path(std::u8string(env.options.logDir.begin(), env.options.logDir.end()));
    config.record = env.record;
    config.skipUpdated = env.record != nullptr && env.options.skipUpdated;
    bool noticeShown = false;
    config.stopRequested = [&] {
      if (PendingInterrupt() == 0) return false;
      if (!noticeShown && view.Updating()) {
        output.Append(OutputStream::Err, std::string(kProgramFileName) +
                                             ": the station ends once the units being updated are done\n");
      }
      noticeShown = true;
      return true;
    };
    summary = station::RunStation(env.device, env.resources, config, view);
    view.End(summary.endedBy == "interrupt");

    std::string text = "Station: " + std::to_string(summary.devices) + (summary.devices == 1 ? " device, " : " devices, ") +
                       std::to_string(summary.updated) + " updated, " + std::to_string(summary.failed) + " failed";
    if (summary.passedOver != 0) text += ", " + std::to_string(summary.passedOver) + " already updated";
    Json tally = Json::array();
    for (const auto& [number, count] : summary.failures) {
      text += "\n  failure " + std::to_string(number) + ": " + std::to_string(count);
      tally.push_back({{"failure", number}, {"count", count}});
    }
    view.Say(text, "summary",
             {{"devices", summary.devices},
              {"updated", summary.updated},
              {"failed", summary.failed},
              {"already_updated", summary.passedOver},
              {"failures", tally},
              {"status", summary.status},
              {"ended_by", summary.endedBy}});
    LogLine(text);
  }
  hold.reset();
  ClearPendingInterrupt();
  return summary.status;
}

}  // namespace orvik::cli
