// Linux: the executable's path from /proc, which folder takes the log and its
// fallback in the user's state directory, and the single-instance lock as an
// flock()ed file.
#include "app/common/app_common_linux.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>

#include "log/folder_rules_posix.h"
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

// An open directory, closed with the object.
class FolderFd {
 public:
  explicit FolderFd(int fd = -1) : m_fd(fd) {}
  FolderFd(FolderFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  FolderFd& operator=(FolderFd&& other) noexcept {
    if (this != &other) {
      Reset();
      m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
  }
  FolderFd(const FolderFd&) = delete;
  FolderFd& operator=(const FolderFd&) = delete;
  ~FolderFd() { Reset(); }
  int Get() const { return m_fd; }
  bool Valid() const { return m_fd >= 0; }

 private:
  void Reset() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
  }
  int m_fd;
};

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Opens `folder` (absolute), creating the missing folders with mode 0700, as
// the XDG rules ask of a state folder. The walk starts at "/" and opens each
// level from the one before with O_NOFOLLOW: a symbolic link is followed
// only where it sits in a folder that only its owner (root or this user) can
// write, so a link planted in a folder that others may write (a shared
// parent, /tmp) leads nowhere. Links followed are walked the same way, a
// bounded number of them. Invalid when the folder cannot be had that way.
FolderFd OpenPrivateFolder(const std::filesystem::path& folder, int linksLeft = 16) {
  if (!folder.is_absolute()) return FolderFd();
  FolderFd current(open("/", kFolderFlags));
  std::filesystem::path walked = "/";
  for (auto part = std::next(folder.begin()); current.Valid() && part != folder.end(); ++part) {
    const std::string name = part->string();
    if (name.empty() || name == ".") continue;
    if (name == "..") return FolderFd();
    int next = openat(current.Get(), name.c_str(), kFolderFlags | O_NOFOLLOW);
    if (next < 0 && errno == ENOENT) {
      if (mkdirat(current.Get(), name.c_str(), S_IRWXU) != 0 && errno != EEXIST) return FolderFd();
      next = openat(current.Get(), name.c_str(), kFolderFlags | O_NOFOLLOW);
    }
    if (next < 0 && (errno == ELOOP || errno == ENOTDIR)) {
      // A symbolic link (or not a folder at all).
      char target[PATH_MAX];
      const ssize_t length = readlinkat(current.Get(), name.c_str(), target, sizeof target - 1);
      if (length <= 0 || linksLeft == 0 || !OnlyOwnerWrites(current.Get())) return FolderFd();
      std::filesystem::path resolved(std::string(target, static_cast<std::size_t>(length)));
      if (resolved.is_relative()) resolved = walked / resolved;
      resolved = resolved.lexically_normal();
      for (auto rest = std::next(part); rest != folder.end(); ++rest) resolved /= *rest;
      return OpenPrivateFolder(resolved, linksLeft - 1);
    }
    current = FolderFd(next);
    walked /= name;
  }
  return current;
}

// A folder the log may go into: a directory of the effective user's own (not
// one left by another user, say root's under a shared HOME).
bool IsOwnFolder(int folderFd) {
  struct stat st {};
  return fstat(folderFd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

bool IsOwnFolder(const std::filesystem::path& folder) {
  const FolderFd fd(open(folder.c_str(), kFolderFlags));
  return fd.Valid() && IsOwnFolder(fd.Get());
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
  if (state.empty()) return false;
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(state, error);
  if (error) return false;
  const FolderFd folder = OpenPrivateFolder(absolute.parent_path());
  if (!folder.Valid() || !IsOwnFolder(folder.Get())) return false;
  // The file is opened in the folder just checked, through its descriptor,
  // not by a path that could be changed meanwhile.
  const std::filesystem::path inFolder =
      std::filesystem::path("/proc/self/fd") / std::to_string(folder.Get()) / absolute.filename();
  if (std::filesystem::is_directory("/proc/self/fd", error)) return log.Open(inFolder);
  return log.Open(absolute);
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

std::unique_ptr<SingleInstance> AcquireLockFile(const std::filesystem::path& path, InstanceRole role) {
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
    // Stations share the lock; a lone updater needs it alone, so it is
    // refused while a station runs, and a station while it runs.
    result = flock(fd, (role == InstanceRole::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB);
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

std::unique_ptr<SingleInstance> SingleInstance::Acquire(InstanceRole role) {
  return AcquireLockFile(LockFilePath(), role);
}

}  // namespace orvik::app
