#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "core/event_loop.h"

namespace ol {

// The periodic timers of an event loop, in the order they fall due: the earliest due
// time first, and among equal times the one scheduled first.
class TimerQueue {
 public:
  using Id = EventLoop::TimerId;
  using Tick = std::shared_ptr<std::function<void()>>;

  Id Add(Millis now, Millis interval, std::function<void()> tick);
  void Remove(Id id) { entries_.erase(id); }
  std::size_t Size() const { return entries_.size(); }

  struct Due {
    Id id;
    Millis at;
  };
  std::optional<Due> Next() const;
  // Schedules timer id for its next tick at nextDue and returns its tick function, which
  // stays valid even when the tick stops its own timer.
  Tick Reschedule(Id id, Millis nextDue);
  Millis Interval(Id id) const { return entries_.at(id).interval; }

 private:
  struct Entry {
    Millis interval;
    Millis due;
    std::uint64_t order;
    Tick tick;
  };
  Id nextId_ = 1;
  std::uint64_t nextOrder_ = 0;
  std::map<Id, Entry> entries_;
};

}  // namespace ol
