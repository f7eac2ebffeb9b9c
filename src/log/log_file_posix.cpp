// LogFile over POSIX file descriptors. The file is opened with O_APPEND:
// each write lands at the end of the file as one step, so two programs
// writing one log never write over each other's lines.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "log/log_file.h"

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

}  // namespace

std::unique_ptr<LogFile> LogFile::OpenAlways(const std::filesystem::path& path) {
  // The log's folder may be shared with others (a group-writable tools
  // folder, /tmp), so whatever sits at the path is checked before a byte is
  // written or the file is emptied. O_NOFOLLOW refuses a symbolic link rather
  // than writing to its target. O_NONBLOCK keeps a FIFO without a reader from
  // blocking the open for ever (it fails with ENXIO instead). O_NOCTTY keeps a
  // terminal device from becoming the controlling terminal.
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  auto file = std::make_unique<PosixLogFile>(fd);
  // The checks hold on the opened descriptor, so nothing can be swapped in
  // between a check and the open. A FIFO or device that did open, another
  // user's file (root opens any), or a second name of a file elsewhere (a
  // hard link) is refused.
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return nullptr;
  return file;
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
