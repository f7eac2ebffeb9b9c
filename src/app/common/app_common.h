// What the three front ends share: where the log goes, the single-instance
// rule, and the choice between the real device and the emulated one.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "hid/hid_device.h"

class CLog;

namespace orvik::app {

// The program's name in the single-instance lock and the log's first line.
inline constexpr char kProgramName[] = "ORVIK Updater";

// The Windows rule: the executable's full path cut at its last "." (searched
// over the whole path, not only the file name) followed by ".log". Every
// Windows program ends in ".exe", so the cut falls in the file name.
//   C:\Tools\Updater.exe -> C:\Tools\Updater.log
//   C:\My.Tools\Updater  -> C:\My.log
std::filesystem::path WholePathLogPath(const std::filesystem::path& executable);

// The Linux rule: the executable's own file name cut at its last "." when it
// has one (a leading "." of a hidden name does not count), followed by
// ".log", in the executable's own folder. Linux programs have no extension,
// so a "." in a folder's name must not decide where the log goes.
//   /home/ann/.local/bin/orvik-updater -> /home/ann/.local/bin/orvik-updater.log
//   /opt/orvik-2.0.0.6/bin/tool.sh     -> /opt/orvik-2.0.0.6/bin/tool.log
std::filesystem::path FileNameLogPath(const std::filesystem::path& executable);

// This platform's rule of the two above.
std::filesystem::path LogPathBeside(const std::filesystem::path& executable);

// The running executable's full path (empty when it cannot be read).
std::filesystem::path ExecutablePath();

// Where this platform prefers to write the log: beside the executable; on
// Linux, when that folder is a system folder (/usr/...), not the effective
// user's own or not writable, $XDG_STATE_HOME/orvik-updater/ (default
// ~/.local/state/orvik-updater/) with the same file name. Creates nothing.
std::filesystem::path ChooseLogPath();

// Opens `log` where this platform writes it. Windows: ChooseLogPath(). Linux:
// beside the executable when ChooseLogPath() says so and the file there is a
// regular file of the user's own; otherwise (a planted symbolic link, FIFO,
// hard link or another user's file) in the state folder, created with mode
// 0700 when missing. False when the log could not be opened anywhere.
bool OpenProgramLog(CLog& log);

// The folder under the user's state directory that takes the log when the
// executable's folder is not writable.
inline constexpr char kStateFolderName[] = "orvik-updater";

// `besideLog`'s file name in <state>/orvik-updater/, where <state> is
// `xdgStateHome` when that is an absolute path, otherwise `home`/.local/state.
// Empty when neither is usable. Values are passed in (not read from the
// environment) so the rule can be tested anywhere.
std::filesystem::path StateDirLogPath(const std::filesystem::path& besideLog, const char* xdgStateHome,
                                      const char* home);

// Who asks for the single-instance lock. One updater per user (Linux) or per
// session (Windows) is the rule for whatever may update a unit on its own:
// the windowed updaters and the terminal's single update hold the lock
// alone. Stations, and what updates nothing (--list, --teach), share it:
// any number of them run side by side, kept apart unit by unit by the
// device lock (each unit is updated once between them), and none of them
// beside a lone holder.
enum class InstanceRole {
  Alone,   // refused while any other updater runs
  Shared,  // refused only while an Alone holder runs
};

// Held for the life of the program; a second instance cannot acquire it.
// Windows: the named mutex "ORVIK Updater" (Alone) and "ORVIK Updater
// station" (Shared), in the session's namespace. Linux: a per-user lock file
// locked exclusively (Alone) or shared (Shared), which the system releases
// when the process dies.
class SingleInstance {
 public:
  virtual ~SingleInstance() = default;
  // Null when `role` may not run beside what holds the lock already. When
  // the lock cannot be created or used, the program runs as if it were the
  // only instance.
  static std::unique_ptr<SingleInstance> Acquire(InstanceRole role = InstanceRole::Alone);
  // A line for the log when this instance runs without its lock, saying why;
  // empty when it holds the lock.
  virtual std::string Note() const { return {}; }
};

// The log's start: opens `log` (OpenProgramLog), writes the program's name as
// its first line, then `instance`'s note when it has one.
void StartProgramLog(CLog& log, const SingleInstance& instance);

// The device a front end updates: the real one, or the emulated ones when the
// arguments hold "-Emulate" or "-Emulate:..." (paced like the real device:
// one report per 1 ms USB frame).
struct DeviceChoice {
  std::unique_ptr<SearchableHidDevice> device;  // null when `error` is set
  bool emulated = false;
  std::string error;  // a malformed "-Emulate:FAULT", for the user
};
DeviceChoice ChooseDevice(const std::vector<std::string>& arguments);

}  // namespace orvik::app
