// The portable part of what the front ends share: the log's path rule, the
// log's first lines, and the choice between the real device and the emulated
// one.
#include "app/common/app_common.h"

#include <span>
#include <utility>

#include "emulator/emulated_device.h"
#include "emulator/emulated_device_set.h"
#include "emulator/fault.h"
#include "log/log.h"

namespace orvik::app {

std::filesystem::path WholePathLogPath(const std::filesystem::path& executable) {
  // The search covers the whole path, folders included: an executable without
  // a "." in its own name but with one in a folder's name is cut in that
  // folder. The result lives in a growable string, so no path is too long.
  using String = std::filesystem::path::string_type;
  String text = executable.native();
  const String::size_type dot = text.rfind(static_cast<String::value_type>('.'));
  if (dot != String::npos) {
    text.resize(dot);
  }
  std::filesystem::path result(std::move(text));
  result += ".log";
  return result;
}

std::filesystem::path FileNameLogPath(const std::filesystem::path& executable) {
  using String = std::filesystem::path::string_type;
  String name = executable.filename().native();
  const String::size_type dot = name.rfind(static_cast<String::value_type>('.'));
  // At position 0 the "." starts a hidden name (".orvik"); it is no extension.
  if (dot != String::npos && dot > 0) {
    name.resize(dot);
  }
  // replace_filename keeps the folder exactly as written, separators
  // included; an empty path (unreadable executable) gives ".log" in the
  // current folder, as the whole-path rule does.
  std::filesystem::path result = executable;
  result.replace_filename(std::filesystem::path(std::move(name)));
  result += ".log";
  return result;
}

std::filesystem::path StateDirLogPath(const std::filesystem::path& besideLog, const char* xdgStateHome,
                                      const char* home) {
  // XDG: a relative XDG_STATE_HOME is invalid and is ignored.
  std::filesystem::path base;
  if (xdgStateHome != nullptr && std::filesystem::path(xdgStateHome).is_absolute()) {
    base = xdgStateHome;
  } else if (home != nullptr && *home != '\0') {
    base = std::filesystem::path(home) / ".local" / "state";
  } else {
    return {};
  }
  return base / kStateFolderName / besideLog.filename();
}

void StartProgramLog(CLog& log, const SingleInstance& instance) {
  OpenProgramLog(log);
  log.Write(kProgramName);
  const std::string note = instance.Note();
  if (!note.empty()) log.Write(note);
}

DeviceChoice ChooseDevice(const std::vector<std::string>& arguments) {
  // One emulated unit for "-Emulate" and "-Emulate:FAULT", one per UNIT of
  // "-Emulate:UNIT,UNIT,...".
  const EmulateOption option = ParseEmulateOption(std::span<const std::string>(arguments));
  DeviceChoice choice;
  choice.emulated = option.emulate;
  if (!option.error.empty()) {
    choice.error = option.error;
    return choice;
  }
  if (option.emulate) {
    auto device = std::make_unique<EmulatedDeviceSet>(option.units);
    // Paced like the real device (one report per 1 ms USB frame, about 5 s
    // for a whole update), so a demonstration shows the bar and the elapsed
    // time moving as they do with hardware.
    device->SetLatency(TransferLatency{std::chrono::microseconds{0}, true});
    choice.device = std::move(device);
  } else {
    choice.device = MakeSystemHidDevice();
  }
  return choice;
}

}  // namespace orvik::app
