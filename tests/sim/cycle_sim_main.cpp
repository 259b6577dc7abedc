// Runs the request-cycle simulation for many seeds, or replays one with its event log.
//   cycle_sim [--seeds N] [--from K] [--minutes M]   seeds K .. K+N-1 (default 1, 1000)
//   cycle_sim --seed S [--minutes M]                 one seed, its whole log
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/cycle_sim.h"

int main(int argc, char** argv) {
  std::uint32_t from = 1, count = 1000;
  long minutes = 10;
  bool one = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const unsigned long v = std::strtoul(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--seeds")) {
      count = static_cast<std::uint32_t>(v);
    } else if (!std::strcmp(argv[i], "--from")) {
      from = static_cast<std::uint32_t>(v);
    } else if (!std::strcmp(argv[i], "--seed")) {
      from = static_cast<std::uint32_t>(v);
      count = 1;
      one = true;
    } else if (!std::strcmp(argv[i], "--minutes")) {
      minutes = static_cast<long>(v);
    } else {
      std::fprintf(stderr, "usage: cycle_sim [--seeds N] [--from K] [--seed S] [--minutes M]\n");
      return 2;
    }
  }
  const auto start = std::chrono::steady_clock::now();
  std::uint64_t failures = 0, dispatched = 0, replies = 0, noReply = 0;
  double simulatedMs = 0;
  for (std::uint32_t seed = from; seed < from + count; ++seed) {
    ol::testing::SimOptions options{seed, minutes * 60 * 1000, one};
    ol::testing::SimResult r = ol::testing::RunCycleSimulation(options);
    simulatedMs += static_cast<double>(r.simulated);
    dispatched += r.dispatched;
    replies += r.replies;
    noReply += r.noReplyTexts;
    if (one || !r.ok) {
      for (const std::string& line : r.log) std::printf("%s\n", line.c_str());
    }
    if (!r.ok) {
      ++failures;
      std::printf("seed %u FAILED %s\n  swarm: %s\n", seed, r.failure.c_str(), r.swarm.c_str());
    }
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "seeds %u  failed %llu  wall %.1f s  seeds/s %.1f  simulated h per wall s %.2f  "
      "handed to host %llu  replies %llu  no-reply texts %llu\n",
      count, static_cast<unsigned long long>(failures), wall, count / wall,
      simulatedMs / 3.6e6 / wall, static_cast<unsigned long long>(dispatched),
      static_cast<unsigned long long>(replies), static_cast<unsigned long long>(noReply));
  return failures ? 1 : 0;
}
