// AppendFile over a POSIX descriptor opened with O_APPEND.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits.h>

#include "record/append_file.h"

namespace orvik::record {
namespace {

std::string ErrorText(int error) { return std::strerror(error); }

class PosixAppendFile final : public AppendFile {
 public:
  explicit PosixAppendFile(int fd) : m_fd(fd) {}
  ~PosixAppendFile() override { ::close(m_fd); }
  PosixAppendFile(const PosixAppendFile&) = delete;
  PosixAppendFile& operator=(const PosixAppendFile&) = delete;

  bool Append(std::string_view bytes, std::string& error) override {
    // One write for the whole line: with O_APPEND the kernel places it at
    // the end in one piece. Only a short write (a size limit reached in the
    // middle) goes on, and the next write then reports why.
    while (!bytes.empty()) {
      const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = ErrorText(errno);
        return false;
      }
      if (n == 0) {
        error = "nothing was written";
        return false;
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::fsync(m_fd) != 0) {
      error = ErrorText(errno);
      return false;
    }
    return true;
  }

 private:
  int m_fd;
};

}  // namespace

std::unique_ptr<AppendFile> AppendFile::Open(const std::filesystem::path& path, std::string& error) {
  // A write past the file size limit (RLIMIT_FSIZE) fails with EFBIG and the
  // station reports it: the program ignores SIGXFSZ for its whole life.
  // O_NONBLOCK: a FIFO at the path fails or opens at once instead of waiting
  // for a reader, and is then refused as not a regular file.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) {
    error = ErrorText(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    error = "not a regular file";
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return std::make_unique<PosixAppendFile>(fd);
}

std::optional<std::string> ReadRegularFile(const std::filesystem::path& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT) return std::string();
    error = ErrorText(errno);
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    error = "not a regular file";
    return std::nullopt;
  }
  std::string text;
  text.resize(static_cast<std::size_t>(st.st_size));
  std::size_t have = 0;
  for (;;) {
    if (have == text.size()) text.resize(text.size() + 65536);
    const ssize_t n = ::read(fd, text.data() + have, text.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = ErrorText(errno);
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  ::close(fd);
  text.resize(have);
  return text;
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = "";
  if (::gethostname(name, sizeof name) != 0) return {};
  name[HOST_NAME_MAX] = '\0';
  return name;
}

}  // namespace orvik::record
