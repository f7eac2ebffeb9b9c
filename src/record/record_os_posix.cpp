// The record's lock, reads at offsets and private folders on POSIX systems.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "record/record_os.h"

namespace orvik::record {
namespace {

class PosixLock final : public FileLock {
 public:
  explicit PosixLock(int fd) : m_fd(fd) {}
  ~PosixLock() override { ::close(m_fd); }  // closing the descriptor lets the lock go
  PosixLock(const PosixLock&) = delete;
  PosixLock& operator=(const PosixLock&) = delete;

 private:
  int m_fd;
};

class PosixReadFile final : public RandomReadFile {
 public:
  PosixReadFile(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}
  ~PosixReadFile() override { ::close(m_fd); }
  PosixReadFile(const PosixReadFile&) = delete;
  PosixReadFile& operator=(const PosixReadFile&) = delete;

  std::uint64_t Size() const override { return m_size; }

  std::int64_t ReadAt(std::uint64_t offset, char* into, std::size_t size, std::string& error) override {
    for (;;) {
      const ssize_t n = ::pread(m_fd, into, size, static_cast<off_t>(offset));
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      error = std::strerror(errno);
      return -1;
    }
  }

 private:
  int m_fd;
  std::uint64_t m_size;
};

}  // namespace

std::unique_ptr<FileLock> FileLock::Take(const std::filesystem::path& path, std::chrono::milliseconds bound,
                                         std::string& error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  auto lock = std::make_unique<PosixLock>(fd);
  // flock rather than fcntl locks: fcntl locks belong to the process, so two
  // threads of one station would both get one.
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return lock;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      error = std::strerror(errno);
      return nullptr;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      error = "another process holds " + path.string();
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::unique_ptr<RandomReadFile> RandomReadFile::Open(const std::filesystem::path& path, std::string& error,
                                                     bool* missing) {
  if (missing != nullptr) *missing = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (missing != nullptr) *missing = errno == ENOENT;
    error = std::strerror(errno);
    return nullptr;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    error = "not a regular file";
    return nullptr;
  }
  return std::make_unique<PosixReadFile>(fd, static_cast<std::uint64_t>(info.st_size));
}

bool MakePrivateFolder(const std::filesystem::path& folder, std::string& error) {
  std::error_code code;
  std::filesystem::create_directories(folder, code);
  if (code) {
    error = code.message();
    return false;
  }
  // An existing folder made 0755 by an earlier version is closed too.
  if (::chmod(folder.c_str(), 0700) != 0) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace orvik::record
