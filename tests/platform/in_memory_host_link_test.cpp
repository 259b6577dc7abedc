#include "testing/in_memory_host_link.h"

#include <gtest/gtest.h>

#include "core/manual_loop.h"

namespace ol::testing {
namespace {

TEST(InMemoryHostLink, DeliversThroughTheLoopAndRecordsEveryPost) {
  ManualLoop loop;
  InMemoryHostHub hub;
  InMemoryHostLink host(hub, loop, 100), gateway(hub, loop, 200);
  std::vector<HostMessage> got;
  gateway.OnMessage = [&](const HostMessage& m) { got.push_back(m); };

  host.Post(200, 0x500, 0, 16);
  EXPECT_TRUE(got.empty()) << "posted, not sent: nothing arrives inside the call";
  loop.RunPending();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].lparam, 16u);

  host.Post(300, 0x500, 1, 1);  // no such window
  ASSERT_EQ(hub.Posted().size(), 2u);
  EXPECT_TRUE(hub.Posted()[0].delivered);
  EXPECT_EQ(hub.Posted()[0].from, 100u);
  EXPECT_FALSE(hub.Posted()[1].delivered);
  EXPECT_EQ(hub.PostedTo(300).size(), 1u);
}

TEST(InMemoryHostLink, ExistenceFollowsLinksUnlessTheTestSetsIt) {
  ManualLoop loop;
  InMemoryHostHub hub;
  InMemoryHostLink gateway(hub, loop, 200);
  EXPECT_FALSE(gateway.WindowExists(100));
  hub.SetWindowExists(100, true);
  EXPECT_TRUE(gateway.WindowExists(100));
  hub.SetWindowExists(200, false);
  EXPECT_FALSE(gateway.WindowExists(200));

  int calls = 0;
  {
    InMemoryHostLink host(hub, loop, 300);
    host.OnMessage = [&](const HostMessage&) { ++calls; };
    gateway.Post(300, 0x500, 1, 1);
    EXPECT_TRUE(gateway.WindowExists(300));
  }
  EXPECT_FALSE(gateway.WindowExists(300));
  loop.RunPending();
  EXPECT_EQ(calls, 0) << "a link that is gone receives nothing";
}

}  // namespace
}  // namespace ol::testing
