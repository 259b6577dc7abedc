#pragma once

#include <cstdint>

namespace ol {

// Transition and error counters of a serial line, as the driver keeps them.
struct LineCounters {
  std::uint64_t dcd = 0;  // carrier-detect transitions
  std::uint64_t rng = 0;  // ring-indicator transitions
  std::uint64_t frame = 0;
  std::uint64_t parity = 0;
  std::uint64_t overrun = 0;
  std::uint64_t brk = 0;
  std::uint64_t bufOverrun = 0;
};

struct LineChange {
  std::uint32_t eventMask = 0;   // EV_RLSD, EV_RING, EV_ERR
  std::uint32_t errorFlags = 0;  // CE_* for the errors counted in between
};

// What happened on the line between two readings of the counters, restricted to the
// watched events. Error flags are reported even when EV_ERR is not watched, so that
// they can still be read and cleared later.
LineChange DiffLineCounters(const LineCounters& before, const LineCounters& after,
                            std::uint32_t watched);

}  // namespace ol
