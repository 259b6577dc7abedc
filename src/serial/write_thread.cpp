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
    if (directTap_ && writerIdle_ && requests_.empty()) {
      const std::optional<std::size_t> n = device_.TryWrite(request.data(), request.size());
      if (n && *n > 0) {
        (*directTap_)(FlightRecorder::Direction::Out, request.data(), *n);
        if (*n == request.size()) return true;
        request.erase(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(*n));
      }
    }
    queuedBytes_ += request.size();
    *sendQueueEmpty_ = false;
    requests_.push_back(std::move(request));
  }
  device_.SignalWriter();
  return true;
}

std::optional<std::vector<std::uint8_t>> WriteQueue::Take() {
  std::lock_guard lock(mutex_);
  writerIdle_ = requests_.empty();
  if (requests_.empty()) {
    *sendQueueEmpty_ = true;
    return std::nullopt;
  }
  std::vector<std::uint8_t> request = std::move(requests_.front());
  requests_.pop_front();
  queuedBytes_ -= request.size();
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
    SerialDevice::Status status = WriteBuffer(*request);
    if (status != SerialDevice::Status::Ok) {
      failed = status == SerialDevice::Status::Failed;
      break;
    }
    tap_(FlightRecorder::Direction::Out, request->data(), request->size());
    announceEmpty = announceEmpty_;
  }
  device_.Purge(PURGE_OUTPUT);
  // Refuse further requests before the report, so that a handler of the hang-up never
  // sees SendData succeed on a writer that is gone.
  queue_.Shut();
  if (failed) gate_->Post(Notification{MSG_REQUEST_HANGUP, 0, 0, {}});
}

SerialDevice::Status TWriteThread::WriteBuffer(const std::vector<std::uint8_t>& request) {
  std::size_t offset = 0;
  while (offset < request.size()) {
    SerialDevice::WriteResult r = device_.Write(request.data() + offset, request.size() - offset);
    if (r.status != SerialDevice::Status::Ok) return r.status;
    offset += r.written;
  }
  return SerialDevice::Status::Ok;
}

}  // namespace ol
