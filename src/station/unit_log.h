// Where a station writes each unit's own log: DIR/SERIAL.log, or a name made
// from the unit's path when it has no serial. The serial is device input and
// the path may hold separators, so the name is made safe for a file name on
// Linux and Windows alike.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

class CLog;

namespace orvik::station {

// The longest file name stem, in bytes, before ".log".
inline constexpr std::size_t kMaxLogStem = 96;

// A file name stem from any bytes: valid, printable UTF-8 is kept; control
// bytes, DEL, bytes that are not UTF-8, the separators and the characters
// Windows refuses in names (< > : " / \ | ? *) become '_'. A leading '.' or
// '-' and trailing dots and blanks (Windows drops them) become '_' too, a
// name Windows reserves for a device (CON, NUL, COM1, LPT1, ..., with any
// extension and in any case) gets a leading '_', and the stem is cut to
// kMaxLogStem bytes at a character boundary. Never empty.
std::string SafeFileStem(std::string_view bytes);

// "SERIAL.log" for a unit with a serial; otherwise the path's name with its
// separators as '-' ("/dev/hidraw3" -> "dev-hidraw3.log"), both made safe.
std::string UnitLogFileName(std::string_view serial, std::string_view path);

// The folder a station writes each unit's own log into, checked once and
// held from then on. Thread-safe: units' workers open their logs in it.
class UnitLogFolder {
 public:
  // Checks `folder` (it exists, is a folder, and this user may write there)
  // and holds it. Null, with the reason, when it may not be used.
  static std::shared_ptr<UnitLogFolder> Open(const std::filesystem::path& folder, std::string& error);

  // The log of one unit: a file of its own in the folder, named from its
  // serial (or its path when it has none). Two attachments with one serial
  // share the open file while both write it. Null, with the reason, when it
  // cannot be opened.
  std::shared_ptr<CLog> LogFor(std::string_view serial, std::string_view path, std::string& error);

  const std::filesystem::path& Path() const { return m_folder; }

 private:
  explicit UnitLogFolder(std::filesystem::path folder) : m_folder(std::move(folder)) {}
  std::filesystem::path m_folder;
  std::mutex m_lock;  // owns m_open
  std::map<std::string, std::weak_ptr<CLog>> m_open;  // by file name; expired entries pruned
};

}  // namespace orvik::station
