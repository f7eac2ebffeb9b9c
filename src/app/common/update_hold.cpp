#include "app/common/update_hold.h"

#include <algorithm>
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

namespace {

// The locks' names joined: "sleep, idle".
std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

std::string NotHeldText(const std::vector<std::string>& names, const std::string& reason) {
  return "the system did not let the update hold off " + Joined(names) + " (" + reason + ")";
}

using Clock = std::chrono::steady_clock;
// When the system last did not answer; the epoch for never. Main thread.
Clock::time_point g_notAnsweredAt{};
bool g_notAnswered = false;
// The locks that went unasked since then, and why.
std::vector<std::string> g_unasked;
std::string g_unaskedReason;

}  // namespace

std::unique_ptr<Held> HoldOffSleep(HoldScope scope, std::string& notHeld) {
  SleepLocks got = AskForSleepLocks(scope);
  if (!got.notHeld.empty()) notHeld = NotHeldText(got.notHeld, got.reason);
  return std::move(got.held);
}

void HoldNotice::Heard(const std::vector<std::string>& asked, const SleepLocks& got,
                       const std::function<void(const std::string&)>& say) {
  std::vector<std::string> newly;
  for (const std::string& name : asked) {
    const bool notHeld = std::find(got.notHeld.begin(), got.notHeld.end(), name) != got.notHeld.end();
    if (!notHeld) {
      m_notHeld.erase(name);
    } else if (m_notHeld.insert(name).second) {
      newly.push_back(name);
    }
  }
  const std::function<void(const std::string&)>& to = say ? say : m_say;
  if (!newly.empty() && to) to(NotHeldText(newly, got.reason));
}

UpdateHold::UpdateHold(HoldScope scope, const std::function<void(const std::string&)>& say, HoldWindow window) {
  static HoldNotice s_processNotice;
  Take(scope, &s_processNotice, say, window);
}

UpdateHold::UpdateHold(HoldScope scope, HoldNotice* notice, HoldWindow window) { Take(scope, notice, {}, window); }

void UpdateHold::Take(HoldScope scope, HoldNotice* notice, const std::function<void(const std::string&)>& say,
                      HoldWindow window) {
  m_policy = std::make_unique<Policy>(scope);
  SleepLocks got;
  if (g_notAnswered && Clock::now() - g_notAnsweredAt < kNotAnsweredRetry) {
    // Asked again, it would cost another bound without an answer.
    got.notHeld = g_unasked;
    got.reason = g_unaskedReason;
    got.notAnswered = true;
  } else {
    got = AskForSleepLocks(scope);
    g_notAnswered = got.notAnswered;
    if (got.notAnswered) {
      g_notAnsweredAt = Clock::now();
      g_unasked = got.notHeld;
      g_unaskedReason = got.reason;
    }
  }
  if (notice != nullptr) {
    // Every lock of the scope was asked for (a lock not held when the
    // system was not asked counts as not held).
    std::vector<std::string> asked = got.notHeld;
    for (const std::string& name : SleepLockNames(scope)) {
      if (std::find(asked.begin(), asked.end(), name) == asked.end()) asked.push_back(name);
    }
    notice->Heard(asked, got, say);
  }
  m_sleep = std::move(got.held);
  m_sessionEnd = BlockSessionEnd(window);
}

UpdateHold::~UpdateHold() {
  m_sessionEnd.reset();
  m_sleep.reset();
  m_policy.reset();
}

void HoldWhileBusy::Follow(bool busy, HoldWindow window) {
  if (busy && !m_hold) {
    m_hold = std::make_unique<UpdateHold>(HoldScope::Update, nullptr, window);
  } else if (!busy) {
    m_hold.reset();
  }
}

}  // namespace orvik::app
