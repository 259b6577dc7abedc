#include "core/timer_queue.h"

#include <algorithm>
#include <stdexcept>

namespace ol {

TimerQueue::Id TimerQueue::Add(Millis now, Millis interval, std::function<void()> tick, bool once) {
  if (interval < 1) interval = 1;
  std::uint32_t slot;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
  } else {
    if (slots_.size() >= (std::size_t{1} << kSlotBits))
      throw std::length_error("too many timers at once");
    slot = static_cast<std::uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  Entry& e = slots_[slot];
  e.id = (nextSerial_++ << kSlotBits) | slot;
  e.interval = interval;
  e.due = now + interval;
  e.order = nextOrder_++;
  e.once = once;
  e.tick = std::make_shared<std::function<void()>>(std::move(tick));
  heap_.push_back(slot);
  Put(heap_.size() - 1, slot);
  SiftUp(heap_.size() - 1);
  return e.id;
}

TimerQueue::Entry* TimerQueue::Find(Id id) {
  const std::size_t slot = id & ((Id{1} << kSlotBits) - 1);
  if (id == 0 || slot >= slots_.size() || slots_[slot].id != id) return nullptr;
  return &slots_[slot];
}

void TimerQueue::Remove(Id id) {
  Entry* e = Find(id);
  if (!e) return;
  const std::size_t place = e->place;
  const auto slot = static_cast<std::uint32_t>(e - slots_.data());
  e->id = 0;
  e->tick.reset();
  free_.push_back(slot);
  const std::uint32_t last = heap_.back();
  heap_.pop_back();
  if (place == heap_.size()) return;
  // The last place fills the hole, then moves whichever way its time sends it.
  Put(place, last);
  SiftUp(place);
  SiftDown(slots_[last].place);
}

std::optional<TimerQueue::Due> TimerQueue::Next() const {
  if (heap_.empty()) return std::nullopt;
  const Entry& e = slots_[heap_.front()];
  return Due{e.id, e.due};
}

TimerQueue::Tick TimerQueue::TakeDue(const Due& due, Millis now) {
  Entry* e = Find(due.id);
  if (!e) throw std::out_of_range("no such timer");
  if (e->once) {
    Tick tick = e->tick;
    Remove(due.id);
    return tick;
  }
  // Always later than before: the timer only moves down.
  e->due = std::max(due.at + e->interval, now + 1);
  e->order = nextOrder_++;
  SiftDown(e->place);
  return e->tick;
}

bool TimerQueue::Earlier(std::uint32_t a, std::uint32_t b) const {
  const Entry& x = slots_[a];
  const Entry& y = slots_[b];
  return x.due < y.due || (x.due == y.due && x.order < y.order);
}

void TimerQueue::Put(std::size_t place, std::uint32_t slot) {
  heap_[place] = slot;
  slots_[slot].place = place;
}

void TimerQueue::SiftUp(std::size_t place) {
  const std::uint32_t slot = heap_[place];
  while (place > 0) {
    const std::size_t parent = (place - 1) / 2;
    if (!Earlier(slot, heap_[parent])) break;
    Put(place, heap_[parent]);
    place = parent;
  }
  Put(place, slot);
}

void TimerQueue::SiftDown(std::size_t place) {
  const std::uint32_t slot = heap_[place];
  const std::size_t size = heap_.size();
  for (;;) {
    std::size_t child = 2 * place + 1;
    if (child >= size) break;
    if (child + 1 < size && Earlier(heap_[child + 1], heap_[child])) ++child;
    if (!Earlier(heap_[child], slot)) break;
    Put(place, heap_[child]);
    place = child;
  }
  Put(place, slot);
}

}  // namespace ol
