// Requests from outside to end the program: SIGINT, SIGTERM and SIGHUP on
// POSIX; Ctrl+C, Ctrl+Break and the console's close, logoff and shutdown
// events on Windows.
//
// A controller left half-written may not start again, so while an update
// runs such a request must not end the program. The handlers only record the
// request (an atomic and a self-pipe or event, nothing else: they run in
// signal context); the program's own loop reads it with PendingInterrupt or
// WaitForInterrupt and decides what it means.
#pragma once

#include <chrono>

namespace orvik::cli {

enum class InterruptPolicy {
  EndAtOnce,  // a request ends the program at once, with InterruptExitStatus
  // A request is recorded; the program carries on. On Windows a console
  // close, logoff or shutdown cannot be refused: its handler waits until the
  // policy is EndAtOnce again (or the system's time-out ends the process)
  // and then ends the process with InterruptExitStatus.
  Defer,
};

// Installs the handlers, with the policy EndAtOnce. Call once, early in main.
// A signal the process was started with ignored stays ignored (POSIX), and
// Ctrl+C stays off in a process started with it disabled (Windows).
void InstallInterruptHandlers();

// Main thread. POSIX: also ignores SIGPIPE while deferring (a write to a
// pipe whose reader has gone then fails instead of ending the program).
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

// The exit status of a program ended by `signal`: 128 + its number (130 for
// SIGINT), as shells report it.
constexpr int InterruptExitStatus(int signal) { return 128 + signal; }

}  // namespace orvik::cli
