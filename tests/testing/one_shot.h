#pragma once

#include <functional>

#include "core/event_loop.h"

namespace ol::testing {

// Runs fn once, ms from now, on the loop: for what a test must do inside a wait of the
// code under test (a click, a confirmation, a host command). Stops on destruction.
class OneShot {
 public:
  OneShot(EventLoop& loop, Millis ms, std::function<void()> fn) : loop_(loop) {
    id_ = loop_.StartTimer(ms, [this, fn = std::move(fn)] {
      loop_.StopTimer(id_);
      done_ = true;
      fn();
    });
  }
  ~OneShot() {
    if (!done_) loop_.StopTimer(id_);
  }
  OneShot(const OneShot&) = delete;
  OneShot& operator=(const OneShot&) = delete;

 private:
  EventLoop& loop_;
  EventLoop::TimerId id_{};
  bool done_ = false;
};

}  // namespace ol::testing
