#include "serial/notification_window.h"

#include <utility>

namespace ol {

NotificationWindow::NotificationWindow(EventLoop& loop, Procedure procedure)
    : loop_(loop), alive_(std::make_shared<Alive>(Alive{std::move(procedure)})) {}

NotificationWindow::~NotificationWindow() {
  // Runs on the loop's thread, as do the queued messages that test it.
  alive_->procedure = nullptr;
}

bool NotificationWindow::Post(Notification message) const noexcept {
  try {
    loop_.Post([alive = alive_, message = std::move(message)]() mutable {
      // A copy, so that a handler that destroys the component does not destroy the
      // procedure it is running in.
      if (auto procedure = alive->procedure) procedure(message);
    });
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace ol
