// What the station record needs of the file system and the machine; one
// implementation per platform (record_file_posix.cpp, record_file_win32.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace orvik::cli {

// A file that is only ever appended to: every Append is one write at the
// file's end, whoever else appends meanwhile (O_APPEND; FILE_APPEND_DATA on
// Windows), pushed to the disk before it returns. Nothing is ever rewritten
// or truncated.
class AppendFile {
 public:
  // Opens the file, creating it when missing. Null when it cannot be opened
  // (a missing folder, no permission, a directory at that path), with the
  // system's reason in `error`.
  static std::unique_ptr<AppendFile> Open(const std::filesystem::path& path, std::string& error);

  virtual ~AppendFile() = default;

  // Writes `bytes` at the end of the file and flushes them to the disk. False,
  // with the system's reason in `error`, when not every byte reached the file
  // (a full disk, a file size limit).
  virtual bool Append(std::string_view bytes, std::string& error) = 0;
};

// This machine's name, for the record's lines; empty when it cannot be read.
std::string HostName();

}  // namespace orvik::cli
