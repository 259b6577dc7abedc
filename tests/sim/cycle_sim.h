#pragma once

// A seeded simulation of the whole request cycle: the gateway without a screen, in virtual
// time, between simulated stations with their handhelds, an in-memory host and an
// operator. Its events are drawn from one table of every input the gateway has (the
// alphabet: each station port's frames and noise, the host's messages and reply files, the
// operator's actions on every screen, the files), each played at once or at a phase of the
// exchange or of a download. The invariants are derived from the wire and the files only
// and checked after every event. The same seed replays the same run.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/event_loop.h"

namespace ol::testing {

struct SimOptions {
  std::uint32_t seed = 1;
  Millis duration = 5 * 60 * 1000;  // of scheduled events; the run then settles
  bool keepLog = false;             // the whole event log, not just its tail on failure
  Millis settle = 30000;            // after the scheduled events: at least two exchanges
  // A schedule given as bytes (a fuzzer's input): each byte plays one letter of the
  // alphabet, and the moment it is played at; the rest comes from the seed. The run ends
  // a settling time after the last byte.
  const std::uint8_t* schedule = nullptr;
  std::size_t scheduleSize = 0;
  // Called at every whole simulated hour, for measurements taken as the run goes on.
  std::function<void(Millis)> everyHour;
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
  std::uint64_t downloads = 0;        // data frames of downloads
  std::uint64_t livenessChecked = 0;  // host replies the handheld had to hear
  // Replies the host meant for an older request it had skipped or answers late, heard by the
  // waiter awaiting one of that kind: naming nobody, or that waiter's handheld, no gateway
  // can tell them apart.
  std::uint64_t unnamedToWaiter = 0;
  // Requests whose packets met other bytes on the line and still passed their checks: the
  // gateway takes what they made, as any would.
  std::uint64_t garbledTaken = 0;
  int maxWaitDepth = 0;                // nested waits at once
  std::string swarm;                   // the letters this run plays, with their weights
  std::vector<std::uint32_t> letters;  // how often each letter of the alphabet was played
};

SimResult RunCycleSimulation(const SimOptions& options);

// The names of the alphabet's letters, in table order.
std::vector<std::string> AlphabetNames();

}  // namespace ol::testing
