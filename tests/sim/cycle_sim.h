#pragma once

// A seeded simulation of the whole request cycle: the gateway without a screen, in virtual
// time, between simulated stations with their handhelds and an in-memory host. Each seed
// draws its own installation and schedule (requests, radio faults, host delays, channel
// answers, operator screens and saves, message boxes, unplugged ports) and the run checks
// the cycle's invariants after every event. The same seed replays the same run.

#include <cstdint>
#include <string>
#include <vector>

#include "core/event_loop.h"

namespace ol::testing {

struct SimOptions {
  std::uint32_t seed = 1;
  Millis duration = 10 * 60 * 1000;  // of scheduled events; the run then settles
  bool keepLog = false;              // the whole event log, not just its tail on failure
  Millis settle = 40000;             // after the scheduled events: at least two exchanges
  // A schedule given as bytes (a fuzzer's input): every choice of the run is read from
  // them while they last, then from the seed's generator, and no new event is scheduled.
  const std::uint8_t* schedule = nullptr;
  std::size_t scheduleSize = 0;
};

struct SimResult {
  bool ok = true;
  std::string failure;           // the broken invariant, with the time it broke
  std::vector<std::string> log;  // events, the last ones on failure or all with keepLog
  Millis simulated = 0;          // virtual milliseconds run
  std::uint64_t requestsQueued = 0;
  std::uint64_t dispatched = 0;    // requests handed to the host
  std::uint64_t replies = 0;       // reply frames the gateway sent with a host's reply
  std::uint64_t noReplyTexts = 0;  // reply frames with a text of the gateway's own
  std::uint64_t polls = 0;
  std::uint64_t boxes = 0;
  std::uint64_t journalFailures = 0;  // reported by the monitor
  std::uint64_t dialogs = 0;          // the operator's nested loops
  int maxWaitDepth = 0;               // nested waits at once
  std::string swarm;                  // the fault kinds this run switched on
};

SimResult RunCycleSimulation(const SimOptions& options);

}  // namespace ol::testing
