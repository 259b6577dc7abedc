#include "serial/line_events.h"

#include "serial/serial_device.h"

namespace ol {

LineChange DiffLineCounters(const LineCounters& before, const LineCounters& after,
                            std::uint32_t watched) {
  LineChange change;
  // Counters only grow; a driver that reset them (reopened device) counts as no change.
  auto moved = [](std::uint64_t a, std::uint64_t b) { return b > a; };
  if (moved(before.dcd, after.dcd)) change.eventMask |= EV_RLSD;
  if (moved(before.rng, after.rng)) change.eventMask |= EV_RING;
  if (moved(before.bufOverrun, after.bufOverrun)) change.errorFlags |= CE_RXOVER;
  if (moved(before.overrun, after.overrun)) change.errorFlags |= CE_OVERRUN;
  if (moved(before.parity, after.parity)) change.errorFlags |= CE_RXPARITY;
  if (moved(before.frame, after.frame)) change.errorFlags |= CE_FRAME;
  if (moved(before.brk, after.brk)) change.errorFlags |= CE_BREAK;
  if (change.errorFlags != 0) change.eventMask |= EV_ERR;
  change.eventMask &= watched;
  return change;
}

}  // namespace ol
