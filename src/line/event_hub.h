// The live link's fan-out: one reader publishes each changed row once, and
// every connected browser takes it from its own bounded queue. Publishing
// never waits for a browser; a browser that falls a whole queue behind is
// dropped (its page reconnects and reloads), so that a slow one never holds
// up the reader or the others.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orvik::line {

inline constexpr std::size_t kMaxStreams = 64;
inline constexpr std::size_t kStreamQueueLength = 256;

class EventHub;

// One browser's stream.
class StreamClient {
 public:
  enum class Status { Events, Idle, Closed };

  // Waits at most `wait` for events; moves them into `events`. Closed once
  // the client was dropped or the hub shut down.
  Status Next(std::chrono::milliseconds wait, std::vector<std::string>& events);

 private:
  friend class EventHub;
  std::mutex m_mutex;
  std::condition_variable m_ready;
  std::deque<std::string> m_queue;
  bool m_closed = false;
};

class EventHub {
 public:
  explicit EventHub(std::size_t maxStreams = kMaxStreams, std::size_t queueLength = kStreamQueueLength)
      : m_maxStreams(maxStreams), m_queueLength(queueLength) {}

  // A new stream; null when kMaxStreams are open already or the hub is shut.
  std::shared_ptr<StreamClient> Join();
  void Leave(const std::shared_ptr<StreamClient>& client);

  // Queues `event` (a whole server-sent event) for every stream; never waits.
  void Publish(const std::string& event);

  // Ends every stream and refuses new ones.
  void Shutdown();

  std::size_t Streams() const;
  std::size_t Dropped() const;

 private:
  const std::size_t m_maxStreams;
  const std::size_t m_queueLength;
  mutable std::mutex m_mutex;
  std::vector<std::shared_ptr<StreamClient>> m_clients;
  std::size_t m_dropped = 0;
  bool m_shut = false;
};

}  // namespace orvik::line
