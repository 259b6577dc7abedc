#include "serial/read_thread.h"

#include <cstring>
#include <new>
#include <utility>

#include "serial/thread_priority.h"

namespace ol {

TReadThread::TReadThread(SerialDevice& device, std::shared_ptr<PostGate> gate, TrafficTap tap)
    : device_(device), gate_(std::move(gate)), tap_(std::move(tap)) {}

void TReadThread::Start() {
  thread_.Start([this] { Execute(); });
}

void TReadThread::ReportFailure() {
  gate_->Post(Notification{MSG_REQUEST_HANGUP, 0, 0, {}});
}

void TReadThread::Execute() {
  // Reception is served ahead of everything else, so that the inter-byte gap that
  // ends a chunk is seen when it happens.
  RaiseCurrentThreadPriority(ThreadPriority::Highest);
  if (!device_.SetEventMask(kEventMask)) {
    ReportFailure();
  } else {
    for (;;) {
      SerialDevice::Input in = device_.WaitForInput(buffer_, kBufferSize);
      if (in.status == SerialDevice::Status::Failed) ReportFailure();
      if (in.status != SerialDevice::Status::Ok) break;
      bool ok = in.count > 0 ? Deliver(in.count) : HandleLineEvent(in.eventMask);
      if (!ok) break;
    }
  }
  // After the report: a driver slow to cancel must not hold up the news of a lost port.
  device_.EndInput();
  device_.Purge(PURGE_INPUT);
}

bool TReadThread::Deliver(std::size_t n) {
  tap_(FlightRecorder::Direction::In, buffer_, n);
  Notification message{MSG_DATA_RECEIVED, static_cast<std::uint32_t>(n), 0, {}};
  try {
    // One extra zero byte after the data, for handlers that treat it as a string.
    message.buffer.assign(n + 1, 0);
  } catch (const std::bad_alloc&) {
    ReportFailure();
    return false;
  }
  std::memcpy(message.buffer.data(), buffer_, n);
  if (!gate_->Post(std::move(message))) {
    ReportFailure();
    return false;
  }
  return true;
}

bool TReadThread::HandleLineEvent(std::uint32_t mask) {
  bool result = false;
  if (mask & EV_ERR) {
    auto flags = device_.ClearCommError();
    if (!flags) {
      ReportFailure();
      return false;
    }
    if (!gate_->Post(Notification{MSG_RECEIVE_ERROR, 0, *flags, {}})) {
      ReportFailure();
      return false;
    }
    result = true;
  }
  std::uint32_t modem = ((mask & EV_RLSD) ? 8u : 0u) | ((mask & EV_RING) ? 4u : 0u);
  if (modem != 0) {
    if (!gate_->Post(Notification{MSG_MODEM_STATE, 0, modem, {}})) {
      ReportFailure();
      return false;
    }
    result = true;
  }
  if (!result) ReportFailure();
  return result;
}

}  // namespace ol
