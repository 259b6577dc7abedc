#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>

#include "core/event_loop.h"
#include "core/timer_queue.h"

namespace ol {

// Virtual time for tests and simulations. Nothing happens until Advance; then due timers
// and posted work run in time order. A Delay inside a handler advances virtual time
// itself, and the outer Advance carries on from where the nested wait left off. Its
// local time is its wall clock read as UTC, whatever the time zone of the machine, so a
// test pins the date and time of day with wallStart or SetWallClock (see At).
class ManualLoop : public EventLoop {
 public:
  explicit ManualLoop(std::chrono::system_clock::time_point wallStart =
                          std::chrono::system_clock::time_point{std::chrono::hours{24 * 20000}});

  Millis Now() const override { return now_; }
  std::chrono::system_clock::time_point WallClock() const override;
  LocalDateTime LocalTimeOf(std::chrono::system_clock::time_point when) const override;
  // The wall-clock time at which LocalTime() reads when.
  static std::chrono::system_clock::time_point At(const LocalDateTime& when);
  // Sets the wall clock to now from this moment of virtual time on.
  void SetWallClock(std::chrono::system_clock::time_point now) {
    wallStart_ = now - std::chrono::milliseconds{now_};
  }
  TimerId StartTimer(Millis interval, std::function<void()> tick) override;
  void StopTimer(TimerId id) override;
  // Runs fn once, ms from now (at least 1); its timer is gone by the time fn runs.
  TimerId After(Millis ms, std::function<void()> fn) {
    return timers_.Add(now_, ms, std::move(fn), true);
  }
  void Post(std::function<void()> task) override;

  // Runs everything due within the next ms milliseconds of virtual time.
  void Advance(Millis ms) { RunUntil(now_ + ms); }
  // The loop's thread is kept busy ms long inside a handler (a blocking call): time passes
  // and nothing runs; what fell due meanwhile runs when the handler returns.
  void Stall(Millis ms) { now_ += ms; }
  // Runs posted work and timers due now, without moving time.
  void RunPending() { RunUntil(now_); }
  // Advances in steps of at most step ms until pred() holds or limit ms have passed.
  bool AdvanceUntil(const std::function<bool()>& pred, Millis limit, Millis step = 1);

  std::size_t ActiveTimers() const { return timers_.Size(); }
  // Waits nested inside handlers now, and the most there ever were at once.
  int WaitDepth() const { return waiting_; }
  int MaxWaitDepth() const { return maxWaiting_; }

 protected:
  void Wait(Millis ms) override {
    maxWaiting_ = std::max(maxWaiting_, ++waiting_);
    RunUntil(now_ + ms);
    --waiting_;
  }

 private:
  void RunUntil(Millis target);
  bool RunOnePosted();

  Millis now_ = 0;
  int waiting_ = 0;  // nested waits running now
  int maxWaiting_ = 0;
  std::chrono::system_clock::time_point wallStart_;
  TimerQueue timers_;
  std::mutex postedMutex_;
  std::deque<std::function<void()>> posted_;
  // How many are posted, read without the lock: the loop looks after every tick.
  std::atomic<std::size_t> postedCount_ = 0;
};

}  // namespace ol
