#include "platform/win32_host_link.h"

#include <windows.h>

namespace ol {

void* Win32HostLink::ToWindow(WindowHandle handle) {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(static_cast<std::int32_t>(handle)));
}

WindowHandle Win32HostLink::FromWindow(void* window) {
  return static_cast<WindowHandle>(reinterpret_cast<std::uintptr_t>(window));
}

std::uint32_t Win32HostLink::SystemProcessOf(void* window) {
  HWND w = static_cast<HWND>(window);
  DWORD process = 0;
  if (!IsWindow(w) || GetWindowThreadProcessId(w, &process) == 0) return 0;
  return process;
}

void Win32HostLink::Post(WindowHandle to, std::uint32_t message, std::uint32_t wparam,
                         std::uint32_t lparam) {
  if (!WindowExists(to)) return;
  PostMessageA(static_cast<HWND>(ToWindow(to)), message, wparam, static_cast<LPARAM>(lparam));
}

bool Win32HostLink::WindowExists(WindowHandle handle) const {
  if (handle == 0) return false;
  const std::uint32_t process = processOf_(ToWindow(handle));
  if (process == 0) return false;
  // IsWindow: "window handles are recycled": once the host's window is gone another
  // program's window may carry its handle, which IsWindow alone takes for the host.
  return owners_.try_emplace(handle, process).first->second == process;
}

bool Win32HostLink::Deliver(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
  if (message != kHostMessage) return false;
  if (OnMessage)
    OnMessage(HostMessage{message, static_cast<std::uint32_t>(wparam),
                          static_cast<std::uint32_t>(lparam)});
  return true;
}

}  // namespace ol
