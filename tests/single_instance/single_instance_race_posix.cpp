// The single-instance race on Linux: forks and execs 20 probes beside this
// program, waits until each says "ready", then closes their common standard
// input so they all try at once. Passes when exactly one acquired and the
// others were refused. The lock lives in a private runtime folder, so a real
// instance or another test cannot take part.
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kCopies = 20;
constexpr int kAcquired = 0;
constexpr int kRefused = 3;
// The whole race, start-up included, is over well within this.
constexpr int kDeadlineSeconds = 60;

struct Probe {
  pid_t pid = -1;
  int out = -1;  // the probe's standard output
  std::string said;
};

int Fail(const char* what) {
  std::fprintf(stderr, "single-instance race: %s: %s\n", what, std::strerror(errno));
  return 1;
}

// Reads from the probe's output until it has said `word` or closed it.
bool WaitFor(Probe& probe, const std::string& word) {
  while (probe.said.find(word) == std::string::npos) {
    pollfd p{probe.out, POLLIN, 0};
    if (::poll(&p, 1, kDeadlineSeconds * 1000) <= 0) return false;
    char buffer[64];
    const ssize_t n = ::read(probe.out, buffer, sizeof buffer);
    if (n <= 0) return false;
    probe.said.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

int main() {
  // A stuck probe must not hold CI: the alarm ends the driver, whose closed
  // pipes then end the probes.
  ::alarm(kDeadlineSeconds);

  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return Fail("cannot find this program's folder");
  const std::string probePath = (self.parent_path() / "single_instance_probe").string();

  char runtime[] = "/tmp/orvik-instance-race-XXXXXX";
  if (::mkdtemp(runtime) == nullptr) return Fail("mkdtemp");
  ::setenv("XDG_RUNTIME_DIR", runtime, 1);

  int gate[2];
  if (::pipe(gate) != 0) return Fail("pipe");
  std::vector<Probe> probes(kCopies);
  for (Probe& probe : probes) {
    int out[2];
    if (::pipe(out) != 0) return Fail("pipe");
    probe.pid = ::fork();
    if (probe.pid < 0) return Fail("fork");
    if (probe.pid == 0) {
      ::dup2(gate[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::close(gate[0]);
      ::close(gate[1]);
      ::close(out[0]);
      ::close(out[1]);
      for (const Probe& other : probes) {
        if (other.out >= 0) ::close(other.out);
      }
      char* const argv[] = {const_cast<char*>(probePath.c_str()), const_cast<char*>("1000"), nullptr};
      ::execv(probePath.c_str(), argv);
      std::perror("execv");
      ::_exit(127);
    }
    ::close(out[1]);
    probe.out = out[0];
  }
  ::close(gate[0]);

  for (Probe& probe : probes) {
    if (!WaitFor(probe, "ready\n")) {
      std::fprintf(stderr, "single-instance race: probe %d never became ready\n", static_cast<int>(probe.pid));
      return 1;
    }
  }
  const auto start = std::chrono::steady_clock::now();
  ::close(gate[1]);  // all at once

  int acquired = 0;
  int refused = 0;
  for (Probe& probe : probes) {
    WaitFor(probe, "d\n");  // "acquired" or "refused"
    int status = 0;
    if (::waitpid(probe.pid, &status, 0) != probe.pid) return Fail("waitpid");
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (code == kAcquired) {
      ++acquired;
    } else if (code == kRefused) {
      ++refused;
    } else {
      std::fprintf(stderr, "single-instance race: probe %d ended with %d (said \"%s\")\n",
                   static_cast<int>(probe.pid), code, probe.said.c_str());
    }
    ::close(probe.out);
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  std::filesystem::remove_all(runtime, error);

  std::printf("%d started together: %d acquired, %d refused (%lld ms)\n", kCopies, acquired, refused,
              static_cast<long long>(elapsed.count()));
  return acquired == 1 && refused == kCopies - 1 ? 0 : 1;
}
