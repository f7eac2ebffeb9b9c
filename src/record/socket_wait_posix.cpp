// WaitSocket with poll().
#include <poll.h>

#include <cerrno>

#include "record/socket_wait.h"

namespace orvik::record {

SocketReady WaitSocket(int socket, bool write, std::chrono::steady_clock::time_point deadline) {
  if (socket < 0) return SocketReady::Failed;
  for (;;) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return SocketReady::TimedOut;
    // Rounded up: a wait that ends a millisecond early would give up too soon.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    pollfd one{socket, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    const int ready = ::poll(&one, 1, static_cast<int>(ms > 60000 ? 60000 : ms));
    if (ready > 0) return SocketReady::Ready;  // an error or hang-up too: the library then reads why
    if (ready < 0 && errno != EINTR) return SocketReady::Failed;
  }
}

}  // namespace orvik::record
