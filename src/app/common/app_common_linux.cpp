// Linux: the executable's path from /proc, the log's fallback in the user's
// state directory, and the single-instance lock as an flock()ed file.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

#include "app/common/app_common.h"

namespace orvik::app {

std::filesystem::path LogPathBeside(const std::filesystem::path& executable) { return FileNameLogPath(executable); }

std::filesystem::path ExecutablePath() {
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    return {};
  }
  return path;
}

namespace {

const char* HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') {
    return home;
  }
  const passwd* entry = getpwuid(getuid());
  return entry != nullptr ? entry->pw_dir : nullptr;
}

}  // namespace

std::filesystem::path ChooseLogPath() {
  const std::filesystem::path beside = LogPathBeside(ExecutablePath());
  std::filesystem::path folder = beside.parent_path();
  if (folder.empty()) {
    folder = ".";
  }
  // An installed program (/usr/bin, /opt/...) cannot write beside itself.
  if (access(folder.c_str(), W_OK) == 0) {
    return beside;
  }
  const std::filesystem::path fallback = StateDirLogPath(beside, std::getenv("XDG_STATE_HOME"), HomeDirectory());
  if (fallback.empty()) {
    return beside;
  }
  std::error_code error;
  std::filesystem::create_directories(fallback.parent_path(), error);
  // On failure the log simply cannot be opened; the log reports nothing.
  return fallback;
}

namespace {

// The lock lives where only this user can create it: the per-user runtime
// folder, or a name in /tmp that carries the user id.
std::filesystem::path LockFilePath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && std::filesystem::path(runtime).is_absolute()) {
    return std::filesystem::path(runtime) / "orvik-updater.lock";
  }
  return std::filesystem::path("/tmp") / ("orvik-updater-" + std::to_string(getuid()) + ".lock");
}

// Holds the open, locked file. The kernel drops an flock() lock when its last
// descriptor closes, also when the process dies, so a crashed instance never
// blocks the next one.
class FileLockInstance final : public SingleInstance {
 public:
  explicit FileLockInstance(int fd) : m_fd(fd) {}
  FileLockInstance(const FileLockInstance&) = delete;
  FileLockInstance& operator=(const FileLockInstance&) = delete;
  ~FileLockInstance() override {
    if (m_fd >= 0) {
      close(m_fd);
    }
  }

 private:
  int m_fd;  // -1: no lock could be created; run as the only instance
};

}  // namespace

std::unique_ptr<SingleInstance> SingleInstance::Acquire() {
  const std::filesystem::path path = LockFilePath();
  // O_NOFOLLOW: a symbolic link planted under the /tmp name is not followed.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
  if (fd < 0) {
    return std::make_unique<FileLockInstance>(-1);
  }
  int result;
  do {
    result = flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) {
      close(fd);
      return nullptr;
    }
    // The file system does not lock: carry on alone.
  }
  return std::make_unique<FileLockInstance>(fd);
}

}  // namespace orvik::app
