// POSIX: sigaction handlers for SIGINT, SIGTERM and SIGHUP that either _exit
// or record the signal and write a byte to a self-pipe, which
// WaitForInterrupt polls. Both are async-signal-safe.
//
// A signal that the program was started with ignored stays ignored: a shell
// starts background jobs with SIGINT ignored, so that Ctrl+C at the terminal
// does not reach them, and nohup starts its command with SIGHUP ignored.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>

#include "app/cli/interrupt.h"

namespace orvik::cli {
namespace {

std::atomic<int> g_policy{static_cast<int>(InterruptPolicy::EndAtOnce)};
std::atomic<int> g_pending{0};
int g_pipe[2] = {-1, -1};

static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free atomics");

extern "C" void OnSignal(int signal) {
  if (g_policy.load() == static_cast<int>(InterruptPolicy::EndAtOnce)) _exit(InterruptExitStatus(signal));
  int expected = 0;
  g_pending.compare_exchange_strong(expected, signal);
  const int savedErrno = errno;
  const char byte = 1;
  // A full pipe already wakes the reader; a lost byte changes nothing.
  [[maybe_unused]] const ssize_t written = write(g_pipe[1], &byte, 1);
  errno = savedErrno;
}

void DrainPipe() {
  char bytes[64];
  while (read(g_pipe[0], bytes, sizeof bytes) > 0) {
  }
}

}  // namespace

void InstallInterruptHandlers() {
  if (g_pipe[0] < 0 && pipe(g_pipe) == 0) {
    for (const int fd : g_pipe) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted reads and writes of the standard streams carry on; the
  // device's poll() and the log's write() retry on EINTR themselves.
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction inherited {};
    if (sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
}

void SetInterruptPolicy(InterruptPolicy policy) {
  // A closed terminal also ends the programs reading this one's output (a
  // pipe into `tee` or `less`): the next write would then raise SIGPIPE and
  // end the program as surely as SIGHUP. While deferring it is ignored, and
  // such a write fails instead; the update does not depend on its output.
  static struct sigaction s_pipeBefore {};
  static bool s_pipeIgnored = false;
  if (policy == InterruptPolicy::Defer && !s_pipeIgnored) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    s_pipeIgnored = sigaction(SIGPIPE, &ignore, &s_pipeBefore) == 0;
  } else if (policy == InterruptPolicy::EndAtOnce && s_pipeIgnored) {
    sigaction(SIGPIPE, &s_pipeBefore, nullptr);
    s_pipeIgnored = false;
  }
  g_policy.store(static_cast<int>(policy));
  // A request recorded while deferring is not lost by ending the deferral:
  // it stays pending for the loop to read.
}

InterruptPolicy CurrentInterruptPolicy() { return static_cast<InterruptPolicy>(g_policy.load()); }

int PendingInterrupt() { return g_pending.load(); }

void ClearPendingInterrupt() {
  g_pending.store(0);
  if (g_pipe[0] >= 0) DrainPipe();
}

bool WaitForInterrupt(std::chrono::milliseconds bound) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::clamp(bound, std::chrono::milliseconds::zero(), kLongestInterruptWait);
  while (PendingInterrupt() == 0) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    // No pipe (it could not be created): fd -1 makes poll a plain sleep.
    pollfd fd{g_pipe[0], POLLIN, 0};
    const int ready = poll(&fd, 1, static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), INT_MAX)));
    // The bytes only wake this loop; the pending signal is the request. A
    // byte left behind by a request already cleared would otherwise keep the
    // pipe readable and turn this wait into a spin.
    if (ready > 0) DrainPipe();
  }
  return PendingInterrupt() != 0;
}

}  // namespace orvik::cli
