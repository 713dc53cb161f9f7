// The hub's promises to the session and to each page: a full queue loses
// its oldest events (never blocks), the snapshot a page starts from joins
// its queue without a gap, and the number of pages is bounded.
#include "host/web/EventHub.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace tether_host {
namespace {

LiveEvent Capture(int n) { return {"capture", "\"id\":" + std::to_string(n), LiveEvent::Keep::kHistory}; }
LiveEvent Camera(const std::string& model) {
  return {"camera", "\"model\":\"" + model + "\"", LiveEvent::Keep::kLatest};
}

std::vector<std::string> Drain(Subscription* s) {
  std::vector<std::shared_ptr<const std::string>> events;
  EXPECT_TRUE(s->next(&events, 0));
  std::vector<std::string> texts;
  for (const auto& e : events) texts.push_back(*e);
  return texts;
}

TEST(EventHubTest, FullQueueLosesItsOldestEventsAndCountsThem) {
  EventHub hub(3, 4);
  std::unique_ptr<Subscription> slow = hub.subscribe();
  for (int i = 1; i <= 5; ++i) hub.publish(Capture(i));
  EXPECT_EQ(Drain(slow.get()), (std::vector<std::string>{
                                   "{\"seq\":3,\"type\":\"capture\",\"id\":3}",
                                   "{\"seq\":4,\"type\":\"capture\",\"id\":4}",
                                   "{\"seq\":5,\"type\":\"capture\",\"id\":5}"}));
  EXPECT_EQ(slow->dropped(), 2u);
}

TEST(EventHubTest, SnapshotKeepsTheLatestCameraAndEveryCaptureAndJoinsTheQueue) {
  EventHub hub(8, 4);
  hub.publish(Camera("A"));
  hub.publish(Capture(1));
  hub.publish(Camera("B"));
  std::unique_ptr<Subscription> late = hub.subscribe();
  EXPECT_EQ(late->snapshot(),
            "{\"seq\":3,\"type\":\"snapshot\",\"events\":["
            "{\"seq\":3,\"type\":\"camera\",\"model\":\"B\"},"
            "{\"seq\":2,\"type\":\"capture\",\"id\":1}]}");
  EXPECT_EQ(hub.snapshot(), late->snapshot());
  hub.publish(Capture(2));
  EXPECT_EQ(Drain(late.get()),
            std::vector<std::string>{"{\"seq\":4,\"type\":\"capture\",\"id\":2}"});
}

TEST(EventHubTest, BoundsThePagesAndReleasesThemOnCloseAndLeave) {
  EventHub hub(8, 2);
  std::unique_ptr<Subscription> first = hub.subscribe();
  std::unique_ptr<Subscription> second = hub.subscribe();
  EXPECT_EQ(hub.subscribe(), nullptr);
  first.reset();
  EXPECT_EQ(hub.clientCount(), 1u);
  first = hub.subscribe();
  ASSERT_NE(first, nullptr);
  hub.close();
  std::vector<std::shared_ptr<const std::string>> events;
  EXPECT_FALSE(first->next(&events, 60000));  // returns at once: the hub is closed
  EXPECT_EQ(hub.subscribe(), nullptr);
}

}  // namespace
}  // namespace tether_host
