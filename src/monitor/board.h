#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/event_loop.h"
#include "core/form_model.h"
#include "gateway/link.h"
#include "gateway/traffic.h"

namespace ol {

// What the board knows of one handheld, counted for the day.
struct HandheldStats {
  enum class State { Idle, Exchange, Downloading, Silent };
  State state = State::Idle;
  int lastKind = -1;  // the last request handed to the host
  std::string lastTime;
  std::uint64_t requests = 0;    // handed to the host
  std::uint64_t badPackets = 0;  // failed their check
  std::uint64_t resends = 0;     // reply frames sent again
  std::uint64_t confirmed = 0;   // replies the handheld confirmed
  std::uint64_t noReply = 0;     // no-reply texts sent to it
  Millis toHost = -1;            // request-pending answer to hand-over, last request
  Millis toHandheld = -1;        // hand-over to the host's reply on the radio, last request
  // Exchanges in a row that ended without the host's reply confirmed, and why the last
  // one failed.
  int failures = 0;
  std::string failure;

  // Moments of the exchange under way (monotonic), -1 when not reached.
  Millis pendingAt = -1;
  Millis handedAt = -1;
  bool failedThisExchange = false;
  bool hostReplyOut = false;
};

struct StationStats {
  std::uint64_t framesIn = 0;
  std::uint64_t lineErrors = 0;  // packets failing their check, unreadable data, lost lines
  bool lost = false;             // its line went away and no channel answer came since
};

// One row of the board as shown: its cells, and why it stands out (empty: it does not).
struct BoardRow {
  std::vector<std::string> cells;
  std::string alert;
};

// The handheld board: one row per registered handheld and one per station, from the
// gateway's events. A handheld's counts start afresh each day; a station's count from the
// program's start, like the frames sent that the ports count.
class Board {
 public:
  // Exchanges in a row that fail before a handheld's row stands out.
  static constexpr int kAlertAfter = 3;

  // e's station is known (the monitor fills it from the slot when the event lacks it).
  void Apply(const TrafficEvent& e, Millis now, const std::string& time);
  void NewDay();

  static const std::vector<std::string>& HandheldColumns();
  static const std::vector<std::string>& StationColumns();
  // Rows for the registered handhelds of the loaded slots, in slot and list order.
  std::vector<BoardRow> HandheldRows(FormModel& form) const;
  std::vector<BoardRow> StationRows(FormModel& form, const Comms& comms) const;

  const HandheldStats* Find(int station, int handheld) const;
  const StationStats& Station(int slot) const { return stations_.at(slot); }
  std::uint64_t TotalRequests() const;

 private:
  void Fail(HandheldStats& h, const char* why);

  std::map<std::pair<int, int>, HandheldStats> handhelds_;  // by station ID, handheld
  std::array<StationStats, 5> stations_{};                  // by slot
};

}  // namespace ol
