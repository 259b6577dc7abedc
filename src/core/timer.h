#pragma once

#include <functional>

#include "core/event_loop.h"

namespace ol {

// A window timer with the semantics the logic was written for: enabling a running timer
// does not restart it, disabling and enabling does, and a new interval on a running timer
// restarts it. An interval of 0 never ticks.
class Timer {
 public:
  explicit Timer(EventLoop& loop, Millis interval = 1000);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  Millis Interval() const { return interval_; }
  void SetInterval(Millis interval);

  // True while the timer is actually scheduled (enabled with a positive interval).
  bool Running() const { return id_ != 0; }

  std::function<void()> OnTimer;

 private:
  void Schedule();
  void Unschedule();

  EventLoop& loop_;
  Millis interval_;
  bool enabled_ = false;
  EventLoop::TimerId id_ = 0;
};

}  // namespace ol
