#include "core/manual_loop.h"

namespace ol {

ManualLoop::ManualLoop(std::chrono::system_clock::time_point wallStart) : wallStart_(wallStart) {}

std::chrono::system_clock::time_point ManualLoop::WallClock() const {
  return wallStart_ + std::chrono::milliseconds{now_};
}

LocalDateTime ManualLoop::LocalTimeOf(std::chrono::system_clock::time_point when) const {
  using namespace std::chrono;
  const auto now = floor<seconds>(when);
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{now - day};
  return {static_cast<int>(date.year()),
          static_cast<int>(unsigned(date.month())),
          static_cast<int>(unsigned(date.day())),
          static_cast<int>(time.hours().count()),
          static_cast<int>(time.minutes().count()),
          static_cast<int>(time.seconds().count())};
}

std::chrono::system_clock::time_point ManualLoop::At(const LocalDateTime& when) {
  using namespace std::chrono;
  const sys_days day{year{when.year} / when.month / when.day};
  return day + hours{when.hour} + minutes{when.minute} + seconds{when.second};
}

EventLoop::TimerId ManualLoop::StartTimer(Millis interval, std::function<void()> tick) {
  return timers_.Add(now_, interval, std::move(tick));
}

void ManualLoop::StopTimer(TimerId id) {
  timers_.Remove(id);
}

void ManualLoop::Post(std::function<void()> task) {
  std::lock_guard lock(postedMutex_);
  posted_.push_back(std::move(task));
  ++postedCount_;
}

bool ManualLoop::RunOnePosted() {
  if (postedCount_ == 0) return false;
  std::function<void()> task;
  {
    std::lock_guard lock(postedMutex_);
    if (posted_.empty()) return false;
    task = std::move(posted_.front());
    posted_.pop_front();
    --postedCount_;
  }
  task();
  return true;
}

void ManualLoop::RunUntil(Millis target) {
  for (;;) {
    // A wait that the program's end cut short returns where it stands.
    if (Ending() && waiting_ > 0) return;
    if (RunOnePosted()) continue;
    auto next = timers_.Next();
    if (!next || next->at > target) break;
    if (next->at > now_) now_ = next->at;
    // Rescheduled before the tick runs, so a nested wait inside the tick can see the same
    // timer fall due again.
    auto tick = timers_.TakeDue(*next, now_);
    (*tick)();
  }
  if (now_ < target) now_ = target;
}

bool ManualLoop::AdvanceUntil(const std::function<bool()>& pred, Millis limit, Millis step) {
  Millis end = now_ + limit;
  RunPending();
  while (!pred()) {
    if (now_ >= end) return false;
    Advance(std::min(step, end - now_));
  }
  return true;
}

}  // namespace ol
