// Runs the request-cycle simulation for many seeds, or replays one with its event log.
//   cycle_sim [--seeds N] [--seed S] [--minutes M]   seeds S .. S+N-1 (default 1, 1000);
//                                                    exits 1 when any seed fails
//   cycle_sim --seed S [--minutes M]                 one seed, its whole log
//   cycle_sim --input FILE [--seed S]                a cycle_fuzz input, its whole log
//   cycle_sim ... --heap-dumps H1,H2,...             the live heap at those simulated hours
//                                                    (through scripts/sim-memory); exits 2
//                                                    when it cannot be taken
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

// The allocator's control call (jemalloc's), looked up when the run starts so that the
// ordinary build needs no profiler: scripts/sim-memory preloads jemalloc.
using MallCtl = int (*)(const char*, void*, std::size_t*, void*, std::size_t);

MallCtl FindMallCtl() {
#ifdef _WIN32
  return nullptr;
#else
  return reinterpret_cast<MallCtl>(dlsym(RTLD_DEFAULT, "mallctl"));
#endif
}

bool Profiling(MallCtl ctl) {
  bool on = false;
  std::size_t size = sizeof on;
  return ctl("opt.prof", &on, &size, nullptr, 0) == 0 && on;
}

// With profiling on, the sampled live heap with its stacks, in PREFIX.LABEL.heap (PREFIX
// is jemalloc's prof_prefix). Without it, the allocator's exact count of live bytes, which
// profiling would inflate: every sampled allocation takes a page of its own.
bool HeapDump(MallCtl ctl, bool profiling, const std::string& label) {
  if (profiling) {
    const char* prefix = nullptr;
    std::size_t size = sizeof prefix;
    if (ctl("opt.prof_prefix", &prefix, &size, nullptr, 0) != 0 || !prefix) return false;
    const std::string file = std::string(prefix) + "." + label + ".heap";
    const char* name = file.c_str();
    if (ctl("prof.dump", nullptr, nullptr, &name, sizeof name) != 0) return false;
    std::fprintf(stderr, "heap %s: profile %s\n", label.c_str(), file.c_str());
    return true;
  }
  std::uint64_t epoch = 1;  // refreshes the counts
  std::size_t size = sizeof epoch;
  std::size_t allocated = 0;
  if (ctl("epoch", &epoch, &size, &epoch, size) != 0) return false;
  size = sizeof allocated;
  if (ctl("stats.allocated", &allocated, &size, nullptr, 0) != 0) return false;
  std::fprintf(stderr, "heap %s: %zu bytes allocated\n", label.c_str(), allocated);
  return true;
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
  MallCtl mallCtl = nullptr;
  bool profiling = false, dumpFailed = false;
  if (!dumpHours.empty()) {
    mallCtl = FindMallCtl();
    if (!mallCtl) {
      std::fprintf(stderr,
                   "--heap-dumps: the allocator is not jemalloc (no mallctl): run it through "
                   "scripts/sim-memory\n");
      return 2;
    }
    profiling = Profiling(mallCtl);
  }
  const auto start = std::chrono::steady_clock::now();
  std::uint64_t failures = 0, dispatched = 0, replies = 0, noReply = 0, live = 0, data = 0,
                unnamed = 0, garbled = 0;
  double simulatedMs = 0;
  for (std::uint32_t seed = from; seed < from + count; ++seed) {
    ol::testing::SimOptions options;
    options.seed = seed;
    options.duration = minutes * 60 * 1000;
    options.keepLog = one;
    if (mallCtl) {
      options.everyHour = [&](ol::Millis now) {
        const long hour = static_cast<long>(now / (3600 * 1000));
        for (long h : dumpHours) {
          if (h != hour) continue;
          const std::string label = "s" + std::to_string(seed) + "-h" + std::to_string(h);
          if (!HeapDump(mallCtl, profiling, label)) {
            std::fprintf(stderr, "heap %s: not taken\n", label.c_str());
            dumpFailed = true;
          }
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
    garbled += r.garbledTaken;
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
      "that kind %llu  requests garbled on the line that still passed their checks %llu\n",
      count, static_cast<unsigned long long>(failures), wall, count / wall,
      simulatedMs / 3.6e6 / wall, static_cast<unsigned long long>(dispatched),
      static_cast<unsigned long long>(replies), static_cast<unsigned long long>(noReply),
      static_cast<unsigned long long>(live), static_cast<unsigned long long>(data),
      static_cast<unsigned long long>(unnamed), static_cast<unsigned long long>(garbled));
  if (dumpFailed) return 2;
  return failures ? 1 : 0;
}
