#include "core/timer.h"

namespace ol {

Timer::Timer(EventLoop& loop, Millis interval) : loop_(loop), interval_(interval) {}

Timer::~Timer() {
  Unschedule();
}

void Timer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (enabled_)
    Schedule();
  else
    Unschedule();
}

void Timer::SetInterval(Millis interval) {
  if (interval == interval_) return;
  interval_ = interval;
  if (enabled_) {
    Unschedule();
    Schedule();
  }
}

void Timer::Schedule() {
  if (interval_ <= 0) return;
  id_ = loop_.StartTimer(interval_, [this] {
    if (OnTimer) OnTimer();
  });
}

void Timer::Unschedule() {
  if (id_ == 0) return;
  loop_.StopTimer(id_);
  id_ = 0;
}

}  // namespace ol
