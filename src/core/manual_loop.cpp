#include "core/manual_loop.h"

namespace ol {

ManualLoop::ManualLoop(std::chrono::system_clock::time_point wallStart) : wallStart_(wallStart) {}

std::chrono::system_clock::time_point ManualLoop::WallClock() const {
  return wallStart_ + std::chrono::milliseconds{now_};
}

EventLoop::TimerId ManualLoop::StartTimer(Millis interval, std::function<void()> tick) {
  TimerId id = nextId_++;
  if (interval < 1) interval = 1;
  timers_[id] = Entry{interval, now_ + interval, nextOrder_++,
                      std::make_shared<std::function<void()>>(std::move(tick))};
  return id;
}

void ManualLoop::StopTimer(TimerId id) {
  timers_.erase(id);
}

void ManualLoop::Post(std::function<void()> task) {
  std::lock_guard lock(postedMutex_);
  posted_.push_back(std::move(task));
}

bool ManualLoop::RunOnePosted() {
  std::function<void()> task;
  {
    std::lock_guard lock(postedMutex_);
    if (posted_.empty()) return false;
    task = std::move(posted_.front());
    posted_.pop_front();
  }
  task();
  return true;
}

void ManualLoop::RunUntil(Millis target) {
  for (;;) {
    if (RunOnePosted()) continue;
    auto next = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (next == timers_.end() || it->second.due < next->second.due ||
          (it->second.due == next->second.due && it->second.order < next->second.order))
        next = it;
    }
    if (next == timers_.end() || next->second.due > target) break;
    if (next->second.due > now_) now_ = next->second.due;
    // Rescheduled before the tick runs, so a nested wait inside the tick can see the same
    // timer fall due again.
    next->second.due += next->second.interval;
    next->second.order = nextOrder_++;
    auto tick = next->second.tick;
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
