#include <gtest/gtest.h>

#include "sim/cycle_sim.h"

namespace ol::testing {
namespace {

std::string Report(std::uint32_t seed, const SimResult& r) {
  std::string out = "seed " + std::to_string(seed) + " " + r.failure +
                    "\nreplay: cycle_sim --seed " + std::to_string(seed) + "\n";
  for (const std::string& line : r.log) out += line + "\n";
  return out;
}

// A fixed set of seeds, each a ten-minute installation with its own mix of fault kinds;
// the invariants are checked inside the run.
TEST(CycleSimulation, FixedSeedsKeepEveryInvariant) {
  SimResult total;
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    SimResult r = RunCycleSimulation({seed});
    ASSERT_TRUE(r.ok) << Report(seed, r);
    total.dispatched += r.dispatched;
    total.replies += r.replies;
    total.noReplyTexts += r.noReplyTexts;
    total.boxes += r.boxes;
    total.journalFailures += r.journalFailures;
    total.dialogs += r.dialogs;
  }
  // The schedules reach every path they are meant to: replies, no-reply texts and boxes.
  EXPECT_GT(total.dispatched, 1000u);
  EXPECT_GT(total.replies, 1000u);
  EXPECT_GT(total.noReplyTexts, 50u);
  EXPECT_GT(total.boxes, 50u);
  EXPECT_GT(total.journalFailures, 10u);
  EXPECT_GT(total.dialogs, 20u);
}

TEST(CycleSimulation, ASeedReplaysExactly) {
  SimOptions options{7};
  options.keepLog = true;
  SimResult a = RunCycleSimulation(options);
  SimResult b = RunCycleSimulation(options);
  EXPECT_EQ(a.log, b.log);
  EXPECT_EQ(a.polls, b.polls);
}

}  // namespace
}  // namespace ol::testing
