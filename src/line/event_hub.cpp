#include "line/event_hub.h"

#include <algorithm>

namespace orvik::line {

StreamClient::Status StreamClient::Next(std::chrono::milliseconds wait, std::vector<std::string>& events) {
  events.clear();
  std::unique_lock lock(m_mutex);
  m_ready.wait_for(lock, wait, [&] { return m_closed || !m_queue.empty(); });
  if (m_closed) return Status::Closed;
  if (m_queue.empty()) return Status::Idle;
  events.assign(std::make_move_iterator(m_queue.begin()), std::make_move_iterator(m_queue.end()));
  m_queue.clear();
  return Status::Events;
}

std::shared_ptr<StreamClient> EventHub::Join() {
  const std::lock_guard lock(m_mutex);
  if (m_shut || m_clients.size() >= m_maxStreams) return nullptr;
  m_clients.push_back(std::make_shared<StreamClient>());
  return m_clients.back();
}

void EventHub::Leave(const std::shared_ptr<StreamClient>& client) {
  const std::lock_guard lock(m_mutex);
  m_clients.erase(std::remove(m_clients.begin(), m_clients.end(), client), m_clients.end());
}

void EventHub::Publish(const std::string& event) {
  const std::lock_guard lock(m_mutex);
  for (auto it = m_clients.begin(); it != m_clients.end();) {
    StreamClient& client = **it;
    bool full = false;
    {
      const std::lock_guard clientLock(client.m_mutex);
      if (client.m_queue.size() >= m_queueLength) {
        full = true;
        client.m_closed = true;
        client.m_queue.clear();
      } else {
        client.m_queue.push_back(event);
      }
    }
    client.m_ready.notify_one();
    if (full) {
      ++m_dropped;
      it = m_clients.erase(it);
    } else {
      ++it;
    }
  }
}

void EventHub::Shutdown() {
  const std::lock_guard lock(m_mutex);
  m_shut = true;
  for (const auto& client : m_clients) {
    {
      const std::lock_guard clientLock(client->m_mutex);
      client->m_closed = true;
    }
    client->m_ready.notify_one();
  }
  m_clients.clear();
}

std::size_t EventHub::Streams() const {
  const std::lock_guard lock(m_mutex);
  return m_clients.size();
}

std::size_t EventHub::Dropped() const {
  const std::lock_guard lock(m_mutex);
  return m_dropped;
}

}  // namespace orvik::line
