// A bounded wait on a network connection's socket, for the record server's
// client library used without blocking.
#pragma once

#include <chrono>

namespace orvik::record {

enum class SocketReady { Ready, TimedOut, Failed };

// Waits until `socket` can be read (or written, with `write`), at most until
// `deadline`. A signal that interrupts the wait does not end it early.
SocketReady WaitSocket(int socket, bool write, std::chrono::steady_clock::time_point deadline);

}  // namespace orvik::record
