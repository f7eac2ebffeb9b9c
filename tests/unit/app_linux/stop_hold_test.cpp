// Stop signals during a hold, in this process: the test's own handler stands
// in for the default action (which would stop the test), so that what the
// hold delivers, and when, can be seen.
#include <pthread.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <cstdlib>
#include <vector>

#include "app/common/interrupt.h"
#include "app/common/update_hold.h"

namespace {

using orvik::app::HoldScope;

std::atomic<int> g_delivered{0};
std::atomic<int> g_deliveries{0};

extern "C" void RecordDelivery(int signal) {
  g_delivered.store(signal);
  g_deliveries.fetch_add(1);
}

TEST(StopHold, AStopDuringAnUpdateWaitsForTheHoldsEndAndComesOnceButAStationBetweenUnitsStops) {
  // No system bus: the hold's sleep lock asks nobody.
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/orvik-no-bus", 1);
  struct sigaction record {};
  record.sa_handler = RecordDelivery;
  sigemptyset(&record.sa_mask);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction before[3];
  sigaction(SIGTSTP, &record, &before[0]);
  sigaction(SIGTTOU, &record, &before[1]);
  // Ignored when the hold begins: stays ignored, never held.
  sigaction(SIGTTIN, &ignore, &before[2]);

  struct Case {
    HoldScope scope;
    bool holdsStops;
  };
  for (const Case c : {Case{HoldScope::Update, true}, Case{HoldScope::Station, false}}) {
    SCOPED_TRACE(c.holdsStops ? "update" : "station");
    g_delivered = 0;
    g_deliveries = 0;
    {
      const orvik::app::UpdateHold hold(c.scope);
      raise(SIGTTIN);
      EXPECT_EQ(orvik::app::HeldStopRequest(), 0);
      raise(SIGTSTP);
      raise(SIGTTOU);
      if (c.holdsStops) {
        EXPECT_EQ(g_deliveries, 0) << "a stop came through the hold";
        EXPECT_EQ(orvik::app::HeldStopRequest(), SIGTSTP);
      } else {
        EXPECT_EQ(g_deliveries, 2);
      }
    }
    if (c.holdsStops) {
      EXPECT_EQ(g_delivered, SIGTSTP);
      EXPECT_EQ(g_deliveries, 1);
      EXPECT_EQ(orvik::app::HeldStopRequest(), 0);
    }
    // The dispositions from before the hold are back.
    struct sigaction now {};
    sigaction(SIGTTOU, nullptr, &now);
    EXPECT_EQ(now.sa_handler, RecordDelivery);
    sigaction(SIGTTIN, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
  }
  sigaction(SIGTSTP, &before[0], nullptr);
  sigaction(SIGTTOU, &before[1], nullptr);
  sigaction(SIGTTIN, &before[2], nullptr);
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST(StopHold, StopsSentWhileHoldsComeAndGoNeverLeaveAStopSignalIgnored) {
  // A handler that set the dispositions itself could overwrite one that a
  // release had just put back, and every later hold would then take the stop
  // signal for one the program was started with ignored: Ctrl+Z lost for good.
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/orvik-no-bus", 1);
  struct sigaction record {};
  record.sa_handler = RecordDelivery;
  sigemptyset(&record.sa_mask);
  struct sigaction before[3];
  sigaction(SIGTSTP, &record, &before[0]);
  sigaction(SIGTTOU, &record, &before[1]);
  sigaction(SIGTTIN, &record, &before[2]);

  constexpr int kIterations = 4000;
  const pthread_t holder = pthread_self();
  std::atomic<bool> done{false};
  std::thread sender([&] {
    while (!done.load()) {
      pthread_kill(holder, SIGTTOU);
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < kIterations; ++i) {
    const orvik::app::UpdateHold hold(HoldScope::Update);
  }
  done = true;
  sender.join();

  for (const int stop : {SIGTSTP, SIGTTOU, SIGTTIN}) {
    struct sigaction now {};
    sigaction(stop, nullptr, &now);
    EXPECT_EQ(now.sa_handler, RecordDelivery) << "signal " << stop;
  }
  // And Ctrl+Z, held by one more update, acts at its end.
  g_deliveries = 0;
  {
    const orvik::app::UpdateHold hold(HoldScope::Update);
    raise(SIGTSTP);
    EXPECT_EQ(g_deliveries, 0);
  }
  EXPECT_EQ(g_deliveries, 1);
  EXPECT_EQ(g_delivered, SIGTSTP);
  sigset_t blocked;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  EXPECT_EQ(sigismember(&blocked, SIGTSTP), 0) << "the main thread kept the stops masked";
  sigaction(SIGTSTP, &before[0], nullptr);
  sigaction(SIGTTOU, &before[1], nullptr);
  sigaction(SIGTTIN, &before[2], nullptr);
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

}  // namespace
