// Linux: a condition-variable wait on the steady clock ends within tens of
// microseconds of its time (pthread_cond_clockwait on CLOCK_MONOTONIC), so it
// keeps the 1 ms frames as it is and an unplug wakes it at once.
#include "emulator/frame_pacer.h"

namespace orvik {
namespace {

class ConditionPacer final : public FramePacer {
 public:
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                 std::chrono::steady_clock::time_point due, const std::function<bool()>& stop) override {
    return changed.wait_until(lock, due, stop);
  }
};

}  // namespace

std::unique_ptr<FramePacer> MakeFramePacer() { return std::make_unique<ConditionPacer>(); }

}  // namespace orvik
