// The sleep lock against logind as python-dbusmock serves it, on a private
// dbus-daemon that each case starts as its system bus and stops again: what
// is held while the hold lasts, nothing after, what is said when logind
// refuses or does not answer, and that no bus at all holds nothing and costs
// nothing. Then the real command line, whose update holds the lock.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/common/update_hold.h"
#include "support/test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using orvik::app::HoldScope;

constexpr char kUpdateLocks[] = "sleep:idle:handle-lid-switch:shutdown:handle-power-key:handle-suspend-key:handle-hibernate-key";
constexpr char kNoBus[] = "unix:path=/nonexistent/orvik-no-bus";
// As polkit answers a remote (SSH) session: everything but idle refused.
constexpr char kRemoteSession[] =
    R"({"refuse": ["sleep", "handle-lid-switch", "shutdown", "handle-power-key", "handle-suspend-key",)"
    R"( "handle-hibernate-key"]})";
constexpr char kRefusedText[] =
    "hold off sleep, handle-lid-switch, shutdown, handle-power-key, handle-suspend-key, handle-hibernate-key "
    "(Permission denied)";

// A child process, killed and reaped with its owner.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Stop(); }
  // `extraFd` is dup'd to the child's fd 3, `stderrFd` to its fd 2 (-1: none,
  // /dev/null); the environment is this process's with `extraEnv` added.
  void Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, int extraFd = -1,
             int stderrFd = -1, int stdoutFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (stdoutFd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    if (stderrFd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, stderrFd, 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    if (extraFd >= 0) posix_spawn_file_actions_adddup2(&actions, extraFd, 3);
    // This process's variables but the system bus and those given here.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string variable = *e;
      const std::string name = variable.substr(0, variable.find('=') + 1);
      const bool replaced = std::any_of(extraEnv.begin(), extraEnv.end(),
                                        [&](const std::string& extra) { return extra.starts_with(name); });
      if (!replaced && name != "DBUS_SYSTEM_BUS_ADDRESS=") env.push_back(variable);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (std::string& arg : args) argp.push_back(arg.data());
    argp.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int failed = posix_spawn(&m_pid, args[0].c_str(), &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start " + args[0]);
  }
  void Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }
  // The exit status once the child has ended within `bound`.
  std::optional<int> Wait(std::chrono::milliseconds bound) {
    int status = 0;
    const bool ended = orvik::test::WaitUntil([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, bound);
    if (!ended) return std::nullopt;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  bool Running() const { return m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0; }
  pid_t Pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
};

struct Inhibitor {
  std::string what, who, why, mode;
};

// A dbus-daemon of this test's own, optionally with logind_mock.py on it.
class PrivateSystemBus {
 public:
  explicit PrivateSystemBus(const char* mockParameters) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    m_daemon.Start({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=3"}, {}, fds[1]);
    close(fds[1]);
    pollfd ready{fds[0], POLLIN, 0};
    char line[512] = "";
    ssize_t n = 0;
    if (poll(&ready, 1, 10000) == 1) n = read(fds[0], line, sizeof line - 1);
    close(fds[0]);
    m_address.assign(line, n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!m_address.empty() && m_address.back() == '\n') m_address.pop_back();
    if (m_address.empty()) throw std::runtime_error("dbus-daemon gave no address");
    if (mockParameters == nullptr) return;
    const char* source = std::getenv("ORVIK_SOURCE_DIR");
    if (source == nullptr) throw std::runtime_error("ORVIK_SOURCE_DIR not set");
    const std::string templatePath = std::string(source) + "/tests/unit/app_linux/logind_mock.py";
    m_mock.Start({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", templatePath, "-p", mockParameters},
                 {"DBUS_SYSTEM_BUS_ADDRESS=" + m_address, "PYTHONDONTWRITEBYTECODE=1"});
    if (!orvik::test::WaitUntil([&] { return ListInhibitors().has_value(); }, 20s)) {
      throw std::runtime_error("the logind mock did not come up");
    }
  }
  ~PrivateSystemBus() {
    m_mock.Stop();
    m_daemon.Stop();
  }
  PrivateSystemBus(const PrivateSystemBus&) = delete;
  PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

  const std::string& Address() const { return m_address; }

  // logind's list of inhibitors; nothing when it cannot be asked.
  std::optional<std::vector<Inhibitor>> ListInhibitors() const {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return std::nullopt;
    std::optional<std::vector<Inhibitor>> list;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (sd_bus_set_address(bus, m_address.c_str()) >= 0 && sd_bus_set_bus_client(bus, 1) >= 0 &&
        sd_bus_start(bus) >= 0 &&
        sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "ListInhibitors", &error, &reply, "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
      list.emplace();
      const char *what, *who, *why, *mode;
      std::uint32_t uid, pid;
      while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0) {
        list->push_back({what, who, why, mode});
      }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return list;
  }

  std::vector<std::string> Whats() const {
    std::vector<std::string> whats;
    for (const Inhibitor& i : ListInhibitors().value_or(std::vector<Inhibitor>{})) whats.push_back(i.what);
    return whats;
  }

 private:
  Child m_daemon;
  Child m_mock;
  std::string m_address;
};

// Points the process's system bus at `address` for the object's lifetime.
class SystemBusAddress {
 public:
  explicit SystemBusAddress(const std::string& address) { setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1); }
  ~SystemBusAddress() { unsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }
};

enum class BusKind { None, WithoutLogind, Logind };

struct SleepCase {
  const char* name;
  BusKind bus;
  const char* mockParameters;
  HoldScope scope;
  std::vector<std::string> held;  // the inhibitors' "what", in order
  const char* notHeld;            // expected in what is said; null: nothing said
  std::chrono::milliseconds bound;
};

class SleepLockTest : public ::testing::TestWithParam<SleepCase> {};

TEST_P(SleepLockTest, HoldsWhatTheSystemAllowsSaysWhatItRefusedAndReleasesAll) {
  const SleepCase& c = GetParam();
  if (access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";
  std::optional<PrivateSystemBus> bus;
  if (c.bus != BusKind::None) bus.emplace(c.bus == BusKind::Logind ? c.mockParameters : nullptr);
  const SystemBusAddress address(bus ? bus->Address() : std::string(kNoBus));

  std::string notHeld;
  const Clock::time_point start = Clock::now();
  std::unique_ptr<orvik::app::Held> lock = orvik::app::HoldOffSleep(c.scope, notHeld);
  EXPECT_LT(Clock::now() - start, c.bound);
  if (c.notHeld == nullptr) {
    EXPECT_EQ(notHeld, "");
  } else {
    EXPECT_NE(notHeld.find(c.notHeld), std::string::npos) << notHeld;
  }
  EXPECT_EQ(lock != nullptr, !c.held.empty());
  // (A logind that did not answer is still busy with the call.)
  if (c.held.empty()) return;

  const std::vector<Inhibitor> during = bus->ListInhibitors().value_or(std::vector<Inhibitor>{});
  std::vector<std::string> whats;
  for (const Inhibitor& i : during) {
    whats.push_back(i.what);
    EXPECT_EQ(i.who + "|" + i.why + "|" + i.mode, "orvik-updater|Firmware update in progress|block");
  }
  EXPECT_EQ(whats, c.held);
  lock.reset();
  EXPECT_TRUE(orvik::test::WaitUntil([&] { return bus->Whats().empty(); }, 10s)) << "a lock outlived the hold";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SleepLockTest,
    ::testing::Values(
        SleepCase{"UpdateHoldsTheWholeSet", BusKind::Logind, "{}", HoldScope::Update, {kUpdateLocks}, nullptr, 3s},
        SleepCase{"StationHoldsIdle", BusKind::Logind, "{}", HoldScope::Station, {"idle"}, nullptr, 3s},
        SleepCase{"RefusedLocksFallBackToIdle", BusKind::Logind, kRemoteSession, HoldScope::Update, {"idle"},
                  kRefusedText, 5s},
        SleepCase{"ALogindThatDoesNotAnswerCostsOneBound", BusKind::Logind, R"({"delay_s": 8})", HoldScope::Update,
                  {}, "no answer within 2 s", 4s},
        SleepCase{"ABusWithoutLogindHoldsNothing", BusKind::WithoutLogind, nullptr, HoldScope::Update, {}, nullptr, 3s},
        SleepCase{"NoBusAtAllHoldsNothing", BusKind::None, nullptr, HoldScope::Update, {}, nullptr, 1s}),
    [](const ::testing::TestParamInfo<SleepCase>& info) { return std::string(info.param.name); });

TEST(SleepLockRefusal, IsSaidOnceInTheProcessesLife) {
  if (access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";
  const PrivateSystemBus bus(R"({"refuse": ["shutdown"]})");
  const SystemBusAddress address(bus.Address());
  std::vector<std::string> said;
  for (int unit = 0; unit < 2; ++unit) {
    const orvik::app::UpdateHold hold(HoldScope::Update, [&](const std::string& text) { said.push_back(text); });
    EXPECT_EQ(bus.Whats().size(), 6u) << "each allowed lock on its own";
  }
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("hold off shutdown ("), std::string::npos) << said[0];
}

TEST(SleepLockRefusal, IsSaidPerLockOnceForAStationAndItsUnitsAndAgainAfterTheLockWasHeld) {
  if (access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";
  char folder[] = "/tmp/orvik-refuse-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const fs::path refuseFile = fs::path(folder) / "refuse";
  const auto refuse = [&](const std::string& names) { std::ofstream(refuseFile) << names; };
  const PrivateSystemBus bus(("{\"refuse_file\": \"" + refuseFile.string() + "\"}").c_str());
  const SystemBusAddress address(bus.Address());
  std::vector<std::string> said;
  orvik::app::HoldNotice notice([&](const std::string& text) { said.push_back(text); });
  const std::string all = "sleep idle handle-lid-switch shutdown handle-power-key handle-suspend-key handle-hibernate-key";
  struct Unit {
    const char* refused;  // by logind while the unit is updated
    const char* said;     // what is said; empty: nothing
  };
  refuse("idle");
  const orvik::app::UpdateHold station(HoldScope::Station, &notice);
  ASSERT_EQ(said, std::vector<std::string>{"the system did not let the update hold off idle (Permission denied)"});
  said.clear();
  for (const Unit& unit : {
           Unit{"idle", ""},
           Unit{all.c_str(),
                "the system did not let the update hold off sleep, handle-lid-switch, shutdown, handle-power-key, "
                "handle-suspend-key, handle-hibernate-key (Permission denied)"},
           Unit{all.c_str(), ""},
           Unit{"", ""},
           Unit{"shutdown", "the system did not let the update hold off shutdown (Permission denied)"},
       }) {
    SCOPED_TRACE(unit.refused);
    refuse(unit.refused);
    { const orvik::app::UpdateHold hold(HoldScope::Update, &notice); }
    EXPECT_EQ(said, *unit.said ? std::vector<std::string>{unit.said} : std::vector<std::string>{});
    said.clear();
  }
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

TEST(SleepLockRefusal, ALogindThatDidNotAnswerIsNotAskedAgainForAMinute) {
  if (access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";
  const PrivateSystemBus bus(R"({"delay_s": 8})");
  const SystemBusAddress address(bus.Address());
  std::vector<std::string> said;
  orvik::app::HoldNotice notice([&](const std::string& text) { said.push_back(text); });
  for (int unit = 0; unit < 3; ++unit) {
    const Clock::time_point start = Clock::now();
    { const orvik::app::UpdateHold hold(HoldScope::Update, &notice); }
    if (unit > 0) {
      EXPECT_LT(Clock::now() - start, 500ms) << "unit " << unit << " asked again";
    }
  }
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("no answer within 2 s"), std::string::npos) << said[0];
}

// The real command line: the lock during its update, none after.
struct ProgramCase {
  const char* name;
  std::vector<std::string> arguments;
  BusKind bus;
  const char* mockParameters;
  const char* held;  // the first inhibitor seen during the run; null: none
  std::string err;
};

class ProgramSleepLockTest : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramSleepLockTest, TheUpdateHoldsTheLockAndCompletes) {
  const ProgramCase& c = GetParam();
  if (access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";
  const char* program = std::getenv("ORVIK_CLI");
  if (program == nullptr) GTEST_SKIP() << "ORVIK_CLI not set";
  std::optional<PrivateSystemBus> bus;
  if (c.bus != BusKind::None) bus.emplace(c.mockParameters);

  char folder[] = "/tmp/orvik-sleep-lock-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const fs::path dir = folder;
  fs::copy_file(program, dir / "orvik-updater-cli");
  const int err = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Child cli;
  std::vector<std::string> argv = c.arguments;
  argv.insert(argv.begin(), (dir / "orvik-updater-cli").string());
  cli.Start(argv,
            {"DBUS_SYSTEM_BUS_ADDRESS=" + (bus ? bus->Address() : std::string(kNoBus)), "XDG_RUNTIME_DIR=" + dir.string()},
            -1, err);
  close(err);
  std::vector<std::string> seen;
  if (bus) {
    orvik::test::WaitUntil([&] { return !(seen = bus->Whats()).empty() || !cli.Running(); }, 60s);
  }
  const std::optional<int> status = cli.Wait(120s);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
  // The oldest lock first (a station's own, then its unit's).
  if (c.held == nullptr) {
    EXPECT_EQ(seen, std::vector<std::string>{});
  } else {
    EXPECT_EQ(seen.empty() ? std::string() : seen.front(), c.held);
  }
  if (bus) {
    EXPECT_TRUE(orvik::test::WaitUntil([&] { return bus->Whats().empty(); }, 10s)) << "a lock outlived the run";
  }
  std::ifstream text(dir / "err");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(text), {}), c.err);
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramSleepLockTest,
    ::testing::Values(
        ProgramCase{"Logind", {"-Emulate"}, BusKind::Logind, "{}", kUpdateLocks, "Update complete\n"},
        // Idle is held from the station's start, before its first unit.
        // Its unit's message is part of the result line, on standard output.
        ProgramCase{"Station", {"--station=1", "-Emulate"}, BusKind::Logind, "{}", "idle", ""},
        ProgramCase{"RemoteSession", {"-Emulate"}, BusKind::Logind, kRemoteSession, "idle",
                    std::string("orvik-updater-cli: the system did not let the update ") + kRefusedText +
                        "\nUpdate complete\n"},
        ProgramCase{"NoBusAtAll", {"-Emulate"}, BusKind::None, nullptr, nullptr, "Update complete\n"}),
    [](const ::testing::TestParamInfo<ProgramCase>& info) { return std::string(info.param.name); });

TEST(ProgramOutputNobodyReads, OnceTheUpdateHasEndedSigtermEndsTheProgramAndNoLockIsLeft) {
  // --json into a 4 KiB pipe that nobody reads: the output stalls at once.
  // The update runs on, and once it has ended the stalled output holds
  // neither the machine nor the program.
  if (access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";
  const char* program = std::getenv("ORVIK_CLI");
  if (program == nullptr) GTEST_SKIP() << "ORVIK_CLI not set";
  const PrivateSystemBus bus("{}");
  char folder[] = "/tmp/orvik-stalled-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const fs::path dir = folder;
  fs::copy_file(program, dir / "orvik-updater-cli");
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(fcntl(fds[1], F_SETPIPE_SZ, 4096), 4096);
  Child cli;
  cli.Start({(dir / "orvik-updater-cli").string(), "--json", "-Emulate"},
            {"DBUS_SYSTEM_BUS_ADDRESS=" + bus.Address(), "XDG_RUNTIME_DIR=" + dir.string()}, -1, -1, fds[1]);
  close(fds[1]);
  const auto completed = [&] {
    const fs::path log = dir / "orvik-updater-cli.log";
    if (!fs::exists(log)) return false;
    const std::vector<std::string> lines = orvik::test::StripTimeStamps(orvik::test::ReadLogLines(log));
    return std::find(lines.begin(), lines.end(), "Update complete") != lines.end();
  };
  ASSERT_TRUE(orvik::test::WaitUntil(completed, 120s)) << "the update did not complete";
  kill(cli.Pid(), SIGTERM);
  // Output that stands still is given up after the program's bound (2 s),
  // with the console put back first; a sanitizer's slower ending on top.
  const std::optional<int> status = cli.Wait(10s);
  EXPECT_TRUE(status) << "SIGTERM did not end the program";
  // Deferred during the update's last moments, the request ends the program
  // with the run's status; after them, SIGTERM's own.
  if (status) {
    EXPECT_TRUE(*status == 0 || *status == 128 + SIGTERM) << *status;
  }
  EXPECT_TRUE(orvik::test::WaitUntil([&] { return bus.Whats().empty(); }, 10s)) << "a lock outlived the update";
  close(fds[0]);
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

}  // namespace
