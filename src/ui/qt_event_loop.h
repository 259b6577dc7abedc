#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <map>

#include "core/event_loop.h"

namespace ol {

// The event loop seam on Qt's loop: precise timers, nested waits in a local QEventLoop,
// and Post through a queued invocation, which Qt makes safe from any thread.
class QtEventLoop : public EventLoop {
 public:
  QtEventLoop();
  ~QtEventLoop() override;

  Millis Now() const override { return clock_.elapsed(); }
  std::chrono::system_clock::time_point WallClock() const override;
  TimerId StartTimer(Millis interval, std::function<void()> tick) override;
  void StopTimer(TimerId id) override;
  void Post(std::function<void()> task) override;

 protected:
  void Wait(Millis ms) override;

 private:
  QElapsedTimer clock_;
  QObject context_;
  TimerId nextId_ = 1;
  std::map<TimerId, QTimer*> timers_;
};

}  // namespace ol
