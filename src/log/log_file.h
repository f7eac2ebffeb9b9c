// What the log needs of the file system and the clock; one implementation per
// platform (log_file_posix.cpp, log_file_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>

namespace orvik {

class LogFile {
 public:
  // Opens the file for writing, creating it when missing, shared for reading
  // and writing with other handles. Null when it cannot be opened (a missing
  // folder, no permission, a directory at that path). On POSIX systems also
  // null, without a byte written, unless the path names a regular file owned
  // by the effective user with a single link: a symbolic link, a FIFO, a
  // device, another user's file or a hard link is refused, and the open
  // never blocks.
  static std::unique_ptr<LogFile> OpenAlways(const std::filesystem::path& path);

  virtual ~LogFile() = default;
  virtual std::uint64_t Size() = 0;
  // Empties the file and moves the file position to 0.
  virtual void Truncate() = 0;
  virtual void SeekToEnd() = 0;
  // Writes all bytes at the current position; failures are ignored.
  virtual void Write(const void* data, std::size_t size) = 0;
  // Pushes the written bytes to the disk (fsync, FlushFileBuffers).
  virtual void Flush() = 0;
};

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// The local wall-clock time, to the second.
LocalTime LocalTimeNow();

// `when` broken down in the local time zone (`local`) or in UTC; false when
// the system cannot. Safe on any thread, unlike std::localtime.
bool BreakDownTime(std::time_t when, bool local, std::tm& out);

}  // namespace orvik
