#include "core/real_loop.h"

#include <algorithm>

namespace ol {

RealLoop::RealLoop() : start_(std::chrono::steady_clock::now()) {}

Millis RealLoop::Now() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

std::chrono::system_clock::time_point RealLoop::WallClock() const {
  return SystemWallClock();
}

EventLoop::TimerId RealLoop::StartTimer(Millis interval, std::function<void()> tick) {
  return timers_.Add(Now(), interval, std::move(tick));
}

void RealLoop::StopTimer(TimerId id) {
  timers_.Remove(id);
}

void RealLoop::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void RealLoop::Quit() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_one();
}

bool RealLoop::Step(Millis deadline) {
  std::function<void()> task;
  {
    std::unique_lock lock(mutex_);
    if (!posted_.empty()) {
      task = std::move(posted_.front());
      posted_.pop_front();
    }
  }
  if (task) {
    task();
    return true;
  }
  const auto next = timers_.Next();
  const Millis now = Now();
  if (next && next->at <= now) {
    auto tick = timers_.TakeDue(*next, now);
    (*tick)();
    return true;
  }
  if (now >= deadline) return false;
  std::unique_lock lock(mutex_);
  if (!posted_.empty() || quit_) return true;
  if (!next && deadline == kForever) {
    // Nothing can fall due by itself: sleep until work is posted or Quit is called.
    wake_.wait(lock, [this] { return !posted_.empty() || quit_; });
    return true;
  }
  Millis until = deadline;
  if (next && next->at < until) until = next->at;
  // The condition variable counts in nanoseconds: a wait far beyond a day would overflow
  // there and end at once, so long waits go in pieces of a day.
  wake_.wait_for(lock, std::chrono::milliseconds{std::min<Millis>(until - now, kLongestSleep)});
  return true;
}

void RealLoop::Run() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (quit_) {
        quit_ = false;
        return;
      }
    }
    Step(kForever);
  }
}

Millis RealLoop::DeadlineAfter(Millis ms) const {
  const Millis now = Now();
  return ms >= kForever - now ? kForever : now + ms;
}

void RealLoop::Wait(Millis ms) {
  Millis deadline = DeadlineAfter(ms);
  while (!Ending() && Step(deadline)) {
  }
}

bool RealLoop::RunUntil(const std::function<bool()>& pred, Millis ms) {
  Millis deadline = DeadlineAfter(ms);
  while (!pred()) {
    if (!Step(deadline)) return pred();
  }
  return true;
}

}  // namespace ol
