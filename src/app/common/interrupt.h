// Requests from outside to end or stop the program. POSIX: every signal
// whose default action ends the program, except those that report the
// program's own faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP,
// SIGSYS), and the stop signals; Windows: Ctrl+C, Ctrl+Break and the
// console's close, logoff and shutdown events.
//
// A controller left half-written may not start again, so while an update
// runs such a request must not end the program. The handlers only record the
// request (an atomic and a self-pipe or event, nothing else: they run in
// signal context); the program's own loop reads it with PendingInterrupt or
// WaitForInterrupt and decides what it means.
#pragma once

#include <chrono>
#include <span>

namespace orvik::app {

enum class InterruptPolicy {
  EndAtOnce,  // a request ends the program at once, with InterruptExitStatus
  // A request is recorded; the program carries on. On Windows a console
  // close, logoff or shutdown cannot be refused: its handler waits until the
  // policy is EndAtOnce again (or the system's time-out ends the process)
  // and then ends the process with InterruptExitStatus.
  Defer,
};

// POSIX: the signals that end the program by default and that the handlers
// below take (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
// SIGVTALRM, SIGPROF, SIGXCPU, SIGPOLL, SIGPWR, SIGSTKFLT). Windows: none.
std::span<const int> EndingSignals();

// POSIX: SIGXFSZ ignored from now on, so that a write past the file-size
// limit (`ulimit -f`) fails with EFBIG and loses that log line, as a full
// disk does, instead of ending the program in the middle of an update. Both
// Linux programs call it first thing. Windows: nothing.
void IgnoreFileSizeLimitSignal();

// POSIX: SIGPIPE ignored until the matching RestorePipeSignal (calls nest),
// so that a write to a pipe whose reader has gone fails instead of ending the
// program; the one place that switches it, for the hold (Defer) and for the
// windowed program's life. Main thread. Windows: nothing.
void IgnorePipeSignal();
void RestorePipeSignal();

// Installs the handlers for EndingSignals(), with the policy EndAtOnce, and
// ignores SIGXFSZ. Call once, early in main. A signal the process was started
// with ignored stays ignored (POSIX), and Ctrl+C stays off in a process
// started with it disabled (Windows).
void InstallInterruptHandlers();

// A function the handlers call just before they end the process themselves
// (Windows: ExitProcess from the console's handler thread, which runs no
// atexit function), to put back state that outlives the process, such as
// the console's code pages. It must be safe to call from that thread at any
// time. POSIX: not called (a signal ends the process without such state).
void SetBeforeExitHook(void (*hook)());

// Ends the process at once with `status`, as the handlers end it: the
// before-exit hook first (Windows: the console's code pages put back), then
// the process, without running destructors or waiting for other threads (a
// writer blocked on a stalled output). For a program that must end while
// one of its threads cannot be joined.
[[noreturn]] void EndProcessNow(int status);

// Main thread. POSIX: also ignores SIGPIPE while deferring (IgnorePipeSignal).
void SetInterruptPolicy(InterruptPolicy policy);
InterruptPolicy CurrentInterruptPolicy();

// Sets a policy for its own lifetime and then puts back the one before: a
// single update inside a station, which defers throughout, leaves the
// station deferring.
class ScopedInterruptPolicy {
 public:
  explicit ScopedInterruptPolicy(InterruptPolicy policy) : m_before(CurrentInterruptPolicy()) {
    SetInterruptPolicy(policy);
  }
  ~ScopedInterruptPolicy() { SetInterruptPolicy(m_before); }
  ScopedInterruptPolicy(const ScopedInterruptPolicy&) = delete;
  ScopedInterruptPolicy& operator=(const ScopedInterruptPolicy&) = delete;

 private:
  InterruptPolicy m_before;
};

// The first request recorded since the last ClearPendingInterrupt, as a
// signal number (Windows: SIGINT for Ctrl+C, SIGBREAK for Ctrl+Break, SIGHUP
// for the close, logoff and shutdown events), or 0 when there is none.
int PendingInterrupt();
void ClearPendingInterrupt();

// Waits at most `bound` for a request; returns at once when one is pending.
// True when one is pending. A sleep that a request cuts short. A negative
// bound waits not at all; one above kLongestInterruptWait waits that long.
inline constexpr std::chrono::milliseconds kLongestInterruptWait = std::chrono::hours(24);
bool WaitForInterrupt(std::chrono::milliseconds bound);

// POSIX: while held, SIGTSTP, SIGTTIN and SIGTTOU (Ctrl+Z, a background
// job's terminal access) do not stop the process: the first is recorded and
// wakes WaitForInterrupt's poll (without making it return), and the thread
// it interrupted masks the stop signals until the release. Releasing
// restores the dispositions found when holding began, discards the stops
// that came after the first, and then delivers the held one, which stops the
// process as it asked. Holds nest; only the outermost release delivers. A
// stop signal ignored when holding begins stays ignored. Only these two
// calls, on the main thread, ever set the stop signals' dispositions; the
// handler never does. Windows has no stop signals: nothing.
void HoldStopRequests();
void ReleaseStopRequests();
// The stop signal held since holding began, or 0.
int HeldStopRequest();

// The exit status of a program ended by `signal`: 128 + its number (130 for
// SIGINT), as shells report it.
constexpr int InterruptExitStatus(int signal) { return 128 + signal; }

}  // namespace orvik::app
