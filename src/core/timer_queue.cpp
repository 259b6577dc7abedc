#include "core/timer_queue.h"

#include <algorithm>

namespace ol {

TimerQueue::Id TimerQueue::Add(Millis now, Millis interval, std::function<void()> tick) {
  if (interval < 1) interval = 1;
  const Id id = nextId_++;
  entries_[id] = Entry{interval, now + interval, nextOrder_++,
                       std::make_shared<std::function<void()>>(std::move(tick))};
  return id;
}

std::optional<TimerQueue::Due> TimerQueue::Next() const {
  auto next = entries_.end();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (next == entries_.end() || it->second.due < next->second.due ||
        (it->second.due == next->second.due && it->second.order < next->second.order))
      next = it;
  }
  if (next == entries_.end()) return std::nullopt;
  return Due{next->first, next->second.due};
}

TimerQueue::Tick TimerQueue::TakeDue(const Due& due, Millis now) {
  Entry& e = entries_.at(due.id);
  e.due = std::max(due.at + e.interval, now + 1);
  e.order = nextOrder_++;
  return e.tick;
}

}  // namespace ol
