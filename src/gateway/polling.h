#pragma once

#include <array>
#include <string>

#include "gateway/context.h"

namespace ol {

// The polling cycle: ComTimer, the poll frame, the connected-station list with its
// cursor, the per-slot poll cursors, the poll-reply flag and the current poll address.
class Polling {
 public:
  static constexpr Millis kInterval = 70;

  Polling(GatewayEnv& env, GatewayPeers& peers);

  void ComTimerTimer();
  void PollStation(int slot);

  // Connected-station list: slots in the order they answered, each listed once.
  void AddConnectedStation(int slot);
  void ClearConnectedStations();
  int ConnectedCount() const { return count_; }
  int ConnectedAt(int pos1) const { return pos1 >= 1 && pos1 <= 4 ? connected_[pos1 - 1] : 0; }

  void ResetPollCursors() { pollCursor_.fill(0); }
  int PollCursor(int slot) const { return slot >= 1 && slot <= 4 ? pollCursor_[slot - 1] : 0; }

  bool PollReplyFlag() const { return pollReply_; }
  void ClearPollReply() { pollReply_ = false; }

  // Current poll address: station and handheld, two hex digits each.
  const std::string& PollStationHex() const { return station_; }
  const std::string& PollHandheldHex() const { return handheld_; }
  void SetPollAddress(std::string station, std::string handheld);
  void ClearPollAddress();
  // The slot this tick's poll frame went out on; 0 when the tick polled nobody.
  int PolledSlot() const { return polledSlot_; }

 private:
  GatewayEnv& env_;
  GatewayPeers& peers_;
  Timer& comTimer_;
  std::array<int, 4> connected_{};
  int count_ = 0;
  int cursor_ = 1;
  std::array<int, 4> pollCursor_{};
  bool pollReply_ = false;
  int polledSlot_ = 0;
  std::string station_;
  std::string handheld_;
};

}  // namespace ol
