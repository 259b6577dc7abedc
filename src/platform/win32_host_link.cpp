#include "platform/win32_host_link.h"

#include <windows.h>

namespace ol {

void* Win32HostLink::ToWindow(WindowHandle handle) {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(static_cast<std::int32_t>(handle)));
}

WindowHandle Win32HostLink::FromWindow(void* window) {
  return static_cast<WindowHandle>(reinterpret_cast<std::uintptr_t>(window));
}

void Win32HostLink::Post(WindowHandle to, std::uint32_t message, std::uint32_t wparam,
                         std::uint32_t lparam) {
  if (to == 0) return;
  PostMessageA(static_cast<HWND>(ToWindow(to)), message, wparam, static_cast<LPARAM>(lparam));
}

bool Win32HostLink::WindowExists(WindowHandle handle) const {
  return handle != 0 && IsWindow(static_cast<HWND>(ToWindow(handle)));
}

bool Win32HostLink::Deliver(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
  if (message != kHostMessage) return false;
  if (OnMessage)
    OnMessage(HostMessage{message, static_cast<std::uint32_t>(wparam),
                          static_cast<std::uint32_t>(lparam)});
  return true;
}

}  // namespace ol
