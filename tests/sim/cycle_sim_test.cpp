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

// A fixed set of seeds, each a five-minute installation playing its own share of the
// alphabet; the invariants are checked inside the run.
TEST(CycleSimulation, FixedSeedsKeepEveryInvariant) {
  SimResult total;
  std::vector<std::uint32_t> letters(AlphabetNames().size(), 0);
  for (std::uint32_t seed = 1; seed <= 60; ++seed) {
    SimOptions options;
    options.seed = seed;
    SimResult r = RunCycleSimulation(options);
    ASSERT_TRUE(r.ok) << Report(seed, r);
    total.dispatched += r.dispatched;
    total.replies += r.replies;
    total.noReplyTexts += r.noReplyTexts;
    total.boxes += r.boxes;
    total.dialogs += r.dialogs;
    total.downloads += r.downloads;
    total.livenessChecked += r.livenessChecked;
    total.unnamedToWaiter += r.unnamedToWaiter;
    for (std::size_t i = 0; i < letters.size(); ++i) letters[i] += r.letters[i];
  }
  // Every input of the alphabet is played, and the runs reach every path they are meant
  // to: replies the handheld had to hear, no-reply texts, boxes, dialogs, downloads.
  const std::vector<std::string> names = AlphabetNames();
  for (std::size_t i = 0; i < letters.size(); ++i) EXPECT_GT(letters[i], 0u) << names[i];
  EXPECT_GT(total.dispatched, 1000u);
  EXPECT_GT(total.livenessChecked, 300u);
  EXPECT_GT(total.noReplyTexts, 50u);
  EXPECT_GT(total.boxes, 50u);
  EXPECT_GT(total.dialogs, 20u);
  EXPECT_GT(total.downloads, 20u);
  // Hosts that skip a request and name only the kind, whose reply the next waiter hears.
  EXPECT_GT(total.unnamedToWaiter, 0u);
}

TEST(CycleSimulation, ASeedAndAScheduleReplayExactly) {
  SimOptions options;
  options.seed = 7;
  options.keepLog = true;
  SimResult a = RunCycleSimulation(options);
  SimResult b = RunCycleSimulation(options);
  EXPECT_EQ(a.log, b.log);
  EXPECT_EQ(a.polls, b.polls);
  const std::uint8_t bytes[] = {0, 26, 25, 47, 200, 13};
  options.schedule = bytes;
  options.scheduleSize = sizeof bytes;
  EXPECT_EQ(RunCycleSimulation(options).log, RunCycleSimulation(options).log);
}

}  // namespace
}  // namespace ol::testing
