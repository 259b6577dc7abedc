#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "serial/notification_window.h"
#include "serial/serial_device.h"
#include "serial/worker_thread.h"

namespace ol {

// The writer's queue of write requests, in the order they were posted. It keeps the
// component's SendQueueEmpty byte in step with its contents and refuses requests once
// the writer has ended or when too much is waiting.
class WriteQueue {
 public:
  // Beyond this a stalled line (flow control, nobody reading) makes SendData fail
  // instead of letting memory grow.
  static constexpr std::size_t kMaxQueuedBytes = std::size_t{1} << 20;

  // With a tap, a request the device takes whole at once while the writer is idle is
  // written on the caller's thread: a poll then wakes no writer thread (a syscall to signal
  // it, its wake-up, reading the signal). Bytes and their order are the same either way.
  WriteQueue(SerialDevice& device, std::shared_ptr<std::atomic<bool>> sendQueueEmpty,
             const TrafficTap* directTap = nullptr)
      : device_(device), sendQueueEmpty_(std::move(sendQueueEmpty)), directTap_(directTap) {}

  // A request and how much of it the caller's thread already wrote.
  struct Request {
    std::vector<std::uint8_t> bytes;
    std::size_t written = 0;
  };

  // Main thread: writes the request at once or queues it (MSG_WRITE_REQUEST) and wakes
  // the writer. A request is tapped once, whole, when its last byte is written.
  bool Post(std::vector<std::uint8_t> request);
  // Writer thread: the next request; when there is none, marks the queue empty and the
  // writer idle.
  std::optional<Request> Take();
  // Writer thread, at its end: drops what is left and refuses further requests.
  void Shut();

 private:
  SerialDevice& device_;
  std::shared_ptr<std::atomic<bool>> sendQueueEmpty_;
  std::mutex mutex_;
  std::deque<Request> requests_;
  std::size_t queuedBytes_ = 0;
  bool shut_ = false;
  bool writerIdle_ = false;  // the writer found the queue empty and waits
  const TrafficTap* directTap_;
};

// Writes the queued requests one at a time, each completely, and, with announceEmpty,
// announces when the queue has run empty (MSG_SEND_EMPTY: once at start, then once after
// each burst). Without it a poll costs the loop no second wake-up for news nobody reads.
class TWriteThread {
 public:
  TWriteThread(SerialDevice& device, std::shared_ptr<PostGate> gate,
               std::shared_ptr<std::atomic<bool>> sendQueueEmpty, TrafficTap tap = {},
               bool announceEmpty = true);
  TWriteThread(const TWriteThread&) = delete;
  TWriteThread& operator=(const TWriteThread&) = delete;

  // Throws std::system_error when the thread cannot be created.
  void Start();
  // True once the thread has ended; false when limit passed first.
  bool WaitFor(std::chrono::milliseconds limit) { return thread_.WaitFor(limit); }
  void GiveUp() { thread_.GiveUp(); }
  WriteQueue& Queue() { return queue_; }

 private:
  void Execute();
  // Ok once every byte from `from` on is written.
  SerialDevice::Status WriteBuffer(const std::vector<std::uint8_t>& request, std::size_t from);

  SerialDevice& device_;
  std::shared_ptr<PostGate> gate_;
  const TrafficTap tap_;
  const bool announceEmpty_;
  WriteQueue queue_;
  WorkerThread thread_;  // last: it ends before the members it uses go
};

}  // namespace ol
