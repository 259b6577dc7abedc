// Runs the request-cycle simulation for many seeds, or replays one with its event log.
//   cycle_sim [--seeds N] [--seed S] [--minutes M]   seeds S .. S+N-1 (default 1, 1000);
//                                                    exits 1 when any seed fails
//   cycle_sim --seed S [--minutes M]                 one seed, its whole log
//   cycle_sim --input FILE [--seed S]                a cycle_fuzz input, its whole log
//   cycle_sim ... --heap-dumps H1,H2,...             a heap profile at those simulated hours
//                                                    (needs HEAPPROFILE and tcmalloc preloaded)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/cycle_sim.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace {

// The heap profiler is looked up when the run starts, so that the ordinary build needs no
// profiler and a preloaded one is used when there is one.
using HeapDump = void (*)(const char*);

HeapDump FindHeapDump() {
#ifdef _WIN32
  return nullptr;
#else
  using Running = int (*)();
  const auto running = reinterpret_cast<Running>(dlsym(RTLD_DEFAULT, "IsHeapProfilerRunning"));
  if (!running || !running()) return nullptr;
  return reinterpret_cast<HeapDump>(dlsym(RTLD_DEFAULT, "HeapProfilerDump"));
#endif
}

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t from = 1, count = 1000;
  long minutes = 5;
  bool seedGiven = false, countGiven = false;
  const char* input = nullptr;
  std::vector<long> dumpHours;
  for (int i = 1; i + 1 < argc; i += 2) {
    const unsigned long v = std::strtoul(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--seeds")) {
      count = static_cast<std::uint32_t>(v);
      countGiven = true;
    } else if (!std::strcmp(argv[i], "--from") || !std::strcmp(argv[i], "--seed")) {
      from = static_cast<std::uint32_t>(v);
      seedGiven = seedGiven || !std::strcmp(argv[i], "--seed");
    } else if (!std::strcmp(argv[i], "--minutes")) {
      minutes = static_cast<long>(v);
    } else if (!std::strcmp(argv[i], "--input")) {
      input = argv[i + 1];
    } else if (!std::strcmp(argv[i], "--heap-dumps")) {
      char* p = argv[i + 1];
      do {
        dumpHours.push_back(std::strtol(p, &p, 10));
      } while (*p == ',' && *++p);
      if (*p || dumpHours.empty()) {
        std::fprintf(stderr, "--heap-dumps wants hours like 24,720\n");
        return 2;
      }
    } else {
      std::fprintf(stderr,
                   "usage: cycle_sim [--seeds N] [--seed S] [--minutes M] [--input FILE] "
                   "[--heap-dumps H1,H2,...]\n");
      return 2;
    }
  }
  if (argc % 2 == 0) {
    std::fprintf(stderr,
                 "usage: cycle_sim [--seeds N] [--seed S] [--minutes M] [--input FILE] "
                 "[--heap-dumps H1,H2,...]\n");
    return 2;
  }
  std::string bytes;
  if (input) {
    std::ifstream in(input, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", input);
      return 2;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  const bool one = input || (seedGiven && !countGiven);
  if (one) count = 1;
  HeapDump heapDump = nullptr;
  if (!dumpHours.empty()) {
    heapDump = FindHeapDump();
    if (!heapDump) {
      std::fprintf(stderr,
                   "--heap-dumps: no heap profiler is running (preload libtcmalloc.so and set "
                   "HEAPPROFILE)\n");
      return 2;
    }
  }
  const auto start = std::chrono::steady_clock::now();
  std::uint64_t failures = 0, dispatched = 0, replies = 0, noReply = 0, live = 0, data = 0,
                unnamed = 0;
  double simulatedMs = 0;
  for (std::uint32_t seed = from; seed < from + count; ++seed) {
    ol::testing::SimOptions options;
    options.seed = seed;
    options.duration = minutes * 60 * 1000;
    options.keepLog = one;
    if (heapDump) {
      options.everyHour = [&](ol::Millis now) {
        const long hour = static_cast<long>(now / (3600 * 1000));
        for (long h : dumpHours) {
          if (h != hour) continue;
          // The reason names the hour in the profiler's own line, which tells the files apart.
          const std::string reason = "seed " + std::to_string(seed) + " hour " + std::to_string(h);
          heapDump(reason.c_str());
        }
      };
    }
    if (input) {
      options.schedule = reinterpret_cast<const std::uint8_t*>(bytes.data());
      options.scheduleSize = bytes.size();
      options.duration = 60 * 1000;
      options.settle = 15000;
    }
    ol::testing::SimResult r = ol::testing::RunCycleSimulation(options);
    simulatedMs += static_cast<double>(r.simulated);
    dispatched += r.dispatched;
    replies += r.replies;
    noReply += r.noReplyTexts;
    live += r.livenessChecked;
    data += r.downloads;
    unnamed += r.unnamedToWaiter;
    if (one || !r.ok) {
      for (const std::string& line : r.log) std::printf("%s\n", line.c_str());
    }
    if (!r.ok) {
      ++failures;
      std::printf("seed %u FAILED %s\n  letters: %s\n", seed, r.failure.c_str(), r.swarm.c_str());
    }
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "seeds %u  failed %llu  wall %.1f s  seeds/s %.1f  simulated h per wall s %.2f  "
      "handed to host %llu  replies %llu  no-reply texts %llu  replies owed to a handheld %llu  "
      "download frames %llu  replies meant for an older request, heard by the waiter of "
      "that kind %llu\n",
      count, static_cast<unsigned long long>(failures), wall, count / wall,
      simulatedMs / 3.6e6 / wall, static_cast<unsigned long long>(dispatched),
      static_cast<unsigned long long>(replies), static_cast<unsigned long long>(noReply),
      static_cast<unsigned long long>(live), static_cast<unsigned long long>(data),
      static_cast<unsigned long long>(unnamed));
  return failures ? 1 : 0;
}
