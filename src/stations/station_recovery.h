#pragma once

#include <array>
#include <set>
#include <string>

#include "core/event_loop.h"
#include "core/form_model.h"
#include "core/timer.h"
#include "gateway/link.h"
#include "stations/hooks.h"

namespace ol {

class Port;
class StationSetup;

// A station whose device vanished under its open port (an adapter unplugged): the slot
// is shown as lost (status text, both tree nodes, a notice) and no longer polled, and
// while any slot is lost its port is tried again every kRetryInterval. When the same
// device path opens again the station is asked for its channel, and its answer brings
// the slot back into polling as at start-up; a station that stays silent (its query or
// answer lost on the line, the station still booting) is asked again every interval.
// A serial port that appears while a slot is lost is named in a notice, once: an adapter
// plugged back under another number is found by the operator, not taken by the gateway.
class StationRecovery {
 public:
  static constexpr Millis kRetryInterval = 2000;

  StationRecovery(EventLoop& loop, FormModel& form, Comms& comms, StationSetup& setup,
                  StationHooks& hooks);

  // The device of slot 1..4 went away.
  void LineLost(int slot);
  // A refresh opens every port itself: nothing is lost any more.
  void Forget();
  bool Lost(int slot) const { return slot >= 1 && slot <= 4 && lost_[slot - 1]; }
  // Reopened, and its channel answer not in yet.
  bool Awaiting(int slot) const { return slot >= 1 && slot <= 4 && awaiting_[slot - 1]; }

 private:
  void Retry();
  void NoteNewPorts();
  void Query(int slot, Port& port);
  void SetNodeCaption(int slot, const std::string& caption);
  std::string Describe(int slot);

  FormModel& form_;
  Comms& comms_;
  StationSetup& setup_;
  StationHooks& hooks_;
  Timer retry_;
  std::array<bool, 4> lost_{};
  std::array<bool, 4> awaiting_{};
  // Ports listed since the first loss; the system's ports bound it.
  std::set<std::string> seenPorts_;
};

}  // namespace ol
