#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "image/resources.h"
#include "log/utf.h"

namespace orvik::test {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  // The log flushes every line to disk; on a memory file system that costs
  // nothing, which keeps the verbose-log tests fast.
  std::error_code error;
  const std::filesystem::path shm = "/dev/shm";
  const auto base = std::filesystem::is_directory(shm, error) ? shm : std::filesystem::temp_directory_path();
  for (;;) {
    auto candidate = base / ("orvik-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(candidate)) {
      m_path = candidate;
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(m_path, ignored);
}

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> ReadLogLines(const std::filesystem::path& path) {
  const auto bytes = ReadBytes(path);
  std::size_t start = 0;
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) start = 2;
  std::u16string text;
  for (std::size_t i = start; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
  }
  std::vector<std::string> lines;
  std::size_t pos = 0;
  for (;;) {
    const auto end = text.find(u"\r\n", pos);
    if (end == std::u16string::npos) break;
    lines.push_back(Utf16ToUtf8(text.substr(pos, end - pos)));
    pos = end + 2;
  }
  EXPECT_EQ(pos, text.size()) << "the log ends in a partial line";
  return lines;
}

std::vector<std::string> StripTimeStamps(const std::vector<std::string>& lines) {
  static const std::regex prefix(R"(^<\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}> )");
  std::vector<std::string> out;
  for (const auto& line : lines) {
    std::smatch match;
    if (!std::regex_search(line, match, prefix)) {
      ADD_FAILURE() << "log line without a time stamp: " << line;
      out.push_back(line);
      continue;
    }
    out.push_back(line.substr(static_cast<std::size_t>(match.length(0))));
  }
  return out;
}

ScopedLog::ScopedLog() : m_path(m_dir / "test.log"), m_log(std::make_unique<CLog>()) {
  EXPECT_EQ(g_pLog, m_log.get()) << "another log is registered";
  m_log->Open(m_path, 1);
}

ScopedLog::~ScopedLog() = default;

std::vector<std::string> ScopedLog::Lines() const { return StripTimeStamps(ReadLogLines(m_path)); }

const FirmwareImage& ShippedImage() {
  static const FirmwareImage image = [] {
    FirmwareImage copy{};
    const auto found = TableResources(EmbeddedResourceTable()).Find(kBinResourceType, kBinResourceId);
    if (found.status == ResourceStatus::Found && found.bytes.size() == copy.size()) {
      std::copy(found.bytes.begin(), found.bytes.end(), copy.begin());
    } else {
      ADD_FAILURE() << "the shipped image is missing from the embedded table";
    }
    return copy;
  }();
  return image;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::size_t CountCommand(const std::vector<ReportPacket>& record, UpdateCommand command) {
  return static_cast<std::size_t>(std::count_if(record.begin(), record.end(), [command](const ReportPacket& packet) {
    return CommandOfPacket(packet) == command;
  }));
}

}  // namespace orvik::test
