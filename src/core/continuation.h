#pragma once

#include <algorithm>
#include <functional>

#include "core/event_loop.h"

namespace ol {

// One step of a protocol that resumes later, kept on the event loop instead of in a wait
// on the stack: a dialog's nested loop cannot hold it back, and a flood of events cannot
// nest it. Start replaces a step still pending; destruction cancels it.
class Continuation {
 public:
  explicit Continuation(EventLoop& loop) : loop_(loop) {}
  ~Continuation() { Cancel(); }
  Continuation(const Continuation&) = delete;
  Continuation& operator=(const Continuation&) = delete;

  void Start(Millis ms, std::function<void()> step) {
    Cancel();
    step_ = std::move(step);
    id_ = loop_.StartTimer(std::max<Millis>(1, ms), [this] {
      auto step = std::move(step_);
      Cancel();
      step();
    });
  }
  void Cancel() {
    if (id_ != 0) loop_.StopTimer(id_);
    id_ = 0;
    step_ = nullptr;
  }
  bool Pending() const { return id_ != 0; }

 private:
  EventLoop& loop_;
  EventLoop::TimerId id_ = 0;
  std::function<void()> step_;
};

}  // namespace ol
