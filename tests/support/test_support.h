// Helpers shared by the tests: temporary folders, a log bound to a temporary
// file and read back as lines, and the shipped firmware image.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "image/image.h"
#include "log/log.h"
#include "update/protocol.h"

namespace orvik::test {

// A fresh folder, removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return m_path; }
  std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

 private:
  std::filesystem::path m_path;
};

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// Decodes a UTF-16LE log file (byte-order mark optional) into its lines, CR LF
// removed, time-stamp prefix kept.
std::vector<std::string> ReadLogLines(const std::filesystem::path& path);

// Strips "<yyyy-mm-dd hh:mm:ss> " from each line; fails the test on a line
// without a well-formed prefix.
std::vector<std::string> StripTimeStamps(const std::vector<std::string>& lines);

// A CLog writing to a file in its own temporary folder, registered as g_pLog
// for its lifetime (the test fails if another log is registered already).
class ScopedLog {
 public:
  ScopedLog();
  ~ScopedLog();
  const std::filesystem::path& path() const { return m_path; }
  // The lines written so far, without time stamps.
  std::vector<std::string> Lines() const;

 private:
  TempDir m_dir;
  std::filesystem::path m_path;
  std::unique_ptr<CLog> m_log;
};

// Polls `done` every 20 ms until it is true (true) or `bound` has passed
// (false).
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound);

// `text` cut into its lines, without their line ends.
std::vector<std::string> SplitLines(const std::string& text);

// How many packets of `command` a device's record of received commands holds.
std::size_t CountCommand(const std::vector<ReportPacket>& record, UpdateCommand command);

// The image shipped in firmware/firmware.bin (through the embedded table).
const FirmwareImage& ShippedImage();

}  // namespace orvik::test
