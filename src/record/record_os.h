// What the record needs of the operating system beyond appending to a file:
// a lock shared by the processes of one machine, a file read at offsets, and
// a folder only its owner may enter. One implementation per platform
// (record_os_posix.cpp, record_os_win32.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace orvik::record {

// An exclusive lock on a file (flock on POSIX, LockFileEx on Windows), held
// until the object goes away. The lock file itself is created when missing
// and never removed: removing it would let two processes lock two files of
// one name.
class FileLock {
 public:
  // Takes the lock, waiting at most `bound` for another holder (zero: one
  // try). Null when not taken, with the reason in `error`.
  static std::unique_ptr<FileLock> Take(const std::filesystem::path& path, std::chrono::milliseconds bound,
                                        std::string& error);
  virtual ~FileLock() = default;
};

// A regular file opened for reading at any offset. Opened without blocking
// (a FIFO is refused at once, not waited on).
class RandomReadFile {
 public:
  // Null, with the reason in `error`, when it cannot be opened or is not a
  // regular file; `missing` is then set when it does not exist.
  static std::unique_ptr<RandomReadFile> Open(const std::filesystem::path& path, std::string& error,
                                              bool* missing = nullptr);
  virtual ~RandomReadFile() = default;
  virtual std::uint64_t Size() const = 0;
  // Reads up to `size` bytes at `offset`; the count read (0 at the end), or
  // -1 with the reason in `error`.
  virtual std::int64_t ReadAt(std::uint64_t offset, char* into, std::size_t size, std::string& error) = 0;
};

// Makes `folder` exist (its parents too) and readable by its owner only
// (0700 where the system has modes). False with the reason.
bool MakePrivateFolder(const std::filesystem::path& folder, std::string& error);

}  // namespace orvik::record
