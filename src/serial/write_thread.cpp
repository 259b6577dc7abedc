#include "serial/write_thread.h"

#include <cstddef>
#include <utility>

#include "serial/thread_priority.h"

namespace ol {

bool WriteQueue::Post(std::vector<std::uint8_t> request) {
  {
    std::lock_guard lock(mutex_);
    if (shut_ || queuedBytes_ + request.size() > kMaxQueuedBytes) return false;
    // The writer waits with nothing queued, so nothing can overtake these bytes; it takes
    // no request while the lock is held.
    std::size_t written = 0;
    if (directTap_ && writerIdle_ && requests_.empty()) {
      const std::optional<std::size_t> n = device_.TryWrite(request.data(), request.size());
      if (n && *n == request.size()) {
        (*directTap_)(FlightRecorder::Direction::Out, request.data(), *n);
        return true;
      }
      // The writer finishes it and records the frame whole, as one packet.
      if (n) written = *n;
    }
    queuedBytes_ += request.size() - written;
    *sendQueueEmpty_ = false;
    requests_.push_back({std::move(request), written});
  }
  device_.SignalWriter();
  return true;
}

std::optional<WriteQueue::Request> WriteQueue::Take() {
  std::lock_guard lock(mutex_);
  writerIdle_ = requests_.empty();
  if (requests_.empty()) {
    *sendQueueEmpty_ = true;
    return std::nullopt;
  }
  Request request = std::move(requests_.front());
  requests_.pop_front();
  queuedBytes_ -= request.bytes.size() - request.written;
  return request;
}

void WriteQueue::Shut() {
  std::lock_guard lock(mutex_);
  shut_ = true;
  requests_.clear();
  queuedBytes_ = 0;
  *sendQueueEmpty_ = true;
}

TWriteThread::TWriteThread(SerialDevice& device, std::shared_ptr<PostGate> gate,
                           std::shared_ptr<std::atomic<bool>> sendQueueEmpty, TrafficTap tap,
                           bool announceEmpty)
    : device_(device),
      gate_(std::move(gate)),
      tap_(std::move(tap)),
      announceEmpty_(announceEmpty),
      queue_(device, std::move(sendQueueEmpty), announceEmpty ? nullptr : &tap_) {}

void TWriteThread::Start() {
  thread_.Start([this] { Execute(); });
}

void TWriteThread::Execute() {
  RaiseCurrentThreadPriority(ThreadPriority::AboveNormal);
  bool failed = false;
  bool announceEmpty = announceEmpty_;
  for (;;) {
    auto request = queue_.Take();
    if (!request) {
      if (announceEmpty && !gate_->Post(Notification{MSG_SEND_EMPTY, 0, 0, {}})) {
        failed = true;
        break;
      }
      announceEmpty = false;
      SerialDevice::Status woke = device_.WaitForWriteRequest();
      if (woke == SerialDevice::Status::Ok) continue;
      failed = woke == SerialDevice::Status::Failed;
      break;
    }
    if (device_.CloseEventSet()) break;  // the request is dropped
    SerialDevice::Status status = WriteBuffer(request->bytes, request->written);
    if (status != SerialDevice::Status::Ok) {
      failed = status == SerialDevice::Status::Failed;
      break;
    }
    tap_(FlightRecorder::Direction::Out, request->bytes.data(), request->bytes.size());
    announceEmpty = announceEmpty_;
  }
  device_.Purge(PURGE_OUTPUT);
  // Refuse further requests before the report, so that a handler of the hang-up never
  // sees SendData succeed on a writer that is gone.
  queue_.Shut();
  if (failed) gate_->Post(Notification{MSG_REQUEST_HANGUP, 0, 0, {}});
}

SerialDevice::Status TWriteThread::WriteBuffer(const std::vector<std::uint8_t>& request,
                                               std::size_t from) {
  std::size_t offset = from;
  while (offset < request.size()) {
    SerialDevice::WriteResult r = device_.Write(request.data() + offset, request.size() - offset);
    if (r.status != SerialDevice::Status::Ok) return r.status;
    offset += r.written;
  }
  return SerialDevice::Status::Ok;
}

}  // namespace ol
