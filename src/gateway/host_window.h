#pragma once

#include "platform/host_link.h"

namespace ol {

// The host application's window as the gateway knows it: its handle (0 until the host
// is known) and whether the host has said it is gone.
class HostWindow {
 public:
  WindowHandle Handle() const { return handle_; }
  void SetHandle(WindowHandle handle) { handle_ = handle; }
  bool Gone() const { return gone_; }
  void MarkGone() {
    handle_ = 0;
    gone_ = true;
  }

 private:
  WindowHandle handle_ = 0;
  bool gone_ = false;
};

}  // namespace ol
