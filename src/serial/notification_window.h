#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/event_loop.h"

namespace ol {

// Message numbers between the worker threads and the component.
#ifndef WM_USER  // <windows.h> defines it with the same value
inline constexpr unsigned WM_USER = 0x400;
#endif
inline constexpr unsigned MSG_WRITE_REQUEST = WM_USER + 1;
inline constexpr unsigned MSG_DATA_RECEIVED = WM_USER + 1;
inline constexpr unsigned MSG_RECEIVE_ERROR = WM_USER + 2;
inline constexpr unsigned MSG_REQUEST_HANGUP = WM_USER + 3;
inline constexpr unsigned MSG_MODEM_STATE = WM_USER + 4;
inline constexpr unsigned MSG_SEND_EMPTY = WM_USER + 5;

// One message for the component; a received chunk travels in buffer, which the message
// owns (its bytes followed by one zero byte).
struct Notification {
  unsigned message = 0;
  std::uint32_t wParam = 0;
  std::uint32_t lParam = 0;
  std::vector<std::uint8_t> buffer;
};

// The component's hidden receiver of thread messages: Post may be called from any
// thread; the procedure runs on the loop's thread. Messages still queued when the
// window is destroyed are dropped there, with their buffers.
class NotificationWindow {
 public:
  using Procedure = std::function<void(Notification&)>;

  NotificationWindow(EventLoop& loop, Procedure procedure);
  ~NotificationWindow();
  NotificationWindow(const NotificationWindow&) = delete;
  NotificationWindow& operator=(const NotificationWindow&) = delete;

  // False when the message could not be queued (out of memory).
  bool Post(Notification message) const noexcept;

 private:
  // Shared with every queued message; cleared on the loop's thread at destruction.
  struct Alive {
    Procedure procedure;
  };

  EventLoop& loop_;
  std::shared_ptr<Alive> alive_;
};

}  // namespace ol
