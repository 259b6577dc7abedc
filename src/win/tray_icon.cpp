#include "win/tray_icon.h"

#include <cwchar>

#include "win/widgets.h"

namespace ol::win {
namespace {

template <std::size_t N>
void Copy(wchar_t (&to)[N], const std::string& utf8) {
  const std::wstring text = Widen(utf8);
  std::wcsncpy(to, text.c_str(), N - 1);
  to[N - 1] = L'\0';
}

}  // namespace

TrayIcon::TrayIcon(HWND owner, HICON icon, const std::string& tip)
    : taskbarCreated_(RegisterWindowMessageW(L"TaskbarCreated")) {
  data_.cbSize = sizeof data_;
  data_.hWnd = owner;
  data_.uID = 1;
  data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data_.uCallbackMessage = kCallback;
  data_.hIcon = icon;
  Copy(data_.szTip, tip);
}

TrayIcon::~TrayIcon() {
  SetVisible(false);
}

bool TrayIcon::SetVisible(bool visible) {
  if (visible == visible_) return true;
  NOTIFYICONDATAW d = data_;
  if (!Shell_NotifyIconW(visible ? NIM_ADD : NIM_DELETE, &d)) return false;
  visible_ = visible;
  return true;
}

void TrayIcon::ShellRestarted() {
  if (!visible_) return;
  NOTIFYICONDATAW d = data_;
  Shell_NotifyIconW(NIM_ADD, &d);
}

void TrayIcon::Message(const std::string& title, const std::string& text) {
  if (!visible_) return;
  NOTIFYICONDATAW d = data_;
  d.uFlags = NIF_INFO;
  Copy(d.szInfoTitle, title);
  Copy(d.szInfo, text);
  d.dwInfoFlags = NIIF_INFO;
  Shell_NotifyIconW(NIM_MODIFY, &d);
}

bool TrayIcon::IsDoubleClick(LPARAM lparam) {
  const UINT mouse = LOWORD(lparam);
  return mouse == WM_LBUTTONDBLCLK || mouse == WM_RBUTTONDBLCLK || mouse == WM_MBUTTONDBLCLK;
}

}  // namespace ol::win
