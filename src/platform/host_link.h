#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>

namespace ol {

// A window handle of the host link: a non-zero 32-bit number (0 means none).
using WindowHandle = std::uint32_t;

inline constexpr std::uint32_t kHostMessage = 0x500;

// The host link could not be set up (no socket or window, or the requested handle is
// taken).
class HostLinkError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct HostMessage {
  std::uint32_t message = 0;
  std::uint32_t wparam = 0;
  std::uint32_t lparam = 0;
};

// The message channel between the gateway and the host application.
class HostLink {
 public:
  virtual ~HostLink() = default;
  // This process's own window handle.
  virtual WindowHandle OwnHandle() const = 0;
  // Posts without waiting; a failure is not reported.
  virtual void Post(WindowHandle to, std::uint32_t message, std::uint32_t wparam,
                    std::uint32_t lparam) = 0;
  // Whether a window with this handle exists now.
  virtual bool WindowExists(WindowHandle handle) const = 0;
  // Incoming messages, delivered on the event loop's thread.
  std::function<void(const HostMessage&)> OnMessage;
};

}  // namespace ol
