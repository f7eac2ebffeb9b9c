#include "app/qt/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>
#include <vector>

#include "app/common/interrupt.h"

namespace orvik::qt {
namespace {

// The pipe's write end while an instance exists, else -1.
std::atomic<int> g_writeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free atomics");

extern "C" void OnQuitSignal(int signal) {
  const int savedErrno = errno;
  const auto byte = static_cast<unsigned char>(signal);
  // A full pipe already has the reader awake; a lost byte changes nothing.
  [[maybe_unused]] const ssize_t written = write(g_writeFd.load(), &byte, 1);
  errno = savedErrno;
}

}  // namespace

struct QuitSignals::Saved {
  // The signals that end a program by default, as the command line takes them.
  std::span<const int> taken = app::EndingSignals();
  std::vector<struct sigaction> previous = std::vector<struct sigaction>(taken.size());
  std::vector<bool> installed = std::vector<bool>(taken.size());
};

QuitSignals::QuitSignals(std::function<void(int)> onRequest)
    : m_onRequest(std::move(onRequest)), m_saved(std::make_unique<Saved>()) {
  if (pipe(m_pipe) != 0) return;  // no pipe: the signals keep their dispositions
  for (const int fd : m_pipe) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  g_writeFd.store(m_pipe[1]);
  m_notifier = std::make_unique<QSocketNotifier>(m_pipe[0], QSocketNotifier::Read);
  connect(m_notifier.get(), &QSocketNotifier::activated, this, &QuitSignals::OnReadable);

  struct sigaction action {};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < m_saved->taken.size(); ++i) {
    const int signal = m_saved->taken[i];
    struct sigaction& previous = m_saved->previous[i];
    if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    m_saved->installed[i] = sigaction(signal, &action, nullptr) == 0;
  }
  // A write to standard error whose reader has gone (a closed terminal took
  // `2>&1 | tee` with it) fails instead of ending the program before the
  // run's last log line.
  app::IgnorePipeSignal();
}

QuitSignals::~QuitSignals() {
  if (m_pipe[0] >= 0) app::RestorePipeSignal();
  for (std::size_t i = 0; i < m_saved->taken.size(); ++i) {
    if (m_saved->installed[i]) sigaction(m_saved->taken[i], &m_saved->previous[i], nullptr);
  }
  g_writeFd.store(-1);
  m_notifier.reset();
  for (const int fd : m_pipe) {
    if (fd >= 0) close(fd);
  }
}

void QuitSignals::OnReadable() {
  unsigned char bytes[16];
  for (;;) {
    const ssize_t n = read(m_pipe[0], bytes, sizeof bytes);
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i) {
      if (m_onRequest) m_onRequest(bytes[i]);
    }
  }
}

}  // namespace orvik::qt
