#pragma once

#include <cstdint>

#include "core/timer.h"

namespace ol {

// Who may keep the polling timer from running for a while: each holds it for its own work
// and releases only its own hold, so an exchange that ends cannot resume polling in the
// middle of a download that began meanwhile.
enum class PollHolder : std::uint8_t {
  Exchange = 1,        // a handheld's upload, its request with the host, its reply
  Download = 2,        // from the download request until the operator leaves the screen
  ChannelSetting = 4,  // the station's port is lent to the auxiliary port
};

// Polling runs while it is started and nobody holds it. Start and Stop are the switches
// the operator and the stations throw (a channel answer starts it, a refresh stops it);
// a hold lies over them. The timer's enabled state always shows the outcome, and a timer
// switched directly while nothing holds it counts as started or stopped.
class PollingHold {
 public:
  explicit PollingHold(Timer& comTimer) : timer_(comTimer) {}

  void Hold(PollHolder who) {
    if (holders_ == 0) started_ = timer_.Enabled();
    holders_ |= static_cast<std::uint8_t>(who);
    timer_.SetEnabled(false);
  }
  void Release(PollHolder who) {
    if (!Holds(who)) return;
    holders_ &= static_cast<std::uint8_t>(~static_cast<std::uint8_t>(who));
    if (holders_ == 0) timer_.SetEnabled(started_);
  }
  void Start() { Switch(true); }
  void Stop() { Switch(false); }

  bool Holds(PollHolder who) const { return (holders_ & static_cast<std::uint8_t>(who)) != 0; }

 private:
  void Switch(bool on) {
    started_ = on;
    if (holders_ == 0) timer_.SetEnabled(on);
  }

  Timer& timer_;
  std::uint8_t holders_ = 0;
  bool started_ = false;
};

}  // namespace ol
