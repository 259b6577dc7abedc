#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/event_loop.h"

namespace ol {

// The periodic timers of an event loop, in the order they fall due: the earliest due
// time first, and among equal times the one scheduled first.
class TimerQueue {
 public:
  using Id = EventLoop::TimerId;
  using Tick = std::shared_ptr<std::function<void()>>;

  // A timer added once ticks once: taking its tick removes it.
  Id Add(Millis now, Millis interval, std::function<void()> tick, bool once = false);
  void Remove(Id id);
  std::size_t Size() const { return heap_.size(); }

  struct Due {
    Id id;
    Millis at;
  };
  std::optional<Due> Next() const;
  // Takes the tick that fell due (from Next) at now: schedules the timer's next tick an
  // interval after it, or a millisecond after now when that is past (ticks missed while
  // the loop was busy coalesce into one, as window timers do), and returns its tick
  // function, which stays valid even when the tick stops its own timer. A timer added
  // once is removed instead.
  Tick TakeDue(const Due& due, Millis now);

 private:
  // An id names its slot in its low bits and is never given out twice, so a stopped
  // timer's id finds nothing once its slot serves another timer.
  static constexpr int kSlotBits = 24;

  struct Entry {
    Id id = 0;  // 0: the slot is free
    Millis interval = 0;
    Millis due = 0;
    std::uint64_t order = 0;
    std::size_t place = 0;  // in heap_
    bool once = false;
    Tick tick;
  };

  Entry* Find(Id id);
  bool Earlier(std::uint32_t a, std::uint32_t b) const;
  void Put(std::size_t place, std::uint32_t slot);
  void SiftUp(std::size_t place);
  void SiftDown(std::size_t place);

  std::uint64_t nextSerial_ = 1;
  std::uint64_t nextOrder_ = 0;
  std::vector<Entry> slots_;
  std::vector<std::uint32_t> free_;
  // The running timers' slots as a binary heap, earliest on top: the loop asks for the next
  // timer after every tick, and timers come and go by the thousand, so neither may cost a
  // pass over all of them.
  std::vector<std::uint32_t> heap_;
};

}  // namespace ol
