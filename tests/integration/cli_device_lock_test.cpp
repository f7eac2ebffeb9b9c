// orvik-updater-cli against a hidraw node the kernel serves (FUSE), seen where
// the program looks for it: the fake sysfs tree is bound over
// /sys/class/hidraw and a /dev of the test's own over /dev, in this program's
// private mount namespace. Behind the node, the emulated device answers.
//
// Two copies of the program, each past its own single-instance lock (a
// runtime folder of its own, as two users or two sessions have): the second
// sends nothing and says the device is in use. A node that refuses the user:
// the program says why, and how to fix it, and exits 2.
//
// Needs root (a mount namespace, FUSE, bind mounts): elsewhere the program
// exits 77 and CTest shows the tests as skipped.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulated_device.h"
#include "image/image.h"
#include "integration/fuse_hidraw.h"
#include "support/test_support.h"

extern char** environ;

namespace orvik {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Bytes;

// Why these tests cannot run here; empty when they can.
std::string g_cannotRun;

// An update takes some seconds, more under the sanitizers.
constexpr auto kRunBound = 120s;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string MountError(const std::string& what) { return "cannot mount " + what + ": " + std::strerror(errno); }

const char* const kSystemNodes[] = {"null", "zero", "full", "random", "urandom", "tty"};
const char* const kSystemFolders[] = {"shm", "pts"};

// The fake tree where the program looks: sysfs over /sys/class/hidraw, and
// `devFolder` over /dev, holding the node and the few system nodes a program
// needs. Everything is bound into `devFolder` first: the test's temporary
// folders (and the FUSE mount) live in /dev/shm, out of sight once /dev is
// covered.
std::string ExposeAsSystemNodes(const test::FuseHidrawTree& tree, const fs::path& devFolder) {
  if (!fs::is_directory("/sys/class/hidraw")) return "no /sys/class/hidraw to cover";
  std::error_code ignored;
  fs::create_directory_symlink("/proc/self/fd", devFolder / "fd", ignored);
  const char* streams[] = {"stdin", "stdout", "stderr"};
  for (int fd = 0; fd <= 2; ++fd) {
    fs::create_symlink("/proc/self/fd/" + std::to_string(fd), devFolder / streams[fd], ignored);
  }
  for (const char* name : kSystemNodes) {
    const fs::path target = devFolder / name;
    std::ofstream(target).close();
    if (::mount((fs::path("/dev") / name).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
      return MountError(target.string());
  }
  for (const char* name : kSystemFolders) {
    const fs::path target = devFolder / name;
    fs::create_directory(target, ignored);
    if (::mount((fs::path("/dev") / name).c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
      return MountError(target.string());
  }
  std::ofstream(devFolder / "hidraw0").close();
  if (::mount(tree.Node().c_str(), (devFolder / "hidraw0").c_str(), nullptr, MS_BIND, nullptr) != 0)
    return MountError("the node");
  if (::mount(tree.SysfsRoot().c_str(), "/sys/class/hidraw", nullptr, MS_BIND, nullptr) != 0)
    return MountError("the fake sysfs tree");
  if (::mount(devFolder.c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr) != 0) return MountError("the fake /dev");
  return {};
}

// A copy of the program in a folder of its own (its log goes beside it),
// with a runtime folder, and so a single-instance lock, of its own.
class Cli {
 public:
  Cli() {
    char folder[] = "/tmp/orvik-device-lock-XXXXXX";  // no "." in the path: the log is named after the program
    if (::mkdtemp(folder) == nullptr) throw std::runtime_error("mkdtemp");
    m_dir = folder;
    const char* program = std::getenv("ORVIK_CLI");
    if (program == nullptr) throw std::runtime_error("ORVIK_CLI not set");
    fs::copy_file(program, m_dir / "orvik-updater-cli");
  }
  ~Cli() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
  }
  Cli(const Cli&) = delete;
  Cli& operator=(const Cli&) = delete;

  void Start(std::vector<std::string> arguments = {}) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = (m_dir / "out").string();
    const std::string err = (m_dir / "err").string();
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string path = (m_dir / "orvik-updater-cli").string();
    arguments.insert(arguments.begin(), path);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> env{"XDG_RUNTIME_DIR=" + m_dir.string(), "HOME=" + m_dir.string(), "PATH=/usr/bin:/bin"};
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).find("SAN_OPTIONS=") != std::string::npos) env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& variable : env) envp.push_back(variable.data());
    envp.push_back(nullptr);
    const int failed = posix_spawn(&m_pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("posix_spawn");
  }

  // The exit status once the program has ended within the bound.
  std::optional<int> Wait() {
    int status = 0;
    const bool ended = test::WaitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, kRunBound);
    if (!ended) return std::nullopt;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + status;
  }

  std::string Out() const { return ReadText(m_dir / "out"); }
  std::string Err() const { return ReadText(m_dir / "err"); }
  std::vector<std::string> Log() const {
    const fs::path log = m_dir / "orvik-updater-cli.log";
    return fs::exists(log) ? test::StripTimeStamps(test::ReadLogLines(log)) : std::vector<std::string>{};
  }

 private:
  fs::path m_dir;
  pid_t m_pid = -1;
};

class CliOnAKernelNode : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!g_cannotRun.empty()) GTEST_SKIP() << g_cannotRun;
    char folder[] = "/tmp/orvik-fake-dev-XXXXXX";
    if (::mkdtemp(folder) == nullptr) throw std::runtime_error("mkdtemp");
    m_devFolder = folder;
    m_tree = std::make_unique<test::FuseHidrawTree>(DeviceVendorId, DeviceProductId);
    std::string error = m_tree->Error();
    if (error.empty()) error = ExposeAsSystemNodes(*m_tree, m_devFolder);
    if (!error.empty()) {
      g_cannotRun = error;
      TearDown();
      GTEST_SKIP() << g_cannotRun;
    }
    // The emulated device answers every report written to the node.
    ASSERT_TRUE(m_device.OpenDevice(DeviceVendorId, DeviceProductId));
    m_tree->Server().SetResponder([this](test::FuseHidraw& server, const Bytes& report) {
      if (report.size() != kReportSize) return;
      m_device.WriteReport(report);
      if (!m_device.WaitWriteDone()) return;
      ReportPacket reply{};
      m_device.ReadReport(reply);
      if (!m_device.WaitReadDone()) return;
      server.QueueInputLocked(Bytes(reply.begin() + 1, reply.end()));  // hidraw drops report ID 0
    });
  }

  void TearDown() override {
    ::umount2("/dev", MNT_DETACH);
    ::umount2("/sys/class/hidraw", MNT_DETACH);
    if (!m_devFolder.empty()) {
      ::umount2((m_devFolder / "hidraw0").c_str(), MNT_DETACH);
      for (const char* name : kSystemNodes) ::umount2((m_devFolder / name).c_str(), MNT_DETACH);
      for (const char* name : kSystemFolders) ::umount2((m_devFolder / name).c_str(), MNT_DETACH);
      std::error_code ignored;
      fs::remove_all(m_devFolder, ignored);
      m_devFolder.clear();
    }
    m_tree.reset();
  }

  fs::path m_devFolder;
  std::unique_ptr<test::FuseHidrawTree> m_tree;
  EmulatedDevice m_device{50ms};
};

TEST_F(CliOnAKernelNode, SecondUpdaterSendsNothingAndSaysTheDeviceIsInUse) {
  test::FuseHidraw& node = m_tree->Server();
  // The first copy's first reply is held back: it stays mid-update, with the
  // node open and locked, until the second copy and the listing are done.
  node.HoldInput(true);
  Cli first;
  first.Start();
  ASSERT_TRUE(test::WaitUntil([&] { return !node.Written().empty(); }, kRunBound)) << first.Err();
  const std::size_t writtenByFirst = node.Written().size();

  Cli second;
  second.Start();
  const auto secondStatus = second.Wait();
  Cli lister;
  lister.Start({"--list"});
  const auto listStatus = lister.Wait();
  const std::size_t writtenMeanwhile = node.Written().size() - writtenByFirst;
  node.HoldInput(false);

  EXPECT_EQ(writtenMeanwhile, 0u) << "the second updater wrote to a device in use";
  EXPECT_EQ(secondStatus, 2);
  EXPECT_EQ(second.Err(),
            "Can't find device, Please connect before run this updater!\n"
            "The device is connected but cannot be opened: in use by another updater.\n"
            "Let the other updater finish its update and close it, then run this updater again.\n");
  const auto secondLog = second.Log();
  EXPECT_NE(std::find(secondLog.begin(), secondLog.end(), "Can't open /dev/hidraw0: in use by another updater"),
            secondLog.end());
  EXPECT_EQ(listStatus, 0);
  EXPECT_NE(lister.Out().find("/dev/hidraw0  serial ORV-000042  port 1-1.4.2  input 33  output 33  can't open: "
                              "in use by another updater"),
            std::string::npos)
      << lister.Out();

  // The first copy was never disturbed.
  EXPECT_EQ(first.Wait(), 0) << first.Err();
  const auto firstLog = first.Log();
  ASSERT_FALSE(firstLog.empty());
  EXPECT_EQ(firstLog.back(), "Update complete");
}

TEST_F(CliOnAKernelNode, NodeThatRefusesTheUserIsExplainedAndEndsWithStatusTwo) {
  m_tree->Server().SetOpenError(EACCES);
  Cli cli;
  cli.Start();
  EXPECT_EQ(cli.Wait(), 2);
  EXPECT_EQ(cli.Err(),
            "Can't find device, Please connect before run this updater!\n"
            "The device is connected but cannot be opened: Permission denied.\n"
            "Install the udev rule 70-orvik-updater.rules as the README says, then plug the device in again.\n");
  EXPECT_TRUE(m_tree->Server().Written().empty());
}

}  // namespace
}  // namespace orvik

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  orvik::g_cannotRun = orvik::test::EnterPrivateMountNamespace();
  if (!orvik::g_cannotRun.empty()) std::fprintf(stderr, "skipped: %s\n", orvik::g_cannotRun.c_str());
  const int result = RUN_ALL_TESTS();
  return result == 0 && !orvik::g_cannotRun.empty() ? 77 : result;
}
