#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "serial/notification_window.h"
#include "serial/serial_device.h"
#include "serial/worker_thread.h"

namespace ol {

// Keeps a read and a line-event wait pending on the port and posts every received
// chunk (MSG_DATA_RECEIVED), line error (MSG_RECEIVE_ERROR) and modem-line event
// (MSG_MODEM_STATE) to the component; a failure ends it with MSG_REQUEST_HANGUP.
class TReadThread {
 public:
  static constexpr std::size_t kBufferSize = 2048;
  static constexpr std::uint32_t kEventMask = EV_RLSD | EV_ERR | EV_RING;

  TReadThread(SerialDevice& device, std::shared_ptr<PostGate> gate, TrafficTap tap = {});
  TReadThread(const TReadThread&) = delete;
  TReadThread& operator=(const TReadThread&) = delete;

  // Throws std::system_error when the thread cannot be created.
  void Start();
  // True once the thread has ended; false when limit passed first.
  bool WaitFor(std::chrono::milliseconds limit) { return thread_.WaitFor(limit); }
  void GiveUp() { thread_.GiveUp(); }

 private:
  void Execute();
  bool Deliver(std::size_t n);
  bool HandleLineEvent(std::uint32_t mask);
  void ReportFailure();

  SerialDevice& device_;
  std::shared_ptr<PostGate> gate_;
  const TrafficTap tap_;
  std::uint8_t buffer_[kBufferSize];
  WorkerThread thread_;  // last: it ends before the members it uses go
};

}  // namespace ol
