// Linux: the executable's path from /proc, which folder takes the log and its
// fallback in the user's state directory, and the single-instance lock as an
// flock()ed file.
#include "app/common/app_common_linux.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

#include "log/log.h"

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
  const passwd* entry = getpwuid(geteuid());
  return entry != nullptr ? entry->pw_dir : nullptr;
}

std::filesystem::path StateLogPath(const std::filesystem::path& beside) {
  return StateDirLogPath(beside, std::getenv("XDG_STATE_HOME"), HomeDirectory());
}

std::filesystem::path FolderOf(const std::filesystem::path& file) {
  std::filesystem::path folder = file.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

// Creates `folder` and its missing parents with mode 0700, as the XDG rules
// ask of a state folder. True when it is a directory afterwards. Each level
// is one call deeper, so the depth is bounded by the path's components.
bool CreatePrivateFolders(const std::filesystem::path& folder) {
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0) {
    return S_ISDIR(st.st_mode);
  }
  if (errno != ENOENT) {
    return false;
  }
  const std::filesystem::path parent = folder.parent_path();
  if (!parent.empty() && parent != folder && !CreatePrivateFolders(parent)) {
    return false;
  }
  return mkdir(folder.c_str(), S_IRWXU) == 0 || errno == EEXIST;
}

// A folder the log may go into once created: a directory of the effective
// user's own (not one left by another user, say root's under a shared HOME).
bool IsOwnFolder(const std::filesystem::path& folder) {
  struct stat st {};
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

// A folder of the installed system, by the path's text: /usr and everything
// under it, and /bin and /sbin (systems that keep programs outside /usr).
// `folder` is absolute and free of "..".
bool IsSystemFolder(const std::filesystem::path& folder) {
  auto part = folder.begin();
  if (part == folder.end() || *part != "/") {
    return false;
  }
  ++part;
  return part != folder.end() && (*part == "usr" || *part == "bin" || *part == "sbin");
}

}  // namespace

std::string LogFolderProblem(const std::filesystem::path& folder) {
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0) return errno == ENOENT ? "does not exist" : std::strerror(errno);
  if (S_ISLNK(st.st_mode)) return "is a symbolic link";
  if (!S_ISDIR(st.st_mode)) return "is not a folder";
  if (st.st_uid != geteuid()) return "is not your own";
  if (access(folder.c_str(), W_OK | X_OK) != 0) return "is not writable";
  return {};
}

bool FolderTakesTheLog(const std::filesystem::path& folder) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(folder, error);
  if (error || IsSystemFolder(absolute.lexically_normal())) {
    return false;
  }
  // Ownership, not only write permission: a folder others own (a shared,
  // group-writable tools folder, /tmp) may hold what they planted, and root
  // may write anywhere.
  return IsOwnFolder(folder) && faccessat(AT_FDCWD, folder.c_str(), W_OK, AT_EACCESS) == 0;
}

bool OpenLogBesideOrInState(CLog& log, const std::filesystem::path& beside, const std::filesystem::path& state) {
  if (FolderTakesTheLog(FolderOf(beside)) && log.Open(beside)) {
    return true;
  }
  // A refused file beside the program counts as an unwritable folder.
  if (state.empty() || !CreatePrivateFolders(state.parent_path()) || !IsOwnFolder(state.parent_path())) {
    return false;
  }
  return log.Open(state);
}

std::filesystem::path ChooseLogPath() {
  const std::filesystem::path beside = LogPathBeside(ExecutablePath());
  // An installed program (/usr/bin, /opt/... of root's) does not log beside
  // itself, not even when run as root.
  return FolderTakesTheLog(FolderOf(beside)) ? beside : StateLogPath(beside);
}

bool OpenProgramLog(CLog& log) {
  const std::filesystem::path beside = LogPathBeside(ExecutablePath());
  return OpenLogBesideOrInState(log, beside, StateLogPath(beside));
}

namespace {

// The lock lives where only this user can create it: the per-user runtime
// folder, or a name in /tmp that carries the user id (where anyone may have
// put a file first, hence the checks in AcquireLockFile).
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
  FileLockInstance(int fd, std::string note) : m_fd(fd), m_note(std::move(note)) {}
  FileLockInstance(const FileLockInstance&) = delete;
  FileLockInstance& operator=(const FileLockInstance&) = delete;
  ~FileLockInstance() override {
    if (m_fd >= 0) {
      close(m_fd);
    }
  }
  std::string Note() const override { return m_note; }

 private:
  int m_fd;            // -1: no usable lock; run as the only instance
  std::string m_note;  // why there is no lock; empty when it is held
};

}  // namespace

std::unique_ptr<SingleInstance> AcquireLockFile(const std::filesystem::path& path) {
  const auto withoutLock = [&path](const std::string& why) {
    return std::make_unique<FileLockInstance>(
        -1, "Single-instance lock not used, running as the only instance: " + path.string() + " " + why);
  };
  // O_NOFOLLOW: a symbolic link planted under the /tmp name is not followed.
  // O_NONBLOCK and O_NOCTTY: a FIFO or device there neither blocks the open
  // nor becomes the controlling terminal.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) {
    const int error = errno;
    return withoutLock(error == ELOOP ? "is a symbolic link"
                                      : "cannot be opened (" + std::generic_category().message(error) + ")");
  }
  // Owns the descriptor from here on: every refusal below closes it.
  auto instance = std::make_unique<FileLockInstance>(fd, std::string());
  // Another user's file could be held open by that user, who would then
  // keep this program from ever starting; a second name of a file elsewhere
  // (a hard link) must not have its mode changed below.
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
    return withoutLock("is not a regular file of this user's own");
  }
  if ((st.st_mode & 07777) != (S_IRUSR | S_IWUSR) && fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
    return withoutLock("cannot be made private (" + std::generic_category().message(errno) + ")");
  }
  int result;
  do {
    result = flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) {
      return nullptr;
    }
    // The file system does not lock: carry on alone.
    return withoutLock("cannot be locked (" + std::generic_category().message(error) + ")");
  }
  return instance;
}

std::unique_ptr<SingleInstance> SingleInstance::Acquire() { return AcquireLockFile(LockFilePath()); }

}  // namespace orvik::app
