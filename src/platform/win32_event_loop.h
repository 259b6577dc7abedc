#pragma once

#include <chrono>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>

#include "core/event_loop.h"
#include "core/timer_queue.h"

namespace ol {

// The event loop seam on the thread's window message loop. Timers and posted work go
// through a hidden message-only window, so they keep running inside every message loop
// of the thread: a Delay's, a message box's, a menu's. Idle, the thread sleeps in the
// system until a message comes: one system timer stands for the earliest of our timers,
// and none runs when no timer does. Create, run and destroy the loop on one thread.
class Win32EventLoop : public EventLoop {
 public:
  Win32EventLoop();  // throws std::runtime_error when the window cannot be made
  ~Win32EventLoop() override;
  Win32EventLoop(const Win32EventLoop&) = delete;
  Win32EventLoop& operator=(const Win32EventLoop&) = delete;

  Millis Now() const override;
  std::chrono::system_clock::time_point WallClock() const override;
  TimerId StartTimer(Millis interval, std::function<void()> tick) override;
  void StopTimer(TimerId id) override;
  void Post(std::function<void()> task) override;

  // Dispatches the thread's messages until Quit (or WM_QUIT); returns the exit code.
  int Run();
  // Ends Run and every running wait.
  void Quit(int exitCode = 0);

  // Called for each message Run or a wait takes from the queue before it is dispatched;
  // true when it was handled there (dialog navigation, accelerators). The argument is
  // the MSG.
  std::function<bool(void* msg)> preTranslate;

  // Messages of the loop's own window.
  bool Handle(unsigned message);

  // Runs the body of a window procedure. An exception must not leave it: the system's
  // frames between it and the loop cannot be unwound in a 32-bit build (the program would
  // end unannounced) and may swallow it in a 64-bit one. It is kept instead, fallback is
  // returned, and the loop that dispatched the message rethrows it.
  template <class F>
  static auto Guarded(F&& body, decltype(body()) fallback) -> decltype(body()) {
    try {
      return body();
    } catch (...) {
      Keep(std::current_exception());
      return fallback;
    }
  }

 protected:
  void Wait(Millis ms) override;

 private:
  void RunDueTimers();
  void RunOnePosted();
  void Rearm();
  void Signal();
  // Takes one message from the queue; false on WM_QUIT (which is left for Run).
  bool DispatchOne(void* msg);
  // The first exception a guarded window procedure caught on this thread, until rethrown.
  static void Keep(std::exception_ptr e);
  static void RethrowKept();

  void* window_ = nullptr;  // HWND of the message-only window
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::deque<std::function<void()>> posted_;
  bool signalled_ = false;  // a run-posted message is on its way
  TimerQueue timers_;       // loop thread only
  bool quit_ = false;
  int exitCode_ = 0;
};

}  // namespace ol
