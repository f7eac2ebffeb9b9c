// A folder that takes log files, checked once and held open from then on:
// every file is opened in the folder that was checked, through its handle,
// never by its path again, so a folder swapped for a link (or renamed away)
// after the check is never written through. One implementation per platform
// (log_file_posix.cpp, log_file_win32.cpp).
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "log/log_file.h"

namespace orvik {

class LogFolder {
 public:
  // Opens and holds `folder` when it may take logs; otherwise null, with why
  // not in `problem` as a phrase ("does not exist", "is a symbolic link",
  // "is not a folder", "is not your own", "may be written by others", "is
  // not writable"). POSIX: a folder (not a symbolic link at its end) owned
  // by the effective user or root that no group or other user may write,
  // and that this user may write. Windows: a folder (not a link or
  // junction) owned by this user or the Administrators group (where the
  // file system keeps owners), in which this user can create a file: tried
  // by creating one, through the held handle, that is gone when closed.
  // While held on Windows the folder cannot be renamed or removed.
  static std::unique_ptr<LogFolder> Open(const std::filesystem::path& folder, std::string& problem);

  virtual ~LogFolder() = default;

  // Opens the log file `name` (UTF-8, one name, no separator) in the folder,
  // creating it when missing, with LogFile::OpenAlways's rules: on POSIX a
  // regular file of the effective user's own with one link, never a
  // symbolic link; on Windows a disk file, not a link, with one name. Null,
  // with the system's reason in `error`, when it cannot.
  virtual std::unique_ptr<LogFile> OpenLog(std::string_view name, std::string& error) = 0;
};

}  // namespace orvik
