// The host's window as the Win32 link sees it, a recycled handle played through the
// link's view of which process owns a window.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/win32_host_link.h"

namespace ol {
namespace {

HWND MessageWindow() {
  return CreateWindowExW(0, L"STATIC", L"host", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                         nullptr);
}

bool HostMessageWaiting(HWND window) {
  MSG msg;
  return PeekMessageW(&msg, window, kHostMessage, kHostMessage, PM_REMOVE) != 0;
}

TEST(Win32HostLink, AHostWindowIsItsHandleInTheProcessThatOwnedItWhenAnnounced) {
  HWND window = MessageWindow();
  ASSERT_NE(window, nullptr);
  const WindowHandle host = Win32HostLink::FromWindow(window);

  // The system's own view: this process's window, then none once destroyed.
  Win32HostLink real;
  EXPECT_TRUE(real.WindowExists(host));

  std::uint32_t owner = GetCurrentProcessId();
  Win32HostLink link([&](void* w) { return w == window ? owner : 0u; });
  link.Post(host, kHostMessage, 1, 1);  // the announcement
  EXPECT_TRUE(HostMessageWaiting(window));
  EXPECT_TRUE(link.WindowExists(host));

  // The host ended and another program's window got the handle: neither alive nor sent to.
  owner = GetCurrentProcessId() + 4;
  EXPECT_FALSE(link.WindowExists(host));
  link.Post(host, kHostMessage, 2, 2);
  EXPECT_FALSE(HostMessageWaiting(window));
  EXPECT_FALSE(link.WindowExists(0));

  DestroyWindow(window);
  EXPECT_FALSE(real.WindowExists(host));
}

}  // namespace
}  // namespace ol
