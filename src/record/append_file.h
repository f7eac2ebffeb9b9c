// What the record's files need of the file system and the machine; one
// implementation per platform (append_file_posix.cpp, append_file_win32.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orvik::record {

// A file that is only ever appended to: every Append is one write at the
// file's end, whoever else appends meanwhile (O_APPEND; FILE_APPEND_DATA on
// Windows), pushed to the disk before it returns. Nothing is ever rewritten
// or truncated.
class AppendFile {
 public:
  // Opens the file, creating it when missing. Null when it cannot be opened
  // (a missing folder, no permission, a directory, a FIFO or any other file
  // that is not a regular one), with the reason in `error`. Never blocks: a
  // FIFO is refused at once, not waited on.
  static std::unique_ptr<AppendFile> Open(const std::filesystem::path& path, std::string& error);

  virtual ~AppendFile() = default;

  // Writes `bytes` at the end of the file and flushes them to the disk. False,
  // with the system's reason in `error`, when not every byte reached the file
  // (a full disk, a file size limit).
  virtual bool Append(std::string_view bytes, std::string& error) = 0;
};

// The whole content of a regular file; an empty text when it does not exist.
// Nothing, with the reason in `error`, when it cannot be read or is not a
// regular file (opened without blocking and checked before reading, so that
// a FIFO never holds up the start).
std::optional<std::string> ReadRegularFile(const std::filesystem::path& path, std::string& error);

// This machine's name, for the record's lines; empty when it cannot be read.
std::string HostName();

}  // namespace orvik::record
