#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "serial/flight_recorder.h"
#include "serial/notification_window.h"

namespace ol {

// A port's worker thread, waited for with a limit: some USB-serial drivers never complete
// a cancelled request after a surprise removal or a suspend, and their thread would hold
// the window for good. Such a thread is given up: it runs on, detached, and whatever it
// posts from then on is dropped (see PostGate).
class WorkerThread {
 public:
  WorkerThread() = default;
  // Waits for the thread without a limit unless it was given up.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Throws std::system_error when the thread cannot be created.
  void Start(std::function<void()> body);
  // True once the thread has ended (or never started); false when limit passed first.
  bool WaitFor(std::chrono::milliseconds limit);
  void GiveUp();

 private:
  struct State {
    std::mutex m;
    std::condition_variable cv;
    bool ended = false;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::thread thread_;
};

// Where the worker threads leave a copy of the port's traffic, if anywhere (port 0: not
// yet known to be a station's).
struct TrafficTap {
  std::shared_ptr<FlightRecorder> recorder;
  int port = 0;
  void operator()(FlightRecorder::Direction d, const std::uint8_t* data, std::size_t n) const {
    if (recorder && port > 0) recorder->Add(port, d, data, n);
  }
};

// What the worker threads post through. The component closes it when it gives a thread
// up, since the component may be gone by the time that thread wakes.
class PostGate {
 public:
  explicit PostGate(const NotificationWindow& window) : window_(&window) {}
  // False when closed or when the message could not be queued.
  bool Post(Notification message) const noexcept;
  void Close();

 private:
  mutable std::mutex m_;
  const NotificationWindow* window_;
};

}  // namespace ol
