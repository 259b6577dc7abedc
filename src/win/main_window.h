#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "app/gateway.h"
#include "win/message_box.h"
#include "win/screens.h"

namespace ol::win {

// The main window of the Windows edition: the top-level window titled as the gateway,
// over one Gateway and its form model. Hidden at start, as soon as its start-up
// activation has passed, as the Linux edition's window is.
class MainWindow {
 public:
  // Creates the window (not yet shown) and the Gateway over world. Throws
  // std::runtime_error when the window cannot be created.
  MainWindow(GatewayWorld world, Win32MessageBox& boxes);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  HWND Handle() const { return hwnd_; }
  Gateway& Logic() { return *gateway_; }
  // Shows the window in front, as the program's start does.
  void ShowAtStart();

  // Keyboard navigation between the controls (Tab, Shift+Tab, the arrows); true when it
  // took msg, which must then not be dispatched.
  bool Navigate(MSG& msg);

  // Sees every message of the window before the window does; true when it handled the
  // message (the host link takes its 0x500 messages this way).
  using MessageHook = std::function<bool(UINT message, WPARAM wparam, LPARAM lparam)>;
  void SetMessageHook(MessageHook hook) { hook_ = std::move(hook); }

  // Called once when the program is to end (the close check let it).
  std::function<void()> onEnd;

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void End();
  // The reason Windows shows for a refused end of session, registered exactly while the
  // host lives: a window that is hidden must have it before the system asks.
  void KeepShutdownReason();

  HWND hwnd_ = nullptr;
  std::unique_ptr<Screens> screens_;
  Win32MessageBox& boxes_;
  std::unique_ptr<Gateway> gateway_;
  MessageHook hook_;
  bool ending_ = false;
  EventLoop& loop_;
  EventLoop::TimerId reasonTimer_ = 0;
  bool reasonRegistered_ = false;
};

}  // namespace ol::win
