// --teach FILE: learns a fixture's slots from the operator, who plugs a unit
// into each slot in turn; the port where each arrives becomes slot 1, 2, ...
// Nothing is sent to any unit.
#include <ctime>
#include <set>

#include "app/cli/commands.h"
#include "app/cli/device_text.h"
#include "app/common/interrupt.h"
#include "app/cli/station_record.h"
#include "emulator/fault.h"
#include "log/log.h"
#include "log/native_path.h"
#include "station/slots.h"

namespace orvik::cli {
namespace {

// The file names at most this many slots, and teaching ends by itself there.
constexpr std::size_t kMaxTaughtSlots = 500;

// A line on standard output, or an event instead.
void Say(CommandEnvironment& env, const std::string& text, const std::string& event, const Json& fields) {
  if (env.events != nullptr) {
    env.events->Emit(event, fields);
  } else {
    env.out << text << '\n' << std::flush;
  }
}

// A fault: the text on standard error and in the log, and as events.
int Fail(CommandEnvironment& env, int status, const std::string& text) {
  env.err << text << '\n' << std::flush;
  LogLine(text);
  if (env.events != nullptr) {
    env.events->Emit("error", {{"text", text}, {"file", env.options.teach}});
    env.events->Emit("result", {{"status", status}, {"failure", nullptr}, {"message", text}});
  }
  return status;
}

std::string UnitText(const HidInterfaceInfo& info) {
  return info.path + (info.serial.empty() ? std::string(", no serial") : ", serial " + TerminalText(info.serial));
}

// The updater's interface of a unit: a composite device's other interfaces
// share its port and are not a second unit.
bool IsUnit(const HidInterfaceInfo& info) {
  return info.inputReportLength == kReportSize && info.outputReportLength == kReportSize;
}

}  // namespace

station::PortForm PortFormFor(const CommandEnvironment& env) {
  return ParseEmulateOption(env.arguments).emulate ? station::PortForm::Emulated : station::SystemPortForm();
}

int RunTeach(CommandEnvironment& env) {
  const std::string program = std::string(kProgramFileName) + ": ";
  const std::filesystem::path file = PathFromUtf8(env.options.teach);
  std::error_code ec;
  if (!env.options.force && std::filesystem::exists(std::filesystem::symlink_status(file, ec))) {
    return Fail(env, kExitStartupFailed, program + env.options.teach + " exists already; --force replaces it");
  }
  const station::PortForm form = PortFormFor(env);

  // Ctrl+C ends the teaching and the file is written: every request to end
  // is held until then.
  const app::ScopedInterruptPolicy defer(app::InterruptPolicy::Defer);
  std::set<std::string> present;
  std::vector<HidInterfaceInfo> found = env.device.ListInterfaces(DeviceVendorId, DeviceProductId);
  for (const HidInterfaceInfo& info : found) {
    if (!IsUnit(info)) continue;
    present.insert(info.identity);
    Say(env, UnitText(info) + " was attached before teaching began and is not taught; unplug it, and plug it in when its slot is asked for.",
        "notice", {{"path", info.path}, {"serial", JsonText(info.serial)}, {"port", JsonText(info.port)},
                   {"text", "attached before teaching began: not taught"}});
  }

  station::SlotMap map;
  const auto prompt = [&] {
    const std::string slot = std::to_string(map.Slots().size() + 1);
    Say(env, "Plug a unit into slot " + slot + " (Ctrl+C when all slots are done)", "waiting",
        {{"for", "slot"}, {"slot", slot}});
  };
  prompt();
  while (map.Slots().size() < kMaxTaughtSlots && !app::WaitForInterrupt(env.poll)) {
    found = env.device.ListInterfaces(DeviceVendorId, DeviceProductId);
    // A unit that left may come back: it is looked at again.
    std::set<std::string> now;
    for (const HidInterfaceInfo& info : found) now.insert(info.identity);
    std::erase_if(present, [&](const std::string& identity) { return now.count(identity) == 0; });

    for (const HidInterfaceInfo& info : found) {
      if (!IsUnit(info) || !present.insert(info.identity).second) continue;
      const Json fields = {{"path", info.path}, {"serial", JsonText(info.serial)}, {"port", JsonText(info.port)}};
      std::string problem;
      if (info.port.empty()) {
        problem = "has no port (not on USB)";
      } else if (!station::IsPortInForm(info.port, form)) {
        problem = "is on the port " + TerminalText(info.port) + ", which is not " + station::PortFormText(form);
      } else if (const std::optional<std::string> slot = map.SlotOf(info.port)) {
        problem = "is on the port " + info.port + ", which is slot " + *slot + " already";
      }
      if (!problem.empty()) {
        Json refused = fields;
        refused["text"] = problem;
        Say(env, UnitText(info) + " " + problem + "; plug it into the next slot.", "notice", refused);
        continue;
      }
      const std::string slot = std::to_string(map.Slots().size() + 1);
      map.Add({slot, info.port, 0});
      Json taught = fields;
      taught["slot"] = slot;
      Say(env, "Slot " + slot + ": port " + info.port + " (" + UnitText(info) + ")", "slot", taught);
      if (map.Slots().size() < kMaxTaughtSlots) prompt();
    }
  }
  app::ClearPendingInterrupt();

  const std::size_t slots = map.Slots().size();
  if (slots == 0) return Fail(env, kExitUpdateFailed, program + "no slot was taught; " + env.options.teach + " is not written");
  const std::string text = station::FormatSlots(
      map, "Slots taught by " + std::string(kProgramFileName) + " --teach at " + IsoLocalTime(std::time(nullptr)));
  std::string error;
  if (!station::WriteFileAtomically(file, text, env.options.force, error)) {
    // Nothing the operator did is lost: the map goes to standard error.
    return Fail(env, kExitUpdateFailed, program + env.options.teach + " could not be written: " + error +
                                            "; the slots taught were:\n" + text.substr(0, text.size() - 1));
  }
  const std::string done = "Wrote " + std::to_string(slots) + (slots == 1 ? " slot" : " slots") + " to " +
                           env.options.teach + ".";
  LogLine(done);
  Say(env, done, "result", {{"status", kExitCompleted}, {"failure", nullptr}, {"slots", slots}, {"file", env.options.teach}});
  return kExitCompleted;
}

}  // namespace orvik::cli
