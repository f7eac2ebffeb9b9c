// Linux: systemd-logind's inhibitor locks, asked for on the system bus with
// sd-bus (libsystemd). org.freedesktop.login1.Manager.Inhibit(what, who, why,
// mode) returns a file descriptor; the lock lasts until every copy of it is
// closed, so the process's end releases it too.
//
// What an update asks for: "sleep" and "idle", and "handle-lid-switch",
// because logind by default ignores the plain sleep lock for the lid
// (LidSwitchIgnoreInhibited=yes); and "shutdown" with the power, suspend and
// hibernate keys. polkit refuses some of these to a session that is not
// local and active (SSH) while it allows "idle" to anyone: after a refusal
// each lock is asked for on its own and the program keeps what it gets.
//
// No system bus (a container), no logind, or an elogind without the call:
// nothing is held and the update runs all the same. A logind that does not
// answer costs at most one bounded call.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/common/update_hold.h"

namespace orvik::app {
namespace {

constexpr const char* kUpdateLocks[] = {"sleep",    "idle",           "handle-lid-switch",   "shutdown",
                                        "handle-power-key", "handle-suspend-key", "handle-hibernate-key"};
constexpr const char* kStationLocks[] = {"idle"};

struct BusClose {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;

struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// An sd_bus_error freed on every path.
struct BusError {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  BusError() = default;
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  ~BusError() { sd_bus_error_free(&error); }
};

// The inhibitor descriptors; closing them releases the locks.
class InhibitorLocks final : public Held {
 public:
  ~InhibitorLocks() override {
    for (const int fd : m_fds) close(fd);
  }
  void Add(int fd) { m_fds.push_back(fd); }
  bool Empty() const { return m_fds.empty(); }

 private:
  std::vector<int> m_fds;
};

enum class Answer {
  Granted,
  Refused,     // logind (polkit) said no to this set
  NotAnswered, // the call ran into its bound
  Absent,      // nobody to ask: no logind, or no such call
};

struct Outcome {
  Answer answer = Answer::Absent;
  std::string reason;  // Refused, NotAnswered: in the system's words
};

bool IsRefusal(std::string_view name) {
  return name == SD_BUS_ERROR_ACCESS_DENIED || name == SD_BUS_ERROR_INTERACTIVE_AUTHORIZATION_REQUIRED ||
         name == SD_BUS_ERROR_AUTH_FAILED;
}

Outcome Inhibit(sd_bus* bus, const std::string& what, InhibitorLocks& locks) {
  BusError error;
  sd_bus_message* raw = nullptr;
  const int called = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                                        "org.freedesktop.login1.Manager", "Inhibit", &error.error, &raw, "ssss",
                                        what.c_str(), kHoldWho, kHoldWhy, "block");
  const Message reply(raw);
  if (called < 0) {
    const std::string reason = error.error.message != nullptr ? error.error.message : std::strerror(-called);
    if (error.error.name != nullptr && IsRefusal(error.error.name)) return {Answer::Refused, reason};
    if (called == -ETIMEDOUT) return {Answer::NotAnswered, "no answer within " + std::to_string(kSystemCallBoundMs / 1000) + " s"};
    return {Answer::Absent, reason};
  }
  int fd = -1;
  if (sd_bus_message_read(reply.get(), "h", &fd) < 0 || fd < 0) return {Answer::Absent, "no lock in the answer"};
  // The message owns its descriptor: keep a copy of our own.
  const int kept = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (kept < 0) return {Answer::Absent, std::strerror(errno)};
  locks.Add(kept);
  return {Answer::Granted, {}};
}

}  // namespace

std::vector<std::string> SleepLockNames(HoldScope scope) {
  if (scope == HoldScope::Update) return {std::begin(kUpdateLocks), std::end(kUpdateLocks)};
  return {std::begin(kStationLocks), std::end(kStationLocks)};
}

SleepLocks AskForSleepLocks(HoldScope scope) {
  const std::vector<std::string> wanted = SleepLockNames(scope);
  SleepLocks got;

  sd_bus* raw = nullptr;
  // Honours DBUS_SYSTEM_BUS_ADDRESS. Fails at once when there is no bus.
  if (sd_bus_open_system(&raw) < 0) return got;
  const Bus bus(raw);
  sd_bus_set_method_call_timeout(bus.get(), static_cast<std::uint64_t>(kSystemCallBoundMs) * 1000);

  auto locks = std::make_unique<InhibitorLocks>();
  std::string all;
  for (const std::string& name : wanted) all += (all.empty() ? "" : ":") + name;
  const Outcome whole = Inhibit(bus.get(), all, *locks);
  switch (whole.answer) {
    case Answer::Granted:
      got.held = std::move(locks);
      return got;
    case Answer::Absent:
      return got;
    case Answer::NotAnswered:
      got.notHeld = wanted;
      got.reason = whole.reason;
      got.notAnswered = true;
      return got;
    case Answer::Refused:
      break;
  }
  // One at a time: keep whatever is allowed.
  got.reason = whole.reason;
  for (const std::string& name : wanted) {
    const Outcome one = wanted.size() > 1 ? Inhibit(bus.get(), name, *locks) : whole;
    if (one.answer == Answer::Granted) continue;
    got.notHeld.push_back(name);
    if (one.answer == Answer::NotAnswered || one.answer == Answer::Absent) {
      // Asking on would only cost more bounds.
      got.reason = one.reason;
      got.notAnswered = one.answer == Answer::NotAnswered;
      for (const std::string& rest : wanted) {
        if (&rest > &name) got.notHeld.push_back(rest);
      }
      break;
    }
  }
  if (!locks->Empty()) got.held = std::move(locks);
  return got;
}

std::unique_ptr<Held> BlockSessionEnd(HoldWindow /*window*/) { return nullptr; }

}  // namespace orvik::app
