#pragma once

#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>

#include "core/event_loop.h"
#include "core/timer_queue.h"

namespace ol {

// A real-time event loop without a windowing toolkit: the loop of the command-line tools
// and of tests that run real threads. The thread that calls Run/RunFor/RunUntil is the
// loop's thread.
class RealLoop : public EventLoop {
 public:
  RealLoop();

  Millis Now() const override;
  std::chrono::system_clock::time_point WallClock() const override;
  TimerId StartTimer(Millis interval, std::function<void()> tick) override;
  void StopTimer(TimerId id) override;
  void Post(std::function<void()> task) override;

  // Processes events until Quit is called.
  void Run();
  void Quit();
  // Processes events for ms milliseconds.
  void RunFor(Millis ms) { Wait(ms); }
  // Processes events until pred() holds (checked after every event) or ms have passed.
  bool RunUntil(const std::function<bool()>& pred, Millis ms);

 protected:
  void Wait(Millis ms) override;

 private:
  // Runs one due item, or sleeps until the next one (at most until deadline). Returns
  // false when the deadline has passed.
  bool Step(Millis deadline);
  Millis DeadlineAfter(Millis ms) const;

  static constexpr Millis kForever = std::numeric_limits<Millis>::max();
  static constexpr Millis kLongestSleep = Millis{24} * 60 * 60 * 1000;

  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> posted_;
  TimerQueue timers_;  // touched only on the loop's thread
  bool quit_ = false;
};

}  // namespace ol
