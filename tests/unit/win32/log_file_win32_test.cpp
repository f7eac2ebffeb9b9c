// What the Win32 LogFile adds to the shared log tests: Windows sharing modes.
// The log is opened shared for reading and writing, so a user can open it
// while the updater runs, and the updater still writes to it when another
// program holds it open.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "log/log_file.h"
#include "support/test_support.h"

namespace orvik {
namespace {

class Handle {
 public:
  explicit Handle(HANDLE handle) : m_handle(handle) {}
  ~Handle() {
    if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE Get() const { return m_handle; }

 private:
  HANDLE m_handle;
};

std::string ReadAll(HANDLE file) {
  LARGE_INTEGER zero{};
  SetFilePointerEx(file, zero, nullptr, FILE_BEGIN);
  std::string text(256, '\0');
  DWORD read = 0;
  if (!ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) return {};
  text.resize(read);
  return text;
}

TEST(Win32LogFile, ReadersAndWritersShareTheOpenLog) {
  test::TempDir dir;
  const auto path = dir / "shared.log";
  std::unique_ptr<LogFile> log = LogFile::OpenAlways(path);
  ASSERT_NE(log, nullptr);
  log->Write("first;", 6);
  log->Flush();

  // A viewer opens the log while it is held for writing...
  Handle viewer(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_NE(viewer.Get(), INVALID_HANDLE_VALUE) << "error " << GetLastError();
  EXPECT_EQ(ReadAll(viewer.Get()), "first;");

  // ...another program appends to it...
  Handle other(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_NE(other.Get(), INVALID_HANDLE_VALUE) << "error " << GetLastError();
  LARGE_INTEGER zero{};
  SetFilePointerEx(other.Get(), zero, nullptr, FILE_END);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(other.Get(), "other;", 6, &written, nullptr));

  // ...and the log's next write goes after that, not over it.
  EXPECT_EQ(log->Size(), 12u);
  log->SeekToEnd();
  log->Write("second;", 7);
  log->Flush();
  EXPECT_EQ(ReadAll(viewer.Get()), "first;other;second;");

  // A second LogFile on a file already open opens too.
  std::unique_ptr<LogFile> again = LogFile::OpenAlways(path);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->Size(), 19u);
  again->Truncate();
  EXPECT_EQ(log->Size(), 0u);
}

TEST(Win32LogFile, NonAsciiPathIsOpenedByItsWideName) {
  test::TempDir dir;
  const std::filesystem::path path = dir.path() / L"Gerät Ω.log";
  std::unique_ptr<LogFile> log = LogFile::OpenAlways(path);
  ASSERT_NE(log, nullptr);
  log->Write("x", 1);
  log->Flush();
  EXPECT_EQ(std::filesystem::file_size(path), 1u);
}

}  // namespace
}  // namespace orvik
