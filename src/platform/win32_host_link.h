#pragma once

#include <cstdint>

#include "platform/host_link.h"

namespace ol {

// The host link on real window messages: the gateway's own handle is its main window,
// posts go through PostMessage and "the window exists" is IsWindow. The window procedure
// of the own window hands every message to Deliver, on the loop's thread.
class Win32HostLink : public HostLink {
 public:
  Win32HostLink() = default;
  Win32HostLink(const Win32HostLink&) = delete;
  Win32HostLink& operator=(const Win32HostLink&) = delete;

  // The window whose handle is announced and whose procedure calls Deliver.
  void SetOwnWindow(WindowHandle own) { own_ = own; }

  WindowHandle OwnHandle() const override { return own_; }
  void Post(WindowHandle to, std::uint32_t message, std::uint32_t wparam,
            std::uint32_t lparam) override;
  bool WindowExists(WindowHandle handle) const override;

  // True when the message is the host's (0x500) and went to OnMessage.
  bool Deliver(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam);

  // Window handles carry 32 significant bits on 64-bit Windows too; they widen with
  // sign extension, as the system does when it passes one between 32- and 64-bit
  // programs.
  static void* ToWindow(WindowHandle handle);
  static WindowHandle FromWindow(void* window);

 private:
  WindowHandle own_ = 0;
};

}  // namespace ol
