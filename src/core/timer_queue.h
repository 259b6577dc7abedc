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
  // Takes the tick that fell due (from Next) at now: schedules the timer's next tick an
  // interval after it, or a millisecond after now when that is past (ticks missed while
  // the loop was busy coalesce into one, as window timers do), and returns its tick
  // function, which stays valid even when the tick stops its own timer.
  Tick TakeDue(const Due& due, Millis now);

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
