// The seeded simulation of the whole request cycle with its schedule read from the input:
// which fault kinds are on, the installation, every request, host answer, dialog, radio
// fault and operator action. Coverage steers the choices toward paths a random draw rarely
// takes; every invariant of the simulation is checked after every event.
#include <cstdio>
#include <cstdlib>

#include "sim/cycle_sim.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ol::testing::SimOptions options;
  options.duration = 60 * 1000;
  options.settle = 35000;
  options.schedule = data;
  options.scheduleSize = size;
  const ol::testing::SimResult r = ol::testing::RunCycleSimulation(options);
  if (!r.ok) {
    for (const std::string& line : r.log) std::fprintf(stderr, "%s\n", line.c_str());
    std::fprintf(stderr, "property failed: %s\nswarm: %s\n", r.failure.c_str(), r.swarm.c_str());
    std::abort();
  }
  return 0;
}
