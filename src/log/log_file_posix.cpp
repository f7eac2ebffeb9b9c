// LogFile over POSIX file descriptors. The file is opened with O_APPEND:
// each write lands at the end of the file as one step, so two programs
// writing one log never write over each other's lines.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "log/folder_rules_posix.h"
#include "log/log_file.h"
#include "log/log_folder.h"

namespace orvik {
namespace {

class PosixLogFile final : public LogFile {
 public:
  explicit PosixLogFile(int fd) : m_fd(fd) {}
  ~PosixLogFile() override { ::close(m_fd); }
  PosixLogFile(const PosixLogFile&) = delete;
  PosixLogFile& operator=(const PosixLogFile&) = delete;

  std::uint64_t Size() override {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
  }
  void Truncate() override {
    // Should emptying fail, the new lines go after the old ones rather than
    // over their start, which would leave a torn mix of both.
    if (::ftruncate(m_fd, 0) == 0) {
      (void)::lseek(m_fd, 0, SEEK_SET);
    } else {
      (void)::lseek(m_fd, 0, SEEK_END);
    }
  }
  void SeekToEnd() override { (void)::lseek(m_fd, 0, SEEK_END); }
  void Write(const void* data, std::size_t size) override {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = ::write(m_fd, p, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // a full disk loses the line; the log never reports
      p += n;
      size -= static_cast<std::size_t>(n);
    }
  }
  void Flush() override { (void)::fsync(m_fd); }

 private:
  int m_fd;
};

// Opens `name` in the folder `folderFd` (AT_FDCWD: the current folder) as
// OpenAlways describes; errno tells why not when null.
std::unique_ptr<LogFile> OpenChecked(int folderFd, const char* name) {
  // The log's folder may be shared with others (a group-writable tools
  // folder, /tmp), so whatever sits at the path is checked before a byte is
  // written or the file is emptied. O_NOFOLLOW refuses a symbolic link rather
  // than writing to its target. O_NONBLOCK keeps a FIFO without a reader from
  // blocking the open for ever (it fails with ENXIO instead). O_NOCTTY keeps a
  // terminal device from becoming the controlling terminal.
  const int fd = ::openat(folderFd, name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                          0644);
  if (fd < 0) return nullptr;
  auto file = std::make_unique<PosixLogFile>(fd);
  // The checks hold on the opened descriptor, so nothing can be swapped in
  // between a check and the open. A FIFO or device that did open, another
  // user's file (root opens any), or a second name of a file elsewhere (a
  // hard link) is refused.
  struct stat st {};
  if (::fstat(fd, &st) != 0) return nullptr;
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
    errno = EPERM;
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return nullptr;
  return file;
}

// A folder held by its descriptor.
class PosixLogFolder final : public LogFolder {
 public:
  explicit PosixLogFolder(int fd) : m_fd(fd) {}
  ~PosixLogFolder() override { ::close(m_fd); }
  PosixLogFolder(const PosixLogFolder&) = delete;
  PosixLogFolder& operator=(const PosixLogFolder&) = delete;

  std::unique_ptr<LogFile> OpenLog(std::string_view name, std::string& error) override {
    const std::string text(name);
    if (text.empty() || text.find('/') != std::string::npos || text.find('\0') != std::string::npos ||
        text == "." || text == "..") {
      error = "not a file name";
      return nullptr;
    }
    std::unique_ptr<LogFile> file = OpenChecked(m_fd, text.c_str());
    if (!file) {
      error = errno == EPERM || errno == ELOOP ? std::string("not a regular file of your own") : std::strerror(errno);
    }
    return file;
  }

 private:
  int m_fd;  // O_DIRECTORY, held for the object's life
};

}  // namespace

bool OnlyOwnerWrites(int folderFd) {
  struct stat st {};
  return ::fstat(folderFd, &st) == 0 && (st.st_uid == 0 || st.st_uid == ::geteuid()) &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::unique_ptr<LogFile> LogFile::OpenAlways(const std::filesystem::path& path) {
  return OpenChecked(AT_FDCWD, path.c_str());
}

std::unique_ptr<LogFolder> LogFolder::Open(const std::filesystem::path& folder, std::string& problem) {
  // O_NOFOLLOW: a symbolic link at the path's end is refused, not followed.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    struct stat st {};
    if (error == ENOENT) {
      problem = "does not exist";
    } else if (::lstat(folder.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      problem = "is a symbolic link";
    } else if (error == ENOTDIR) {
      problem = "is not a folder";
    } else {
      problem = std::strerror(error);
    }
    return nullptr;
  }
  auto held = std::make_unique<PosixLogFolder>(fd);
  // Only its owner may plant a file or a link in it: another user could
  // otherwise put a link under a unit's log name, or swap the files.
  struct stat st {};
  if (::fstat(fd, &st) != 0 || (st.st_uid != 0 && st.st_uid != ::geteuid())) {
    problem = "is not your own";
    return nullptr;
  }
  if (!OnlyOwnerWrites(fd)) {
    problem = "may be written by others";
    return nullptr;
  }
  if (::faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
    problem = "is not writable";
    return nullptr;
  }
  return held;
}

LocalTime LocalTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm {};
  localtime_r(&now, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

bool BreakDownTime(std::time_t when, bool local, std::tm& out) {
  return (local ? localtime_r(&when, &out) : gmtime_r(&when, &out)) != nullptr;
}

}  // namespace orvik
