// POSIX: sigaction handlers for the signals that end the program by default
// that either _Exit or record the signal and write a byte to a self-pipe,
// which WaitForInterrupt polls; and, while an update holds them, handlers for
// the stop signals that only record. All are async-signal-safe.
//
// A signal that the program was started with ignored stays ignored: a shell
// starts background jobs with SIGINT ignored, so that Ctrl+C at the terminal
// does not reach them, and nohup starts its command with SIGHUP ignored.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iterator>

#include "app/common/interrupt.h"

namespace orvik::app {
namespace {

// Not the fault signals: a crash must still end the program with its core.
constexpr int kEndingSignals[] = {SIGINT,    SIGTERM, SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,  SIGALRM,
                                  SIGVTALRM, SIGPROF, SIGXCPU, SIGPOLL, SIGPWR,  SIGSTKFLT};
constexpr int kStopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

std::atomic<int> g_policy{static_cast<int>(InterruptPolicy::EndAtOnce)};
std::atomic<int> g_pending{0};
std::atomic<int> g_heldStop{0};
// The self-pipe's ends; read by the handlers, so atomics (-1: none).
std::atomic<int> g_pipeRead{-1};
std::atomic<int> g_pipeWrite{-1};

static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free atomics");

void WakeWaiter() {
  const int savedErrno = errno;
  const char byte = 1;
  // A full pipe already wakes the reader; a lost byte changes nothing. No
  // pipe (the Qt program reads its own): write fails with EBADF.
  [[maybe_unused]] const ssize_t written = write(g_pipeWrite.load(), &byte, 1);
  errno = savedErrno;
}

extern "C" void OnSignal(int signal) {
  if (g_policy.load() == static_cast<int>(InterruptPolicy::EndAtOnce)) std::_Exit(InterruptExitStatus(signal));
  int expected = 0;
  g_pending.compare_exchange_strong(expected, signal);
  WakeWaiter();
}

// Only records: the dispositions of the stop signals have one owner, the
// main thread's HoldStopRequests and ReleaseStopRequests, so a handler can
// never overwrite one that the release has just put back. One held stop is
// all the release needs, so the handler masks the stop signals in the thread
// it interrupted (in the context it returns to) until the release: further
// ones stay pending and the release discards them. Masking also matters for
// a background job's terminal write under `stty tostop`: the kernel answers
// a handled SIGTTOU by restarting the write and sending it again, a spin; a
// blocked one lets the write through.
extern "C" void OnStopSignal(int signal, siginfo_t* /*info*/, void* context) {
  int expected = 0;
  g_heldStop.compare_exchange_strong(expected, signal);
  if (context != nullptr) {
    ucontext_t* interrupted = static_cast<ucontext_t*>(context);
    for (const int stop : kStopSignals) sigaddset(&interrupted->uc_sigmask, stop);
  }
  WakeWaiter();
}

sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int stop : kStopSignals) sigaddset(&set, stop);
  return set;
}

void DrainPipe() {
  char bytes[64];
  while (read(g_pipeRead.load(), bytes, sizeof bytes) > 0) {
  }
}

// The stop signals' dispositions before the outermost hold, and which of
// them the main thread had blocked then (main thread only).
int g_stopHolds = 0;
struct sigaction g_stopBefore[std::size(kStopSignals)] = {};
bool g_stopInstalled[std::size(kStopSignals)] = {};
bool g_stopBlockedBefore[std::size(kStopSignals)] = {};

}  // namespace

std::span<const int> EndingSignals() { return kEndingSignals; }

void SetBeforeExitHook(void (* /*hook*/)()) {}

// A POSIX terminal keeps nothing of the program's to put back.
// std::_Exit, not _exit: both end the process without flushing anything, and
// both may be called from a signal handler, but ThreadSanitizer's _exit
// flushes the standard streams first, which waits forever on a stream whose
// writer is blocked on a reader that does not read.
void EndProcessNow(int status) { std::_Exit(status); }

void IgnoreFileSizeLimitSignal() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGXFSZ, &ignore, nullptr);
}

void InstallInterruptHandlers() {
  IgnoreFileSizeLimitSignal();
  int fds[2] = {-1, -1};
  if (g_pipeRead.load() < 0 && pipe(fds) == 0) {
    for (const int fd : fds) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    g_pipeRead.store(fds[0]);
    g_pipeWrite.store(fds[1]);
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted reads and writes of the standard streams carry on; the
  // device's poll() and the log's write() retry on EINTR themselves.
  action.sa_flags = SA_RESTART;
  for (const int signal : kEndingSignals) {
    struct sigaction inherited {};
    if (sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
}

namespace {
// SIGPIPE's disposition before the outermost IgnorePipeSignal (main thread).
int g_pipeIgnores = 0;
struct sigaction g_pipeBefore {};
bool g_pipeIgnored = false;
}  // namespace

void IgnorePipeSignal() {
  if (g_pipeIgnores++ > 0) return;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  g_pipeIgnored = sigaction(SIGPIPE, &ignore, &g_pipeBefore) == 0;
}

void RestorePipeSignal() {
  if (g_pipeIgnores == 0 || --g_pipeIgnores > 0) return;
  if (g_pipeIgnored) sigaction(SIGPIPE, &g_pipeBefore, nullptr);
  g_pipeIgnored = false;
}

void SetInterruptPolicy(InterruptPolicy policy) {
  // A closed terminal also ends the programs reading this one's output (a
  // pipe into `tee` or `less`): the next write would then raise SIGPIPE and
  // end the program as surely as SIGHUP. While deferring it is ignored, and
  // such a write fails instead; the update does not depend on its output.
  static bool s_deferring = false;
  if (policy == InterruptPolicy::Defer && !s_deferring) {
    IgnorePipeSignal();
    s_deferring = true;
  } else if (policy == InterruptPolicy::EndAtOnce && s_deferring) {
    RestorePipeSignal();
    s_deferring = false;
  }
  g_policy.store(static_cast<int>(policy));
  // A request recorded while deferring is not lost by ending the deferral:
  // it stays pending for the loop to read.
}

InterruptPolicy CurrentInterruptPolicy() { return static_cast<InterruptPolicy>(g_policy.load()); }

int PendingInterrupt() { return g_pending.load(); }

void ClearPendingInterrupt() {
  g_pending.store(0);
  if (g_pipeRead.load() >= 0) DrainPipe();
}

void HoldStopRequests() {
  if (g_stopHolds++ > 0) return;
  g_heldStop.store(0);
  sigset_t blocked;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  struct sigaction action {};
  action.sa_sigaction = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_SIGINFO;
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
    struct sigaction& before = g_stopBefore[i];
    g_stopBlockedBefore[i] = sigismember(&blocked, kStopSignals[i]) == 1;
    g_stopInstalled[i] = sigaction(kStopSignals[i], nullptr, &before) == 0 && before.sa_handler != SIG_IGN &&
                         sigaction(kStopSignals[i], &action, nullptr) == 0;
  }
}

void ReleaseStopRequests() {
  if (g_stopHolds == 0 || --g_stopHolds > 0) return;
  // Blocked here while the dispositions change back: a stop that comes now
  // waits, and those already pending (the handler masked them after the
  // first, which is recorded) are discarded, so the held stop acts once.
  const sigset_t stops = StopSignalSet();
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  const timespec now{};
  while (sigtimedwait(&stops, nullptr, &now) > 0) {
  }
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
    if (g_stopInstalled[i]) sigaction(kStopSignals[i], &g_stopBefore[i], nullptr);
    g_stopInstalled[i] = false;
  }
  // The other threads the handler masked them in are the update's own and
  // end with it; this one is the program's and gets its mask back.
  sigset_t unblock;
  sigemptyset(&unblock);
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
    if (!g_stopBlockedBefore[i]) sigaddset(&unblock, kStopSignals[i]);
  }
  pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
  // Now at its own disposition again, the request does what it asked for
  // (at its default: the process stops here until SIGCONT).
  if (const int held = g_heldStop.exchange(0); held != 0) raise(held);
}

int HeldStopRequest() { return g_heldStop.load(); }

bool WaitForInterrupt(std::chrono::milliseconds bound) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::clamp(bound, std::chrono::milliseconds::zero(), kLongestInterruptWait);
  while (PendingInterrupt() == 0) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    // No pipe (it could not be created): fd -1 makes poll a plain sleep.
    pollfd fd{g_pipeRead.load(), POLLIN, 0};
    const int ready = poll(&fd, 1, static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), INT_MAX)));
    // The bytes only wake this loop; the pending signal is the request. A
    // byte left behind by a request already cleared would otherwise keep the
    // pipe readable and turn this wait into a spin.
    if (ready > 0) DrainPipe();
  }
  return PendingInterrupt() != 0;
}

}  // namespace orvik::app
