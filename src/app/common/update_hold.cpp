#include "app/common/update_hold.h"

#include <atomic>
#include <optional>

#include "app/common/interrupt.h"

namespace orvik::app {

// The requests the hold defers, and the stop signals it holds (Update only).
struct UpdateHold::Policy {
  explicit Policy(HoldScope scope) : holdsStops(scope == HoldScope::Update) {
    if (holdsStops) HoldStopRequests();
  }
  // The stop signal, if one came, is delivered while the requests to end the
  // program are still deferred: the process stops, and carries on deferring
  // once continued, until the policy before comes back.
  ~Policy() {
    if (holdsStops) ReleaseStopRequests();
  }
  Policy(const Policy&) = delete;
  Policy& operator=(const Policy&) = delete;

  ScopedInterruptPolicy deferred{InterruptPolicy::Defer};
  bool holdsStops;
};

UpdateHold::UpdateHold(HoldScope scope, const std::function<void(const std::string&)>& say, HoldWindow window)
    : m_policy(std::make_unique<Policy>(scope)) {
  std::string notHeld;
  m_sleep = HoldOffSleep(scope, notHeld);
  static std::atomic<bool> s_said{false};
  if (!notHeld.empty() && say && !s_said.exchange(true)) say(notHeld);
  m_sessionEnd = BlockSessionEnd(window);
}

UpdateHold::~UpdateHold() {
  m_sessionEnd.reset();
  m_sleep.reset();
  m_policy.reset();
}

void HoldWhileBusy::Follow(bool busy, HoldWindow window) {
  if (busy && !m_hold) {
    m_hold = std::make_unique<UpdateHold>(HoldScope::Update, std::function<void(const std::string&)>{}, window);
  } else if (!busy) {
    m_hold.reset();
  }
}

}  // namespace orvik::app
