// Where a station writes each unit's own log: a file per unit in a folder
// checked once and held from then on, named from the unit's serial (or from
// its path when it has none). The serial is device input and the path may
// hold separators, so the name is made safe for a file name on Linux and
// Windows alike; and since making it safe (and Windows, which ignores case)
// could give two units one name, a name that is not the serial itself
// carries a short hash of what it was made from.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

class CLog;

namespace orvik {
class LogFolder;
}

namespace orvik::station {

// The longest file name stem, in bytes, before a hash suffix and ".log".
inline constexpr std::size_t kMaxLogStem = 96;

// A file name stem from any bytes: valid, printable UTF-8 is kept; control
// bytes, DEL, bytes that are not UTF-8, Unicode format characters (bidi
// marks and embeddings such as U+200E and U+202E, U+FEFF, zero-width
// characters), line and paragraph separators, the separators and the
// characters Windows refuses in names (< > : " / \ | ? *) become '_'. A
// leading '.' or '-' and trailing dots and blanks (Windows drops them)
// become '_' too, a name Windows reserves for a device (CON, NUL, COM1,
// COM¹, LPT1, ..., with any extension and in any case) gets a leading '_',
// and the stem is cut to kMaxLogStem bytes at a character boundary. Never
// empty.
std::string SafeFileStem(std::string_view bytes);

// The unit's log file name. "SERIAL.log" when the serial is its own safe
// name and cannot be confused with another under Windows' rules: printable
// ASCII without lower-case letters or '~', unchanged by SafeFileStem. Any
// other serial gives "STEM~HHHHHHHH.log", with STEM = SafeFileStem(serial)
// and HHHHHHHH a hash of the serial's bytes: "abc" and "ABC", "a:b" and
// "a?b", "CON" and "_CON" get names of their own. A unit without a serial
// gives the same form from its path with separators as '-'
// ("/dev/hidraw3" -> "dev-hidraw3~HHHHHHHH.log"), never a serial's name.
// `salt` > 0 gives other hashes, for a name already taken.
std::string UnitLogFileName(std::string_view serial, std::string_view path, unsigned salt = 0);

// The folder a station writes each unit's own log into, checked once and
// held from then on (see orvik::LogFolder): each log is opened through the
// held folder, never by its path. Thread-safe: units' workers open their
// logs in it.
class UnitLogFolder {
 public:
  // Checks `folder` and holds it (LogFolder::Open's rules: a folder of this
  // user's own, or root's or the Administrators', that nobody else may
  // write into and this user can). Null, with why not as a phrase ("does
  // not exist", "is a symbolic link", "is not a folder", "is not your own",
  // "may be written by others", "is not writable"), when it may not be used.
  static std::shared_ptr<UnitLogFolder> Open(const std::filesystem::path& folder, std::string& error);

  ~UnitLogFolder();
  UnitLogFolder(const UnitLogFolder&) = delete;
  UnitLogFolder& operator=(const UnitLogFolder&) = delete;

  // The log of one unit: a file of its own in the folder (UnitLogFileName;
  // compared without regard to case, as Windows compares names). Two
  // attachments with one serial share the open file while both write it,
  // and two units never share one: a name that another unit's open log
  // holds is passed over for the next salt. Null, with the reason, when it
  // cannot be opened.
  std::shared_ptr<CLog> LogFor(std::string_view serial, std::string_view path, std::string& error);

  // How many units' logs are open now.
  std::size_t OpenLogs();

  const std::filesystem::path& Path() const { return m_folder; }

 private:
  UnitLogFolder(std::filesystem::path folder, std::unique_ptr<LogFolder> held);
  void PruneLocked();

  struct Entry {
    std::string unit;  // what the name was made from: serial, or path
    std::weak_ptr<CLog> log;
  };
  std::filesystem::path m_folder;
  std::unique_ptr<LogFolder> m_held;
  std::mutex m_lock;                    // owns m_open
  std::map<std::string, Entry> m_open;  // by file name folded to lower case; closed logs pruned
};

}  // namespace orvik::station
