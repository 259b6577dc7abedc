#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace ol {

using Millis = std::int64_t;

// A date and time of day as the calendar and the clock on the wall show them.
struct LocalDateTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  bool operator==(const LocalDateTime&) const = default;
};

// The system's wall clock, and a moment of it in the local time zone. On Windows both go
// around the runtime's clock and time_t, which in a 32-bit build end in January 2038.
std::chrono::system_clock::time_point SystemWallClock();
LocalDateTime SystemLocalTime(std::chrono::system_clock::time_point when);

// The one loop that serialises all of the gateway's logic: timer ticks, received chunks
// and incoming host messages run here, one at a time. Only Post may be called from
// another thread.
class EventLoop {
 public:
  using TimerId = std::uint64_t;

  virtual ~EventLoop() = default;

  // Monotonic milliseconds; never goes backwards and ignores changes of the time of day.
  virtual Millis Now() const = 0;
  // Wall-clock time, for texts that show the time of day.
  virtual std::chrono::system_clock::time_point WallClock() const = 0;
  // The wall clock in the local time zone, broken down; what the clock and the reply
  // frames show.
  LocalDateTime LocalTime() const { return LocalTimeOf(WallClock()); }
  // A moment of the wall clock in the local time zone. This one reads the system's.
  virtual LocalDateTime LocalTimeOf(std::chrono::system_clock::time_point when) const;

  // A periodic timer: the first tick comes one interval after the start.
  virtual TimerId StartTimer(Millis interval, std::function<void()> tick) = 0;
  virtual void StopTimer(TimerId id) = 0;

  // Runs task on the loop's thread, after the work already queued. Thread-safe.
  virtual void Post(std::function<void()> task) = 0;

  // Waits on the monotonic clock while processing events, so receive events and timer
  // ticks (the caller's own timer too) run inside the wait. Waits nest. False when the
  // program is ending: the caller must then start nothing new.
  bool Delay(int seconds, int ms) {
    if (!ending_) Wait(Millis{seconds} * 1000 + ms);
    return !ending_;
  }

  // The program ends: every wait, the running ones too, returns at once from now on.
  void EndWaits() { ending_ = true; }
  bool Ending() const { return ending_; }

 protected:
  virtual void Wait(Millis ms) = 0;

 private:
  bool ending_ = false;
};

}  // namespace ol
