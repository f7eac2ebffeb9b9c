// LogFile over POSIX file descriptors.
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
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixLogFile>(fd);
}

LocalTime LocalTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm {};
  localtime_r(&now, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

}  // namespace orvik
