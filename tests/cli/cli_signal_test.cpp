// orvik-updater-cli receiving real signals, as from Ctrl+C, a closed terminal
// or kill: a running update is never cut off, and before the update starts
// the program ends at once.
//
// The program is started with the signals it is sent at their default
// dispositions (posix_spawn's SETSIGDEF): a test run from a background job
// inherits SIGINT and SIGQUIT ignored, the program keeps an inherited
// SIG_IGN, and the signal would then never arrive.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/common/interrupt.h"
#include "support/test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Every signal a test here sends.
constexpr int kSentSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGTSTP};

constexpr char kNotice[] = "orvik-updater-cli: the update is running and cannot be interrupted; it will end by itself";
// The longest any single wait here may take (an update takes about 6 s, more
// under the sanitizers).
constexpr auto kWaitBound = 60s;

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound = kWaitBound) {
  return orvik::test::WaitUntil(done, bound);
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A copy of the program in a folder of its own (its log goes beside it),
// with a single-instance lock folder of its own.
class CliProcess {
 public:
  // `program`: the environment variable naming the program to copy;
  // `name`: the copy's file name.
  explicit CliProcess(const char* program = "ORVIK_CLI", std::string name = "orvik-updater-cli")
      : m_name(std::move(name)) {
    char folder[] = "/tmp/orvik-cli-signal-XXXXXX";  // no "." in the path: the log is named after the program
    const char* made = mkdtemp(folder);
    if (made == nullptr) throw std::runtime_error("mkdtemp");
    m_dir = made;
    const char* path = std::getenv(program);
    if (path == nullptr) throw std::runtime_error(std::string(program) + " not set");
    fs::copy_file(path, m_dir / m_name);
  }
  ~CliProcess() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
  }
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  // Starts the program; its standard output goes to `stdoutFd` (or a file),
  // its standard error to `stderrFd` (or a file).
  // `ignored`: signals the program starts with ignored; the others of
  // kSentSignals start at their defaults.
  void Start(const std::vector<std::string>& arguments, int stdoutFd = -1, int stderrFd = -1,
             const std::vector<int>& ignored = {}) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const std::string out = (m_dir / "out").string();
    const std::string err = (m_dir / "err").string();
    if (stdoutFd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    if (stderrFd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, stderrFd, 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : kSentSignals) {
      if (std::find(ignored.begin(), ignored.end(), signal) == ignored.end()) sigaddset(&defaults, signal);
    }
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    // A process group of its own, whose parent (this test) is in another
    // group of the session, as a shell's job is: the kernel discards a stop
    // signal sent to an orphaned group (nobody could continue it), and this
    // test may run in one (a script started in the background).
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    const std::string path = (m_dir / m_name).string();
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> argp;
    for (std::string& argument : argv) argp.push_back(argument.data());
    argp.push_back(nullptr);
    std::vector<std::string> env{"XDG_RUNTIME_DIR=" + m_dir.string(), "PATH=/usr/bin:/bin", "QT_QPA_PLATFORM=offscreen"};
    for (char** e = environ; *e != nullptr; ++e) {
      // The sanitizers' options are kept; nothing else of this process's environment.
      if (std::string(*e).find("SAN_OPTIONS=") != std::string::npos) env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& variable : env) envp.push_back(variable.data());
    envp.push_back(nullptr);

    // A signal ignored here and not named in the defaults stays ignored in
    // the child; this process ignores it only for the moment of the spawn.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    std::vector<struct sigaction> previous(ignored.size());
    for (std::size_t i = 0; i < ignored.size(); ++i) sigaction(ignored[i], &ignore, &previous[i]);
    const int failed = posix_spawn(&m_pid, path.c_str(), &actions, &attributes, argp.data(), envp.data());
    for (std::size_t i = 0; i < ignored.size(); ++i) sigaction(ignored[i], &previous[i], nullptr);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
      m_pid = -1;
      throw std::runtime_error("posix_spawn");
    }
  }

  void Signal(int signal) const { ASSERT_EQ(kill(m_pid, signal), 0); }
  bool Running() {
    if (m_pid <= 0) return false;
    if (waitpid(m_pid, &m_status, WNOHANG) != m_pid) return true;
    m_pid = -1;
    return false;
  }
  // The raw wait status once the program has ended within the bound.
  std::optional<int> Wait() {
    if (!WaitUntil([this] { return !Running(); })) return std::nullopt;
    return m_status;
  }
  // The log's lines without time stamps; empty while there is no log.
  std::vector<std::string> LogLines() const {
    const fs::path log = m_dir / (m_name + ".log");
    if (!fs::exists(log)) return {};
    std::vector<std::string> lines = orvik::test::ReadLogLines(log);
    // A line being written may be incomplete: keep only well-formed ones.
    std::erase_if(lines, [](const std::string& line) { return line.size() < 22 || line[0] != '<'; });
    return orvik::test::StripTimeStamps(lines);
  }
  bool LogHas(const std::string& line) const {
    const std::vector<std::string> lines = LogLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  fs::path LogPath() const { return m_dir / (m_name + ".log"); }
  std::string Out() const { return ReadText(m_dir / "out"); }
  std::string Err() const { return ReadText(m_dir / "err"); }
  pid_t Pid() const { return m_pid; }

 private:
  std::string m_name;
  fs::path m_dir;
  pid_t m_pid = -1;
  int m_status = 0;
};

std::string Describe(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

// A pipe whose buffer is full and nobody reads: a process writing to it
// blocks until the test drains it.
struct FullPipe {
  int fds[2] = {-1, -1};
  FullPipe() {
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    const std::string block(4096, 'x');
    while (write(fds[1], block.data(), block.size()) > 0) {
    }
    // Writes of at most a pipe's atomic size either fit whole or fail; fill
    // what is left byte by byte.
    while (write(fds[1], "x", 1) > 0) {
    }
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) & ~O_NONBLOCK);
  }
  ~FullPipe() {
    for (const int fd : fds) close(fd);
  }
  // Empties the pipe, so that a write blocked on it returns. Needed after a
  // signal under ThreadSanitizer, which holds a signal back while its thread
  // is inside write() and delivers it as the call returns; without it the
  // signal has arrived already.
  void Drain() const {
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    char bytes[4096];
    while (read(fds[0], bytes, sizeof bytes) > 0) {
    }
  }
};

// The kernel function a process sleeps in.
std::string WaitChannel(pid_t pid) { return ReadText("/proc/" + std::to_string(pid) + "/wchan"); }
// Blocked on a full pipe ("pipe_write", "anon_pipe_write" on newer kernels).
bool BlockedOnPipe(pid_t pid) { return WaitChannel(pid).ends_with("pipe_write"); }

// The process state letter of /proc/PID/stat ('T': stopped).
char ProcessState(pid_t pid) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t end = stat.rfind(')');
  return end == std::string::npos || end + 2 >= stat.size() ? '?' : stat[end + 2];
}

struct HeldSignal {
  int signal;
  const char* name;
  bool stops;  // its default action stops the process rather than ending it
};

class CliSignalTest : public ::testing::TestWithParam<HeldSignal> {};

TEST_P(CliSignalTest, TwoRequestsDuringTheUpdateAreDeferredAndTheRunCompletes) {
  const int signal = GetParam().signal;
  CliProcess cli;
  cli.Start({"-Emulate"});
  // Well inside the run: the bar has passed its first tenth, in the MCU's
  // first section.
  ASSERT_TRUE(WaitUntil([&] { return cli.Out().find("  100/1000") != std::string::npos; }))
      << "the update did not start";
  std::this_thread::sleep_for(300ms);
  cli.Signal(signal);
  std::this_thread::sleep_for(300ms);
  cli.Signal(signal);
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(cli.Running()) << "the program ended on the request";
  ASSERT_NE(ProcessState(cli.Pid()), 'T') << "the update was stopped";
  ASSERT_FALSE(cli.LogHas("Update complete")) << "the update ended before the requests: they tested nothing";

  if (GetParam().stops) {
    // Held until the run is over, the stop then does what it asked.
    ASSERT_TRUE(WaitUntil([&] { return ProcessState(cli.Pid()) == 'T'; })) << "the held stop was lost";
    EXPECT_EQ(cli.LogLines().back(), "Update complete") << "stopped before the run's end";
    cli.Signal(SIGCONT);
  }
  const std::optional<int> status = cli.Wait();
  ASSERT_TRUE(status) << "the program did not end";
  EXPECT_EQ(Describe(*status), "exit 0");
  EXPECT_EQ(cli.Err(), std::string(kNotice) + "\nUpdate complete\n");
  const std::vector<std::string> lines = cli.LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Update complete");
  EXPECT_TRUE(cli.LogHas("USB  write size = 0x00001ac0"));
}

TEST(CliSignalDuringTheUpdate, AReaderOfTheOutputThatGoesAwayDoesNotEndTheRun) {
  // As `orvik-updater-cli | tee` when the terminal closes: tee ends, and the
  // next status line is written into a pipe with no reader (SIGPIPE).
  int fds[2];
  // Close-on-exec: the program must not hold a read end of its own.
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  CliProcess cli;
  cli.Start({"-Emulate"}, fds[1]);
  close(fds[1]);
  std::string seen;
  ASSERT_TRUE(WaitUntil([&] {
    char bytes[256];
    const ssize_t n = read(fds[0], bytes, sizeof bytes);
    if (n > 0) seen.append(bytes, static_cast<std::size_t>(n));
    return seen.find("  100/1000") != std::string::npos;
  })) << seen;
  close(fds[0]);

  const std::optional<int> status = cli.Wait();
  ASSERT_TRUE(status);
  EXPECT_EQ(Describe(*status), "exit 0");
  const std::vector<std::string> lines = cli.LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Update complete");
}

// Everything a reader of the output has taken so far, up to the end of the
// output once the program has closed it. False when the end did not come
// within the bound.
bool ReadToEnd(int fd, std::string& text) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  bool ended = false;
  WaitUntil([&] {
    char bytes[4096];
    ssize_t n = 0;
    while ((n = read(fd, bytes, sizeof bytes)) > 0) text.append(bytes, static_cast<std::size_t>(n));
    ended = n == 0;
    return ended;
  });
  return ended;
}

TEST(CliOutputNobodyReads, TheUpdateRunsOnWhileAFullPipeIsUnreadAndEveryLineArrivesOnceItIsRead) {
  // --json into a 4 KiB pipe that its reader leaves alone for 9 s (a slow
  // consumer, Ctrl+S on a terminal): the progress events fill it at once.
  constexpr int kPipeSize = 4096;
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(fcntl(fds[1], F_SETPIPE_SZ, kPipeSize), kPipeSize);
  CliProcess cli;
  const auto started = std::chrono::steady_clock::now();
  cli.Start({"--json", "-Emulate"}, fds[1]);
  close(fds[1]);

  const bool completed = WaitUntil([&] { return cli.LogHas("Update complete"); });
  int unread = 0;
  ASSERT_EQ(ioctl(fds[0], FIONREAD, &unread), 0);
  EXPECT_TRUE(completed) << "the update waited for its output; " << unread << " bytes unread";
  EXPECT_GT(unread, kPipeSize - 128) << "the pipe never filled: nothing was tested";
  std::this_thread::sleep_until(started + 9s);
  EXPECT_TRUE(cli.Running()) << "the program ended with its output unread";

  std::string text;
  EXPECT_TRUE(ReadToEnd(fds[0], text)) << "the output did not end";
  close(fds[0]);
  const std::optional<int> status = cli.Wait();
  ASSERT_TRUE(status);
  EXPECT_EQ(Describe(*status), "exit 0");
  EXPECT_EQ(cli.Err(), "Update complete\n");

  std::vector<std::string> kinds;
  std::vector<std::string> messages;
  std::vector<int> positions;
  nlohmann::json last;
  for (const std::string& line : orvik::test::SplitLines(text)) {
    ASSERT_TRUE(nlohmann::json::accept(line)) << line;
    last = nlohmann::json::parse(line);
    kinds.push_back(last["event"]);
    if (last["event"] == "message") messages.push_back(last["text"]);
    if (last["event"] == "progress") positions.push_back(last["position"]);
  }
  ASSERT_FALSE(kinds.empty());
  EXPECT_EQ(kinds.front(), "start");
  EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "result"), 1);
  EXPECT_EQ(last["event"], "result");
  EXPECT_EQ(last["status"], 0);
  EXPECT_EQ(last["message"], "Update complete");
  EXPECT_EQ(messages, std::vector<std::string>{"Update complete"});
  // Coalesced while the pipe was full, never out of order, and the latest kept.
  ASSERT_FALSE(positions.empty());
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  EXPECT_EQ(positions.back(), 1000);
}

INSTANTIATE_TEST_SUITE_P(Signals, CliSignalTest,
                         ::testing::Values(HeldSignal{SIGINT, "SIGINT", false}, HeldSignal{SIGTERM, "SIGTERM", false},
                                           HeldSignal{SIGHUP, "SIGHUP", false}, HeldSignal{SIGQUIT, "SIGQUIT", false},
                                           HeldSignal{SIGUSR1, "SIGUSR1", false}, HeldSignal{SIGTSTP, "SIGTSTP", true}),
                         [](const ::testing::TestParamInfo<HeldSignal>& info) { return std::string(info.param.name); });

TEST(CliSignalAfterTheUpdate, RequestsRightAfterTheUpdateNeverCostTheUnitsRecordLine) {
  // Ctrl+C pressed twice, the second time just as the update ends: the
  // flashed unit's record line is written before the hold lets it through.
  char folder[] = "/tmp/orvik-cli-record-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const fs::path record = fs::path(folder) / "units.jsonl";
  CliProcess cli;
  cli.Start({"--record", record.string(), "-Emulate"});
  ASSERT_TRUE(WaitUntil([&] { return cli.Out().find("  100/1000") != std::string::npos; }));
  cli.Signal(SIGINT);
  ASSERT_TRUE(WaitUntil([&] { return cli.LogHas("Update complete"); }));
  // Again and again until the program has ended: one of them comes in
  // whatever moment follows the update.
  const auto until = std::chrono::steady_clock::now() + kWaitBound;
  // (Not a flood: that would starve the program on a busy machine.)
  while (cli.Running() && std::chrono::steady_clock::now() < until) {
    kill(cli.Pid(), SIGINT);
    std::this_thread::sleep_for(100us);
  }
  ASSERT_FALSE(cli.Running()) << "the program did not end; state " << ProcessState(cli.Pid()) << " in "
                              << WaitChannel(cli.Pid());
  // The run's started line, then its result.
  const std::vector<std::string> lines = orvik::test::SplitLines(ReadText(record));
  ASSERT_EQ(lines.size(), 2u) << "the flashed unit has no record line";
  const nlohmann::json result = nlohmann::json::parse(lines[1]);
  EXPECT_EQ(result["state"], "finished");
  EXPECT_EQ(result["status"], 0);
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

TEST(CliFileSizeLimit, ALogPastTheFileSizeLimitLosesLinesButTheRunCompletes) {
  // As under `ulimit -f 64`: the limit is inherited from this process for
  // the moment of the spawn.
  constexpr rlim_t kLimit = 64 * 1024;
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  rlimit limited = before;
  limited.rlim_cur = kLimit;
  CliProcess cli;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  cli.Start({"-Emulate", "--log"});
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);

  const std::optional<int> status = cli.Wait();
  ASSERT_TRUE(status);
  EXPECT_EQ(Describe(*status), "exit 0");
  EXPECT_EQ(cli.Err(), "Update complete\n");
  // The line that crosses the limit is cut there (the file cannot grow).
  const std::uintmax_t size = fs::file_size(cli.LogPath());
  EXPECT_LE(size, kLimit);
  EXPECT_GT(size, kLimit - 512) << "the log stayed below the limit: the case tested nothing";
}

TEST(CliSignalBeforeTheUpdate, SigintDuringTheStartUpChecksEndsTheProgramWith130) {
  // The start-up's "no device" message blocks on a full standard error:
  // the program is held inside its start-up checks.
  FullPipe err;
  CliProcess cli;
  cli.Start({"-Emulate:absent"}, -1, err.fds[1]);
  ASSERT_TRUE(WaitUntil([&] { return BlockedOnPipe(cli.Pid()); })) << WaitChannel(cli.Pid());
  EXPECT_FALSE(cli.LogHas("Can't find device")) << "start-up went past the message";
  cli.Signal(SIGINT);
  std::this_thread::sleep_for(200ms);
  err.Drain();
  const std::optional<int> status = cli.Wait();
  ASSERT_TRUE(status);
  EXPECT_EQ(Describe(*status), "exit 130");
}

TEST(CliSignalBeforeTheUpdate, SigtermAndSighupAfterTheStartUpEndTheProgramWith128PlusTheirNumber) {
  for (const int signal : {SIGTERM, SIGHUP}) {
    // Start-up has found the device; the caption, the line before the
    // update starts, blocks on a full standard output.
    FullPipe out;
    CliProcess cli;
    cli.Start({"-Emulate"}, out.fds[1]);
    ASSERT_TRUE(WaitUntil([&] { return BlockedOnPipe(cli.Pid()); })) << WaitChannel(cli.Pid());
    ASSERT_TRUE(cli.LogHas("MCU = Y1-3, USB = Y1-1"));
    cli.Signal(signal);
    std::this_thread::sleep_for(200ms);
    out.Drain();
    const std::optional<int> status = cli.Wait();
    ASSERT_TRUE(status);
    EXPECT_EQ(Describe(*status), "exit " + std::to_string(128 + signal));
    EXPECT_EQ(cli.LogLines().back(), "MCU = Y1-3, USB = Y1-1") << "the update started";
    EXPECT_EQ(cli.Err(), "");
  }
}

TEST(CliSignalBeforeTheUpdate, ASignalIgnoredAtStartStaysIgnored) {
  // As under nohup: a SIGHUP that the parent ignores is not taken over,
  // while SIGTERM still ends the program.
  FullPipe out;
  CliProcess cli;
  cli.Start({"-Emulate"}, out.fds[1], -1, {SIGHUP});
  ASSERT_TRUE(WaitUntil([&] { return BlockedOnPipe(cli.Pid()); }));
  cli.Signal(SIGHUP);
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(cli.Running()) << "an ignored SIGHUP ended the program";
  cli.Signal(SIGTERM);
  std::this_thread::sleep_for(200ms);
  out.Drain();
  const std::optional<int> status = cli.Wait();
  ASSERT_TRUE(status);
  EXPECT_EQ(Describe(*status), "exit 143");
}

// The Qt program's wiring: an idle window closes on the signal, and the
// program ends normally instead of being killed. (Its busy case needs a click
// on "Update" and is tested in qt_dialog_tests.)
TEST(QtProgramSignal, SigtermWhileIdleClosesTheWindowAndTheProgramEndsNormally) {
  if (std::getenv("ORVIK_QT_UPDATER") == nullptr) GTEST_SKIP() << "the Qt program is not built";
  CliProcess updater("ORVIK_QT_UPDATER", "orvik-updater");
  updater.Start({"-Emulate"});
  ASSERT_TRUE(WaitUntil([&] { return updater.LogHas("MCU = Y1-3, USB = Y1-1"); })) << updater.Err();
  std::this_thread::sleep_for(300ms);  // into the dialog's modal run
  updater.Signal(SIGTERM);
  const std::optional<int> status = updater.Wait();
  ASSERT_TRUE(status);
  EXPECT_EQ(Describe(*status), "exit 0");
}

// The seam itself, in this process: what the program's loop reads.
TEST(InterruptSeam, ADeferredSignalStaysPendingUntilClearedAndCutsAWaitShort) {
  using namespace orvik::app;
  using Clock = std::chrono::steady_clock;
  InstallInterruptHandlers();
  SetInterruptPolicy(InterruptPolicy::Defer);
  ClearPendingInterrupt();

  // Nothing pending: a wait lasts its bound; a negative bound none at all.
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(WaitForInterrupt(50ms));
  EXPECT_GE(Clock::now() - start, 50ms);
  start = Clock::now();
  EXPECT_FALSE(WaitForInterrupt(-1000ms));
  EXPECT_LT(Clock::now() - start, 1000ms);

  // A signal from another thread ends a long wait early.
  std::thread sender([] {
    std::this_thread::sleep_for(50ms);
    kill(getpid(), SIGTERM);
  });
  start = Clock::now();
  EXPECT_TRUE(WaitForInterrupt(kLongestInterruptWait));
  sender.join();
  EXPECT_LT(Clock::now() - start, 30s);
  EXPECT_EQ(PendingInterrupt(), SIGTERM);

  // The first request is the one kept; a wait returns at once while it is
  // pending.
  raise(SIGHUP);
  EXPECT_EQ(PendingInterrupt(), SIGTERM);
  EXPECT_TRUE(WaitForInterrupt(0ms));

  // Cleared, it is gone, and the pipe's leftover bytes wake nothing.
  ClearPendingInterrupt();
  EXPECT_EQ(PendingInterrupt(), 0);
  start = Clock::now();
  EXPECT_FALSE(WaitForInterrupt(50ms));
  EXPECT_GE(Clock::now() - start, 50ms);
  SetInterruptPolicy(InterruptPolicy::EndAtOnce);
}

}  // namespace
