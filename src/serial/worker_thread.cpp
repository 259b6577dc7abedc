#include "serial/worker_thread.h"

#include <utility>

namespace ol {

WorkerThread::~WorkerThread() {
  if (thread_.joinable()) thread_.join();
}

void WorkerThread::Start(std::function<void()> body) {
  thread_ = std::thread([state = state_, body = std::move(body)] {
    body();
    std::lock_guard lock(state->m);
    state->ended = true;
    state->cv.notify_all();
  });
}

bool WorkerThread::WaitFor(std::chrono::milliseconds limit) {
  if (!thread_.joinable()) return true;
  {
    std::unique_lock lock(state_->m);
    if (!state_->cv.wait_for(lock, limit, [&] { return state_->ended; })) return false;
  }
  thread_.join();
  return true;
}

void WorkerThread::GiveUp() {
  if (thread_.joinable()) thread_.detach();
}

bool PostGate::Post(Notification message) const noexcept {
  std::lock_guard lock(m_);
  return window_ && window_->Post(std::move(message));
}

void PostGate::Close() {
  std::lock_guard lock(m_);
  window_ = nullptr;
}

}  // namespace ol
