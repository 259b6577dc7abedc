#pragma once

#include <cstddef>
#include <cstdint>
#include <thread>

#include "serial/notification_window.h"
#include "serial/serial_device.h"

namespace ol {

// Keeps a read and a line-event wait pending on the port and posts every received
// chunk (MSG_DATA_RECEIVED), line error (MSG_RECEIVE_ERROR) and modem-line event
// (MSG_MODEM_STATE) to the component; a failure ends it with MSG_REQUEST_HANGUP.
class TReadThread {
 public:
  static constexpr std::size_t kBufferSize = 2048;
  static constexpr std::uint32_t kEventMask = EV_RLSD | EV_ERR | EV_RING;

  TReadThread(SerialDevice& device, const NotificationWindow& window);
  ~TReadThread();
  TReadThread(const TReadThread&) = delete;
  TReadThread& operator=(const TReadThread&) = delete;

  // Throws std::system_error when the thread cannot be created.
  void Start();
  void WaitFor();

 private:
  void Execute();
  bool Deliver(std::size_t n);
  bool HandleLineEvent(std::uint32_t mask);
  void ReportFailure();

  SerialDevice& device_;
  const NotificationWindow& window_;
  std::uint8_t buffer_[kBufferSize];
  std::thread thread_;
};

}  // namespace ol
