#include "app/cli/commands.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <ctime>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>

#include "app/cli/console.h"
#include "app/cli/device_text.h"
#include "app/cli/history_table.h"
#include "app/common/interrupt.h"
#include "app/cli/station_setup.h"
#include "app/cli/station_view.h"
#include "app/common/app_common.h"
#include "app/cli/terminal_window.h"
#include "app/common/app_common.h"
#include "app/common/update_hold.h"
#include "image/image.h"
#include "log/log.h"
#include "station/shared_serials.h"
#include "station/unit_log.h"
#include "station/unit_recording.h"
#include "ui/updater_dlg.h"

#ifndef ORVIK_PROGRAM_VERSION
#error "ORVIK_PROGRAM_VERSION must be defined by the build"
#endif

namespace orvik::cli {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration_cast;
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

// The interfaces that are a unit with this serial number (or, with `byPort`,
// on this port): the updater's interface of each (report lengths 33 bytes in
// and out), usable or not. A composite device's other interfaces share the
// unit's serial and port but not its report lengths, and are not a second
// unit.
std::vector<const HidInterfaceInfo*> UnitsWith(const std::vector<HidInterfaceInfo>& found, const std::string& value,
                                               bool byPort) {
  std::vector<const HidInterfaceInfo*> units;
  for (const HidInterfaceInfo& info : found) {
    if ((byPort ? info.port : info.serial) == value && info.inputReportLength == kReportSize &&
        info.outputReportLength == kReportSize) {
      units.push_back(&info);
    }
  }
  return units;
}

// The interface at `path` among `found`; null when it is not listed there.
const HidInterfaceInfo* Find(const std::vector<HidInterfaceInfo>& found, const std::string& path) {
  for (const HidInterfaceInfo& info : found) {
    if (info.path == path) return &info;
  }
  return nullptr;
}

// "ready", or why the interface does not open.
std::string UsableText(const HidInterfaceInfo& info) {
  return info.usable ? std::string("ready") : "can't open: " + info.problem;
}

Json InterfaceFields(const HidInterfaceInfo& info, bool chosen) {
  return {{"path", info.path},
          {"serial", JsonText(info.serial)},
          {"port", JsonText(info.port)},
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
// each with its serial and port when `withUnit`.
std::string FoundText(const std::vector<HidInterfaceInfo>& found, bool withUnit) {
  if (found.empty()) return " none is attached";
  std::string text;
  for (const HidInterfaceInfo& info : found) {
    text += (&info == &found.front() ? " found: " : ", ") + info.path + " (" +
            (withUnit ? SerialText(info.serial) + ", " + PortText(info.port) + ", " : std::string()) +
            UsableText(info) + ")";
  }
  return text;
}

Json FoundFields(const std::vector<HidInterfaceInfo>& found) {
  Json fields = Json::array();
  for (const HidInterfaceInfo& info : found) fields.push_back(InterfaceFields(info, false));
  return fields;
}

// --serial or --port found no unit with its serial or port, or more than one
// (cheap devices ship one serial for every unit: updating "the" unit with it
// could take the wrong one).
int UnitRefused(CommandEnvironment& env, const std::vector<const HidInterfaceInfo*>& units,
                const std::vector<HidInterfaceInfo>& found) {
  const bool byPort = !env.options.port.empty();
  const std::string& value = byPort ? env.options.port : env.options.serial;
  const std::string what = byPort ? PortText(value) : SerialText(value);
  const char* key = byPort ? "port" : "serial";
  const std::string program = std::string(kProgramFileName) + ": ";
  if (units.empty()) {
    return StartupFailure(env,
                          program + "no attached interface of the device " + (byPort ? "is on the " : "has the ") +
                              what + ";" + FoundText(found, true),
                          {{key, JsonText(value)}, {"found", FoundFields(found)}});
  }
  std::string text = program + std::to_string(units.size()) + " attached interfaces " +
                     (byPort ? "are on the " : "have the ") + what + ":";
  Json paths = Json::array();
  for (const HidInterfaceInfo* unit : units) {
    text += (unit == units.front() ? " " : unit == units.back() ? " and " : ", ") + unit->path;
    paths.push_back(unit->path);
  }
  return StartupFailure(env, text + "; choose one with --device", {{key, JsonText(value)}, {"paths", paths}});
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
  std::string port;      // its USB port
  milliseconds duration{0};
  std::shared_ptr<station::UnitRecording> recording;  // its way through the record
};

// Says that the record could not take a unit's run: on standard error, in
// the log and as an event.
// `window`: inside an update, what is said goes through the window's writer,
// which never waits.
void RecordError(CommandEnvironment& env, const DialogRun& run, const std::string& what, const std::string& error,
                 TerminalWindow* window = nullptr) {
  const std::string text = std::string(kProgramFileName) + ": " + what + " of " + run.path + " (" +
                           SerialText(run.serial) + ") could not be written to " + env.record->Where() + ": " + error;
  LogLine(text);
  const Json fields = {{"text", text}, {"path", run.path}, {"serial", JsonText(run.serial)}};
  if (window != nullptr) {
    window->WriteError(text);
    if (env.events != nullptr) window->Output().Write(OutputStream::Out, EventStream::Line("error", fields) + '\n');
    return;
  }
  env.err << text << '\n' << std::flush;
  if (env.events != nullptr) env.events->Emit("error", fields);
}

station::Unit UnitOf(const DialogRun& run) {
  station::Unit unit;
  unit.path = run.path;
  unit.serial = run.serial;
  unit.port = run.port;
  return unit;
}

// `found`: the interfaces as last listed, for the opened one's serial. With
// a record, the run is in it as started before the first command; when it
// cannot be written there, no command is sent. `finish`, when given, hears
// the run once the worker has ended, while the update still holds everything
// (its writes to the terminal go through `window`, which does not wait for
// the output).
DialogRun RunOneDialog(CommandEnvironment& env, const std::vector<HidInterfaceInfo>& found,
                       const std::function<void(const DialogRun&, TerminalWindow&)>& finish = {}) {
  DialogRun run;
  run.recording = std::make_shared<station::UnitRecording>(env.record, station::Unit{}, !env.options.noMcu,
                                                           !env.options.noUsb);
  run.runId = run.recording->RunId();
  run.time = run.recording->Time();
  TerminalWindow window(env.out, env.err, env.interactive && env.events == nullptr, env.events);
  if (env.interactive) window.SetColumnsSource(TerminalColumns);
  CORVIKUpdaterDlg dialog(window, env.device, env.resources, env.arguments);
  const Clock::time_point begin = Clock::now();
  const auto ended = [&](int status) {
    run.status = status;
    run.duration = std::chrono::duration_cast<milliseconds>(Clock::now() - begin);
    run.failure = std::max(dialog.LastRunResult(), 0);
    run.message = window.LastMessage();
  };
  run.status = RunDialog(
      dialog, window, env.options,
      [&] {
        run.path = env.device.OpenedPath();
        const HidInterfaceInfo* opened = Find(found, run.path);
        std::vector<HidInterfaceInfo> relisted;
        if (opened == nullptr) {  // it arrived after the listing
          relisted = List(env);
          opened = Find(relisted, run.path);
        }
        run.serial = opened != nullptr ? opened->serial : std::string();
        run.port = opened != nullptr ? opened->port : std::string();
        if (env.events != nullptr) {
          env.events->Emit("device", {{"path", run.path},
                                      {"serial", JsonText(run.serial)},
                                      {"port", JsonText(run.port)},
                                      {"caption", window.GetCaption()}});
        }
        if (env.record == nullptr) return true;
        run.recording->SetUnit(UnitOf(run));
        std::string error;
        if (run.recording->Start(error)) return true;
        RecordError(env, run, "the record of the start", error);
        run.recordFailed = true;
        return false;
      },
      [&](int status) {
        ended(status);
        if (finish) finish(run, window);
      });
  if (run.status == kExitStartupFailed || run.recordFailed) ended(run.status);
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
                                        const station::SharedSerials* shared) {
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
  run.port = unit.port;
  return run;
}

// "emulated:1 (serial EMU-0001) already updated at TIME; run without
// --skip-updated to flash it again": said when a unit is passed over.
std::string PassedOverText(const DialogRun& run) {
  return std::string(kProgramFileName) + ": " + run.path + " (" + SerialText(run.serial) + ") " + run.message;
}

// Completes the unit's run in the record. False, after saying which unit's
// result was lost and why, when it could not be written.
bool RecordRun(CommandEnvironment& env, const DialogRun& run, TerminalWindow* window = nullptr) {
  if (env.record == nullptr || run.alreadyUpdated) return true;
  if (run.recordFailed || !run.recording) return false;
  std::string error;
  if (run.recording->Finish(run.status == kExitCompleted, run.failure, run.message, run.duration, error)) {
    if (!error.empty()) {
      // Taken with a word to say: a lost server's row kept in the spool.
      const std::string text = std::string(kProgramFileName) + ": " + error;
      LogLine(text);
      if (window != nullptr) {
        window->WriteError(text);
      } else {
        env.err << text << '\n' << std::flush;
      }
    }
    return true;
  }
  RecordError(env, run, "the record line", error, window);
  return false;
}

// Says once that units share a serial (they are never passed over).
void SayShared(CommandEnvironment& env, station::SharedSerials& shared, const std::vector<HidInterfaceInfo>& found) {
  std::vector<station::SharedSerials::Attached> attached;
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
  line += "  " + PortText(info.port);
  line += "  input " + std::to_string(info.inputReportLength);
  line += "  output " + std::to_string(info.outputReportLength);
  line += "  " + UsableText(info);
  return line;
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
  const std::optional<std::string> serial =
      options.serial.empty() ? std::nullopt : std::optional<std::string>(options.serial);
  // Each run is written as it is read: a record of a million runs takes no
  // more memory than one of ten.
  bool any = false;
  std::optional<HistoryTable> table;
  if (!options.json && !options.csv) {
    // Device text made safe for the terminal; on a terminal, each line fits
    // its width.
    table.emplace(std::vector<std::string>{"TIME", "STATION", "SLOT", "PORT", "PATH", "SERIAL", "STATE", "STATUS",
                                           "FAILURE", "OPERATOR", "MESSAGE"},
                  &out == &std::cout && StdoutIsTerminal() ? TerminalColumns() : 0);
  }
  if (options.csv) out << record::CsvHeader();
  const auto dash = [](std::string text) { return text.empty() ? std::string("-") : text; };
  const bool read = opened->History(
      serial,
      [&](const record::RecordLine& line) {
        any = true;
        if (options.json) {
          out << record::FormatRecordLine(record::RecordFormat::JsonLines, line);
        } else if (options.csv) {
          out << record::FormatRecordLine(record::RecordFormat::Csv, line);
        } else {
          out << table->Add({TerminalText(line.time), dash(TerminalText(line.station.empty() ? line.host : line.station)),
                             dash(TerminalText(line.slot)), dash(TerminalText(line.port)), TerminalText(line.path),
                             dash(TerminalText(line.serial)), line.state,
                             line.Finished() ? std::to_string(line.status) : std::string("-"),
                             line.Finished() && line.failure != 0 ? std::to_string(line.failure) : std::string("-"),
                             dash(TerminalText(line.operatorName)), TerminalText(line.message)});
        }
        return static_cast<bool>(out);
      },
      error);
  if (table) out << table->Finish();
  if (!read) return fail(error);
  if (table && !any) out << "(no runs)\n";
  out << std::flush;
  return kExitCompleted;
}

int RunCommand(CommandEnvironment& env) {
  const char* mode = env.options.list              ? "list"
                     : !env.options.teach.empty()   ? "teach"
                     : env.options.station          ? "station"
                                                    : "update";
  if (env.events != nullptr) {
    env.events->Emit("start", {{"program", kProgramFileName}, {"version", ORVIK_PROGRAM_VERSION}, {"mode", mode}});
  }
  // Every path the options name, checked before anything is created: a
  // refused start leaves nothing behind. The log folder is held from here
  // on, the slot map read.
  StartPaths opened;
  if (const std::optional<StartRefusal> refusal = CheckStartPaths(env.options, PortFormFor(env), opened)) {
    return StartupFailure(env, std::string(kProgramFileName) + ": " + refusal->text,
                          {{refusal->field, refusal->value}});
  }
  env.logFolder = std::move(opened.logFolder);
  env.slots = std::move(opened.slots);
  if (env.options.list) return RunList(env);
  if (!env.options.teach.empty()) return RunTeach(env);
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
  const std::string message = found.empty() ? "No interface with the device's vendor and product ID is attached."
                              : found.size() == 1 ? std::string("1 interface listed")
                                                  : std::to_string(found.size()) + " interfaces listed";
  if (found.empty()) env.err << message << '\n' << std::flush;
  if (env.events != nullptr) {
    env.events->Emit("result",
                     {{"status", status}, {"failure", nullptr}, {"message", message}, {"listed", found.size()}});
  }
  return status;
}

int RunSingleUpdate(CommandEnvironment& env) {
  // The result's duration is the whole run's, the wait for the device included.
  const Clock::time_point commandBegin = Clock::now();
  const std::string& serial = env.options.serial;
  const std::string& port = env.options.port;
  // --serial or --port: the unit is chosen by what it is or where it sits,
  // and its path is known only once it is found.
  const bool byPort = !port.empty();
  const bool byUnit = byPort || !serial.empty();
  const std::string& unitValue = byPort ? port : serial;
  // The interface asked for: the one at --device, or the unit with --serial's
  // serial (--port's port) once it is found; empty: the first usable match.
  std::string only = env.options.device;
  env.device.RestrictToPath(only);

  // Whether what was asked for is there: a usable interface at the path, or
  // a unit with the serial or on the port (two of them end the wait as well:
  // waiting longer would not make them one).
  const auto arrived = [&](const std::vector<HidInterfaceInfo>& found) {
    if (!byUnit) return Choose(found, only) != nullptr;
    const std::vector<const HidInterfaceInfo*> units = UnitsWith(found, unitValue, byPort);
    return units.size() > 1 || (units.size() == 1 && units.front()->usable);
  };

  std::vector<HidInterfaceInfo> found = List(env);
  if (env.options.waitSeconds && !arrived(found)) {
    const unsigned seconds = *env.options.waitSeconds;
    const std::string what = byPort            ? "the device on " + PortText(port)
                             : !serial.empty() ? "the device with " + SerialText(serial)
                             : only.empty()    ? std::string("the device")
                                               : only;
    Say(env, "Waiting for " + what + " (" + WaitBoundText(seconds) + ")...", "waiting",
        {{"for", "device"},
         {"path", only},
         {"serial", JsonText(serial)},
         {"port", JsonText(port)},
         {"bound_s", seconds}});
    const std::optional<Clock::time_point> deadline =
        seconds == 0 ? std::nullopt : std::optional(Clock::now() + std::chrono::seconds(seconds));
    while (!arrived(found)) {
      if (deadline && Clock::now() >= *deadline) break;
      // A real sleep that a request to end cuts short.
      const milliseconds nap =
          deadline ? std::min(env.poll, std::chrono::ceil<milliseconds>(*deadline - Clock::now())) : env.poll;
      if (app::WaitForInterrupt(std::max(nap, milliseconds(1)))) {
        return app::InterruptExitStatus(app::PendingInterrupt());
      }
      found = List(env);
    }
    // Found, or the bound has passed: for a path the dialog's own search
    // decides, with its "Can't find device" when nothing came; a serial or a
    // port is settled below.
  }

  if (byUnit) {
    const std::vector<const HidInterfaceInfo*> units = UnitsWith(found, unitValue, byPort);
    if (units.size() != 1) return UnitRefused(env, units, found);
    only = units.front()->path;
    env.device.RestrictToPath(only);
  }
  // After waiting for a path, the dialog's own search decides, as said above.
  const bool searchDecides = env.options.waitSeconds && !byUnit;
  if (!searchDecides && !only.empty() && Choose(found, only) == nullptr) {
    std::string text = std::string(kProgramFileName) + ": " + only + " is not a usable interface of the device;" +
                       FoundText(found, false);
    return StartupFailure(env, text, {{"path", only}, {"found", FoundFields(found)}});
  }

  if (only.empty()) {
    const auto usable = std::count_if(found.begin(), found.end(), [](const HidInterfaceInfo& i) { return i.usable; });
    if (usable > 1 && env.events == nullptr) {
      env.out << usable << " devices attached; updating the first (choose one with --device, --serial or --port)\n";
    }
  }
  const HidInterfaceInfo* target = Choose(found, only);
  station::SharedSerials shared;
  if (env.record != nullptr && env.options.skipUpdated) SayShared(env, shared, found);
  const std::optional<DialogRun> skipped = target != nullptr ? AlreadyUpdated(env, *target, &shared) : std::nullopt;
  if (skipped) {
    env.err << PassedOverText(*skipped) << '\n' << std::flush;
    LogLine(PassedOverText(*skipped));
  }
  // The unit's record line is written inside the update's hold: a second
  // Ctrl+C right after the update cannot leave a flashed unit without one.
  // A unit that was never opened was not tried: it gets no line.
  bool recorded = true;
  const DialogRun run = skipped ? *skipped
                                : RunOneDialog(env, found, [&](const DialogRun& done, TerminalWindow& window) {
                                    recorded = RecordRun(env, done, &window);
                                  });
  int status = run.status;
  if (!recorded || run.recordFailed) status = kExitUpdateFailed;
  if (env.events != nullptr) {
    Json result = Json({{"status", status},
                                {"failure", run.status == kExitStartupFailed ? Json(nullptr) : Json(run.failure)},
                                {"message", run.message},
                                {"path", run.path},
                                {"serial", JsonText(run.serial)},
                                {"port", JsonText(run.port)},
                                {"duration_ms", duration_cast<milliseconds>(Clock::now() - commandBegin).count()},
                                {"already_updated", run.alreadyUpdated}});
    if (env.record != nullptr) {
      // Whether the record took this run: its start and its result.
      result["recorded"] = run.alreadyUpdated || (recorded && !run.recordFailed);
    }
    env.events->Emit("result", result);
  }
  return status;
}

int RunStation(CommandEnvironment& env) {
  const std::string program = std::string(kProgramFileName) + ": ";
  // --log-dir and --slots were checked (and the folder is held) by
  // RunCommand, before the record was opened.
  const std::optional<station::SlotMap>& slots = env.slots;
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
  int status = kExitCompleted;
  {
    // The writer's thread from here to the summary: the engine's thread
    // never waits for the terminal or a pipe.
    const ScopedOutputThread writer(output);
    StationView view(output, mode, env.interactive, env.options.stationCount);
    if (env.record != nullptr) view.SetRecordWhere(env.record->Where());

    view.Say("Station: connect the devices; each is updated as it arrives, at most " +
                 std::to_string(env.options.parallel) +
                 " at once; Ctrl+C ends the station once the units being updated are done.",
             "station",
             {{"count", env.options.stationCount ? Json(*env.options.stationCount) : Json(nullptr)},
              {"parallel", env.options.parallel},
              {"log_dir", env.options.logDir}});
    LogLine("Station: at most " + std::to_string(env.options.parallel) + " units at once");

    if (slots) {
      view.Say("Station: " + std::to_string(slots->Slots().size()) + " slots from " + env.options.slots +
                   "; a unit on any other port is not a slot and is left alone.",
               "slots", {{"file", env.options.slots}, {"slots", slots->Slots().size()}});
    }
    station::StationConfig config;
    if (slots) {
      for (const station::Slot& slot : slots->Slots()) config.slots.push_back(slot.name);
      config.slotOf = [&slots](const HidInterfaceInfo& info) -> std::optional<std::string> {
        if (info.port.empty()) return std::nullopt;
        return slots->SlotOf(info.port);
      };
    }
    config.parallel = env.options.parallel;
    config.count = env.options.stationCount;
    config.options.mcu = !env.options.noMcu;
    config.options.usb = !env.options.noUsb;
    config.options.verboseLog = env.options.log;
    config.arguments = env.arguments;
    config.poll = env.poll;
    config.logFolder = env.logFolder;
    config.record = env.record;
    config.skipUpdated = env.record != nullptr && env.options.skipUpdated;
    bool noticeShown = false;
    const auto stopRequested = [&] {
      if (app::PendingInterrupt() == 0) return false;
      if (!noticeShown) view.Interrupted(app::PendingInterrupt());
      noticeShown = true;
      return true;
    };
    const station::StationSummary ended =
        station::RunStation(env.device, env.resources, config, view, view, stopRequested);
    view.End(ended.endedBy == station::EndReason::Stopped);

    const station::Tally& tally = ended.tally;
    const unsigned devices = tally.Finished();
    status = ended.endedBy == station::EndReason::StartupFailure ? kExitStartupFailed
             : tally.failed != 0 || ended.recordFailed           ? kExitUpdateFailed
                                                                  : kExitCompleted;
    const char* endedBy = ended.endedBy == station::EndReason::CountReached     ? "count"
                          : ended.endedBy == station::EndReason::RecordFailure  ? "record_failure"
                          : ended.endedBy == station::EndReason::StartupFailure ? "startup_failure"
                                                                                 : "interrupt";
    if (ended.endedBy == station::EndReason::StartupFailure) {
      view.Say(program + "the devices give no handle per unit; the station cannot run units of its own", "error",
               {{"text", "the devices give no handle per unit"}});
    }
    std::string text = "Station: " + std::to_string(devices) + (devices == 1 ? " device, " : " devices, ") +
                       std::to_string(tally.passed) + " updated, " + std::to_string(tally.failed) + " failed";
    if (tally.passedOver != 0) text += ", " + std::to_string(tally.passedOver) + " already updated";
    LogLine(text);
    Json failures = Json::array();
    for (const auto& [number, count] : tally.failures) {
      const std::string line = "failure " + std::to_string(number) + ": " + std::to_string(count);
      text += "\n  " + line;
      // The log: one time-stamped line per count.
      LogLine("Station: " + line);
      failures.push_back({{"failure", number}, {"count", count}});
    }
    view.Say(text, "summary",
             {{"devices", devices},
              {"updated", tally.passed},
              {"failed", tally.failed},
              {"already_updated", tally.passedOver},
              {"failures", failures},
              {"status", status},
              {"ended_by", endedBy}});
  }
  hold.reset();
  app::ClearPendingInterrupt();
  return status;
}

}  // namespace orvik::cli
