// The live stream's fan-out: bounded streams, bounded queues, a slow browser
// dropped without holding up the others.
#include <gtest/gtest.h>

#include "line/event_hub.h"

namespace orvik::line {
namespace {

using std::chrono::milliseconds;

TEST(EventHub, RefusesTheStreamBeyondItsBoundAndTakesOneWhenAPlaceIsFree) {
  EventHub hub(kMaxStreams);
  std::vector<std::shared_ptr<StreamClient>> clients;
  for (std::size_t i = 0; i < kMaxStreams; ++i) {
    clients.push_back(hub.Join());
    ASSERT_TRUE(clients.back());
  }
  EXPECT_FALSE(hub.Join());
  hub.Leave(clients.front());
  EXPECT_TRUE(hub.Join());
}

TEST(EventHub, ASlowStreamIsDroppedWhileTheOthersGetEveryEvent) {
  EventHub hub(4, 8);
  auto slow = hub.Join();
  auto fast = hub.Join();
  std::vector<std::string> events, received;
  for (int i = 0; i < 20; ++i) {
    hub.Publish("event " + std::to_string(i));
    // The fast one reads as events come; the slow one never does.
    ASSERT_EQ(fast->Next(milliseconds(0), events), StreamClient::Status::Events);
    received.insert(received.end(), events.begin(), events.end());
  }
  EXPECT_EQ(received.size(), 20u);
  EXPECT_EQ(received.back(), "event 19");
  EXPECT_EQ(slow->Next(milliseconds(0), events), StreamClient::Status::Closed);
  EXPECT_EQ(hub.Streams(), 1u);
  EXPECT_EQ(hub.Dropped(), 1u);
}

TEST(EventHub, AQuietStreamIsIdleAndShutdownEndsIt) {
  EventHub hub;
  auto client = hub.Join();
  std::vector<std::string> events;
  EXPECT_EQ(client->Next(milliseconds(1), events), StreamClient::Status::Idle);
  hub.Shutdown();
  EXPECT_EQ(client->Next(milliseconds(1000), events), StreamClient::Status::Closed);
  EXPECT_FALSE(hub.Join());
}

}  // namespace
}  // namespace orvik::line
