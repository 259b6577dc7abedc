#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include "platform/host_link.h"

namespace ol {

// The host link on real window messages: the gateway's own handle is its main window,
// posts go through PostMessage and "the window exists" is IsWindow. The window procedure
// of the own window hands every message to Deliver, on the loop's thread.
class Win32HostLink : public HostLink {
 public:
  // The process that owns a window, 0 when there is no such window.
  using ProcessOf = std::function<std::uint32_t(void* window)>;

  Win32HostLink() = default;
  // For a test that plays a window whose handle went to another program.
  explicit Win32HostLink(ProcessOf processOf) : processOf_(std::move(processOf)) {}
  Win32HostLink(const Win32HostLink&) = delete;
  Win32HostLink& operator=(const Win32HostLink&) = delete;

  // The window whose handle is announced and whose procedure calls Deliver.
  void SetOwnWindow(WindowHandle own) { own_ = own; }

  WindowHandle OwnHandle() const override { return own_; }
  // Nothing goes to a handle that another program's window has taken over.
  void Post(WindowHandle to, std::uint32_t message, std::uint32_t wparam,
            std::uint32_t lparam) override;
  // The window exists and belongs to the process that owned it when the link first met
  // the handle (the announcement, which posts to it).
  bool WindowExists(WindowHandle handle) const override;

  // True when the message is the host's (0x500) and went to OnMessage.
  bool Deliver(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam);

  // Window handles carry 32 significant bits on 64-bit Windows too; they widen with
  // sign extension, as the system does when it passes one between 32- and 64-bit
  // programs.
  static void* ToWindow(WindowHandle handle);
  static WindowHandle FromWindow(void* window);

  static std::uint32_t SystemProcessOf(void* window);

 private:
  WindowHandle own_ = 0;
  ProcessOf processOf_ = &SystemProcessOf;
  // Each handle met (the host's, in practice) and its owner then. Loop's thread only.
  mutable std::map<WindowHandle, std::uint32_t> owners_;
};

}  // namespace ol
