// The platform's pacer: a wait never ends before its time, and a device that
// goes away ends it long before.
#include "emulator/frame_pacer.h"

#include <gtest/gtest.h>

#include <thread>

namespace orvik {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(FramePacer, WaitsUntilEachDueTimeAndNoLess) {
  const auto pacer = MakeFramePacer();
  std::mutex mutex;
  std::condition_variable changed;
  std::unique_lock lock(mutex);
  // Frame-sized waits, one after another, as an update makes them.
  for (int i = 0; i < 20; ++i) {
    const Clock::time_point due = Clock::now() + 1ms;
    EXPECT_FALSE(pacer->WaitUntil(lock, changed, due, [] { return false; }));
    EXPECT_GE(Clock::now(), due);
    EXPECT_TRUE(lock.owns_lock());
  }
  // A time already past returns at once.
  EXPECT_FALSE(pacer->WaitUntil(lock, changed, Clock::now() - 1s, [] { return false; }));
}

TEST(FramePacer, AStopEndsAFarWaitAndIsReported) {
  const auto pacer = MakeFramePacer();
  std::mutex mutex;
  std::condition_variable changed;
  bool gone = false;
  std::thread unplug([&] {
    std::this_thread::sleep_for(20ms);
    std::lock_guard lock(mutex);
    gone = true;
    changed.notify_all();
  });
  std::unique_lock lock(mutex);
  const Clock::time_point start = Clock::now();
  EXPECT_TRUE(pacer->WaitUntil(lock, changed, start + 60s, [&] { return gone; }));
  EXPECT_LT(Clock::now() - start, 30s) << "the wait ran to its time";
  EXPECT_TRUE(lock.owns_lock());
  lock.unlock();
  unplug.join();
  // Already stopped: no wait at all.
  lock.lock();
  EXPECT_TRUE(pacer->WaitUntil(lock, changed, Clock::now() + 60s, [&] { return gone; }));
}

}  // namespace
}  // namespace orvik
