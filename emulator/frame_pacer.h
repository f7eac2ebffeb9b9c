// Waits for the due time of an emulated transfer on the steady clock, precise
// enough to keep the emulated device on its 1 ms USB frames. The wait ends
// early when the device goes away. One implementation per platform:
// frame_pacer_linux.cpp, frame_pacer_win32.cpp.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace orvik {

class FramePacer {
 public:
  virtual ~FramePacer() = default;

  // Waits until `due` or until `stop()` is true, whichever comes first, with
  // `lock` held on entry and on return. `changed` is notified (under the
  // lock) whenever `stop()` may have become true. Returns the last value of
  // `stop()`. One waiter at a time.
  virtual bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                         std::chrono::steady_clock::time_point due, const std::function<bool()>& stop) = 0;
};

// This platform's pacer, ready for the life of the device that holds it.
std::unique_ptr<FramePacer> MakeFramePacer();

}  // namespace orvik
