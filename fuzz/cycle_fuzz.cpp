// The seeded simulation of the whole request cycle with its letters read from the input:
// each byte plays one input of the gateway (a frame, noise, a host's reply or message, an
// operator's action, a file's trouble) at once or at a phase of the exchange, so that even
// a short input meets exchanges in every phase. Every invariant of the simulation is
// checked after every event; cycle_sim --input FILE replays an input with its log.
#include <cstdio>
#include <cstdlib>

#include "sim/cycle_sim.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ol::testing::SimOptions options;
  // Half a minute of letters meets exchanges in every phase; longer inputs only cost each
  // run time the search could spend on new ones (the seeded runs cover days).
  options.duration = 30 * 1000;
  options.settle = 15000;
  options.schedule = data;
  options.scheduleSize = size;
  const ol::testing::SimResult r = ol::testing::RunCycleSimulation(options);
  if (!r.ok) {
    for (const std::string& line : r.log) std::fprintf(stderr, "%s\n", line.c_str());
    std::fprintf(stderr, "property failed: %s\n", r.failure.c_str());
    std::abort();
  }
  return 0;
}

// Every allocation records its stack for AddressSanitizer's reports; a few frames say
// enough here, and the full depth costs each input a tenth of its time. A run frees far
// more memory than it keeps: a smaller quarantine reuses warm memory instead of
// faulting in fresh pages, and filling every new block only costs time (a use after free
// within the last 16 MB freed is still caught).
extern "C" const char* __asan_default_options() {
  return "malloc_context_size=4:quarantine_size_mb=16:max_malloc_fill_size=0";
}
