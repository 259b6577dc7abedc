#include "ui/qt_event_loop.h"

#include <QEventLoop>
#include <QMetaObject>

namespace ol {

QtEventLoop::QtEventLoop() {
  clock_.start();
}

QtEventLoop::~QtEventLoop() {
  for (auto& [id, timer] : timers_) delete timer;
}

std::chrono::system_clock::time_point QtEventLoop::WallClock() const {
  return std::chrono::system_clock::now();
}

EventLoop::TimerId QtEventLoop::StartTimer(Millis interval, std::function<void()> tick) {
  auto* timer = new QTimer(&context_);
  timer->setTimerType(Qt::PreciseTimer);
  timer->setInterval(static_cast<int>(std::max<Millis>(1, interval)));
  QObject::connect(timer, &QTimer::timeout, &context_, std::move(tick));
  timer->start();
  TimerId id = nextId_++;
  timers_[id] = timer;
  return id;
}

void QtEventLoop::StopTimer(TimerId id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second->stop();
  // The timer may be the one whose tick is running now.
  it->second->deleteLater();
  timers_.erase(it);
}

void QtEventLoop::Post(std::function<void()> task) {
  QMetaObject::invokeMethod(&context_, std::move(task), Qt::QueuedConnection);
}

void QtEventLoop::Wait(Millis ms) {
  // A wait ends on the monotonic clock; the local loop runs every event meanwhile.
  const Millis end = Now() + ms;
  while (Now() < end && !Ending()) {
    QEventLoop local;
    bool elapsed = false;
    QTimer::singleShot(static_cast<int>(end - Now()), Qt::PreciseTimer, &local, [&] {
      elapsed = true;
      local.quit();
    });
    local.exec();
    // Once the application is told to quit, every local loop returns at once: the program
    // is ending, and going round again would only spin.
    if (!elapsed && Now() < end) EndWaits();
  }
}

}  // namespace ol
