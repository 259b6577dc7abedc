#include "win/main_window.h"

#include <stdexcept>

#include "platform/win32_event_loop.h"
#include "platform/win32_text.h"
#include "win/desktop_state.h"
#include "win/widgets.h"

namespace ol::win {
namespace {

// Hosts find the gateway's window by this class name.
constexpr wchar_t kClassName[] = L"TForm1";
// A box of its own caption: a host looking the gateway up by title must never find a box.
constexpr char kBoxCaption[] = "无线点菜机系统 - 提示";
constexpr wchar_t kShutdownReason[] = L"主机程序仍在运行，网关不能退出。请先退出主机程序。";

}  // namespace

void Win32MessageBox::Show(const std::string& text) {
  ++open_;
  // Seen even when the box cannot come forward: the tray's balloon goes over a
  // full-screen host.
  if (echo) echo(text);
  // The owner is often hidden and the host has the foreground; without MB_SETFOREGROUND
  // the box may open behind the host's window, where no one sees the program wait, and
  // without a taskbar button of its own (ChooseBoxOwner) no one finds it there.
  const BoxOwner box = ChooseBoxOwner(owner_, IsWindowVisible(owner_) && !IsIconic(owner_));
  MessageBoxW(box.owner, Widen(text).c_str(), Widen(kBoxCaption).c_str(), box.flags);
  --open_;
}

MainWindow::MainWindow(GatewayWorld world, Win32MessageBox& boxes)
    : boxes_(boxes), loop_(world.loop) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = Proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);
  EventLoop& loop = world.loop;
  gateway_ = std::make_unique<Gateway>(std::move(world));
  // The design size and place of the window.
  hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kClassName, Widen(Gateway::kTitle).c_str(),
                          WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, Px(292), Px(109), Px(633), Px(568),
                          nullptr, nullptr, instance, this);
  if (!hwnd_) throw std::runtime_error("cannot create the main window");
  // A host of another integrity level (run as administrator, or not) still reaches us with
  // 0x500, and the shell's restart notice still comes in.
  for (UINT message : {static_cast<UINT>(kHostMessage), RegisterWindowMessageW(L"TaskbarCreated")})
    ChangeWindowMessageFilterEx(hwnd_, message, MSGFLT_ALLOW, nullptr);
  screens_ = std::make_unique<Screens>(hwnd_, *gateway_, loop);
  boxes_.SetOwner(hwnd_);
  boxes_.echo = [this](const std::string& text) {
    screens_->Tray().Message(Gateway::kTitle, text);
  };

  WindowHooks& hooks = gateway_->Window();
  hooks.show = [this] {
    ShowWindow(hwnd_, SW_RESTORE);
    ShowWindow(hwnd_, SW_SHOW);
    SetForegroundWindow(hwnd_);
  };
  hooks.hide = [this] { ShowWindow(hwnd_, SW_HIDE); };
  hooks.minimise = [this] { ShowWindow(hwnd_, SW_MINIMIZE); };
  hooks.close = [this] { End(); };
  // The host may go at any moment; the system asks without warning.
  reasonTimer_ = loop_.StartTimer(1000, [this] { KeepShutdownReason(); });
}

void MainWindow::KeepShutdownReason() {
  const bool alive = !ending_ && gateway_->HostAlive();
  if (alive == reasonRegistered_) return;
  if (alive)
    reasonRegistered_ = ShutdownBlockReasonCreate(hwnd_, kShutdownReason) != FALSE;
  else if (ShutdownBlockReasonDestroy(hwnd_))
    reasonRegistered_ = false;
}

MainWindow::~MainWindow() {
  loop_.StopTimer(reasonTimer_);
  boxes_.echo = nullptr;
  screens_.reset();
  if (hwnd_) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
  boxes_.SetOwner(nullptr);
  gateway_.reset();
}

void MainWindow::ShowAtStart() {
  ShowWindow(hwnd_, SW_SHOWNORMAL);
  SetForegroundWindow(hwnd_);
}

bool MainWindow::Navigate(MSG& msg) {
  if (msg.message < WM_KEYFIRST || msg.message > WM_KEYLAST) return false;
  if (msg.hwnd != hwnd_ && !IsChild(hwnd_, msg.hwnd)) return false;
  // Enter and Escape stay the control's: the window has no default or cancel button, and
  // the dialog manager would send it a command for one.
  const bool key = msg.message == WM_KEYDOWN || msg.message == WM_KEYUP || msg.message == WM_CHAR;
  if (key && (msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE)) return false;
  return IsDialogMessageW(hwnd_, &msg) != FALSE;
}

void MainWindow::End() {
  if (ending_) return;
  ending_ = true;
  if (onEnd) onEnd();
}

LRESULT CALLBACK MainWindow::Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self || !self->hwnd_) return DefWindowProcW(hwnd, message, wparam, lparam);
  return Win32EventLoop::Guarded([&] { return self->Handle(message, wparam, lparam); }, 0);
}

LRESULT MainWindow::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  if (hook_ && hook_(message, wparam, lparam)) return 0;
  if (screens_ && screens_->Handle(message, wparam, lparam)) return 0;
  switch (message) {
    case WM_ACTIVATE:
      if (LOWORD(wparam) != WA_INACTIVE) {
        gateway_->FormActivate();
      } else {
        // Focus going to a box of our own is no switch to another program.
        const HWND to = reinterpret_cast<HWND>(lparam);
        DWORD pid = 0;
        if (to) GetWindowThreadProcessId(to, &pid);
        gateway_->FormDeactivate(pid != GetCurrentProcessId());
      }
      return 0;
    case WM_CLOSE:
      if (!ending_ && gateway_->FormCloseRequest()) End();
      return 0;
    case WM_QUERYENDSESSION:
      // The system only asks here: another program may still cancel the end, so the
      // gateway stays whole until WM_ENDSESSION says it comes.
      // The reason was registered while the host lived (KeepShutdownReason); registered
      // only now, a hidden window would be ended without being asked again.
      if (gateway_->MayEnd()) {
        KeepShutdownReason();
        return TRUE;
      }
      if (!reasonRegistered_)
        reasonRegistered_ = ShutdownBlockReasonCreate(hwnd_, kShutdownReason) != FALSE;
      return FALSE;
    case WM_ENDSESSION:
      // WM_ENDSESSION: "the session can end any time after all applications have returned
      // from processing this message", so the ports are closed and the journal written
      // here, not once the loop has quit.
      if (wparam && gateway_->SessionEnds()) End();
      return 0;
    default:
      return DefWindowProcW(hwnd_, message, wparam, lparam);
  }
}

}  // namespace ol::win
