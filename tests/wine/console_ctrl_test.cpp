// orvik-updater-cli.exe receiving Ctrl+C (GenerateConsoleCtrlEvent) while
// its update runs: the run completes, the program exits with 0, and the
// notice is written once. Run through Wine like the other test programs.
//
// The program shares this test's console (a process started with
// CREATE_NEW_PROCESS_GROUP has Ctrl+C disabled and would pass vacuously);
// the event goes to every process of the console, this one included, which
// ignores it.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kNotice[] = "orvik-updater-cli: the update is running and cannot be interrupted; it will end by itself";
constexpr auto kWaitBound = 60s;

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound = kWaitBound) {
  return orvik::test::WaitUntil(done, bound);
}

// The text of a file, without carriage returns.
std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), {});
  std::erase(text, '\r');
  return text;
}

// A path handed over by the build through the environment; under Wine a
// Unix path, on drive Z:.
fs::path PathFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return {};
  std::string path = value;
  if (!path.empty() && path.front() == '/') path.insert(0, "Z:");
  return fs::path(path).make_preferred();
}

BOOL WINAPI IgnoreCtrlC(DWORD event) { return event == CTRL_C_EVENT ? TRUE : FALSE; }

struct Handle {
  HANDLE value = nullptr;
  Handle(HANDLE h) : value(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Close(); }
  void Close() {
    if (value != nullptr && value != INVALID_HANDLE_VALUE) CloseHandle(value);
    value = nullptr;
  }
};

HANDLE InheritableFile(const fs::path& path) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(ConsoleCtrlC, TwoCtrlCsDuringTheUpdateAreDeferredAndTheRunCompletes) {
  const fs::path program = PathFromEnvironment("ORVIK_CLI_EXE");
  ASSERT_TRUE(fs::exists(program)) << "ORVIK_CLI_EXE: " << program;
  // A console to share: the test may have been started without one.
  // A console of the test's own: the one it was started with (under Wine,
  // none, or the Unix terminal's) may not pass control events on.
  FreeConsole();
  ASSERT_TRUE(AllocConsole()) << GetLastError();
  ASSERT_TRUE(SetConsoleCtrlHandler(IgnoreCtrlC, TRUE));

  // A copy in a folder of its own: its log is written beside it.
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  const fs::path folder = fs::path(temp) / ("orvik-ctrl-c-" + std::to_string(GetCurrentProcessId()));
  fs::create_directories(folder);
  const fs::path copy = folder / "orvik-updater-cli.exe";
  fs::copy_file(program, copy, fs::copy_options::overwrite_existing);

  Handle out{InheritableFile(folder / "out")};
  Handle err{InheritableFile(folder / "err")};
  ASSERT_NE(out.value, INVALID_HANDLE_VALUE);
  ASSERT_NE(err.value, INVALID_HANDLE_VALUE);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out.value;
  startup.hStdError = err.value;
  std::wstring commandLine = L"\"" + copy.wstring() + L"\" -Emulate";
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(copy.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             folder.c_str(), &startup, &process))
      << GetLastError();
  Handle processHandle{process.hProcess};
  Handle threadHandle{process.hThread};

  const auto running = [&] { return WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT; };
  // Well inside the run: the bar has passed its first tenth.
  const bool started = WaitUntil([&] { return ReadText(folder / "out").find("  100/1000") != std::string::npos; });
  if (!started) TerminateProcess(process.hProcess, 99);
  ASSERT_TRUE(started) << "the update did not start:\n" << ReadText(folder / "out") << ReadText(folder / "err");

  ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
  std::this_thread::sleep_for(300ms);
  const bool survived = running();
  const bool completedAlready = ReadText(folder / "err").find("Update complete") != std::string::npos;

  ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  EXPECT_TRUE(survived) << "Ctrl+C ended the program (exit " << status << ")";
  EXPECT_FALSE(completedAlready) << "the update ended before the Ctrl+Cs: they tested nothing";
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(ReadText(folder / "err"), std::string(kNotice) + "\nUpdate complete\n");

  out.Close();
  err.Close();
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

// Ctrl+C during an update whose output a slow reader takes (as Wine's
// console draws it): the update and its output end as without it. The
// output is not cut short (the result is the last event written), and the
// console's code page is put back as the program found it.
TEST(ConsoleCtrlC, ASlowReaderGetsTheWholeOutputAndTheCodePageIsPutBack) {
  const fs::path program = PathFromEnvironment("ORVIK_CLI_EXE");
  ASSERT_TRUE(fs::exists(program)) << "ORVIK_CLI_EXE: " << program;
  FreeConsole();
  ASSERT_TRUE(AllocConsole()) << GetLastError();
  ASSERT_TRUE(SetConsoleCtrlHandler(IgnoreCtrlC, TRUE));
  // The shell's code page; the program switches to UTF-8 while it runs.
  const bool codePages = SetConsoleOutputCP(437) && GetConsoleOutputCP() == 437;

  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  const fs::path folder = fs::path(temp) / ("orvik-slow-reader-" + std::to_string(GetCurrentProcessId()));
  fs::create_directories(folder);
  const fs::path copy = folder / "orvik-updater-cli.exe";
  fs::copy_file(program, copy, fs::copy_options::overwrite_existing);

  // Both streams into one small pipe, read a little at a time.
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 1024));
  Handle reader{readEnd};
  Handle writer{writeEnd};
  SetHandleInformation(reader.value, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writer.value;
  startup.hStdError = writer.value;
  std::wstring commandLine = L"\"" + copy.wstring() + L"\" --json -Emulate";
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(copy.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             folder.c_str(), &startup, &process))
      << GetLastError();
  Handle processHandle{process.hProcess};
  Handle threadHandle{process.hThread};
  writer.Close();

  // 256 bytes every 40 ms until the Ctrl+C, then every 800 ms: the output
  // backs up behind a reader that is slow but never stalled for long, and
  // the update ends with its last lines still to be written.
  std::string output;
  bool interrupted = false;
  for (;;) {
    char buffer[256];
    DWORD got = 0;
    if (!ReadFile(reader.value, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    output.append(buffer, got);
    // Well inside the run: twenty progress events written.
    std::size_t progress = 0;
    for (std::size_t at = output.find("\"event\":\"progress\""); !interrupted && at != std::string::npos;
         at = output.find("\"event\":\"progress\"", at + 1)) {
      ++progress;
    }
    if (!interrupted && progress >= 20) {
      ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
      interrupted = true;
    }
    std::this_thread::sleep_for(interrupted ? 800ms : 40ms);
  }
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  EXPECT_TRUE(interrupted) << output;
  EXPECT_EQ(status, 0u);
  std::erase(output, '\r');
  while (!output.empty() && output.back() == '\n') output.pop_back();
  const std::string last = output.substr(output.rfind('\n') + 1);
  EXPECT_EQ(last.rfind("{\"event\":\"result\",\"status\":0,", 0), 0u) << "last line: " << last;
  EXPECT_NE(output.find("Update complete"), std::string::npos);
  EXPECT_NE(output.find("cannot be interrupted"), std::string::npos) << "the Ctrl+C was not heard:\n" << output;
  if (codePages) {
    EXPECT_EQ(GetConsoleOutputCP(), 437u) << "the code page was not put back";
  }

  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

}  // namespace
