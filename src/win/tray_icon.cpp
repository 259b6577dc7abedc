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
  KillTimer(data_.hWnd, kBalloonTimer);
  SetVisible(false);
}

bool TrayIcon::SetVisible(bool visible) {
  if (visible) {
    wanted_ = true;
    if (!added_) Add();
    return added_;
  }
  wanted_ = false;
  KillTimer(data_.hWnd, kRetryTimer);
  if (added_) {
    NOTIFYICONDATAW d = data_;
    Shell_NotifyIconW(NIM_DELETE, &d);
    added_ = false;
  }
  return true;
}

void TrayIcon::Add() {
  NOTIFYICONDATAW d = data_;
  // A busy shell can time out an add it carried out: a modify tells whether it did.
  added_ = Shell_NotifyIconW(NIM_ADD, &d) || Modify(d);
  if (added_)
    KillTimer(data_.hWnd, kRetryTimer);
  else
    SetTimer(data_.hWnd, kRetryTimer, kRetryMs, nullptr);
}

bool TrayIcon::Modify(NOTIFYICONDATAW& d) {
  return Shell_NotifyIconW(NIM_MODIFY, &d) != FALSE;
}

void TrayIcon::SetTip(const std::string& tip) {
  Copy(data_.szTip, tip);
  if (!added_) return;
  NOTIFYICONDATAW d = data_;
  if (!Modify(d)) ShellRestarted();  // the shell lost the icon
}

void TrayIcon::ShellRestarted() {
  added_ = false;
  if (wanted_) Add();
}

bool TrayIcon::Timer(WPARAM id) {
  if (id == kBalloonTimer) {
    NextBalloon();
    return true;
  }
  if (id != kRetryTimer) return false;
  if (wanted_ && !added_)
    Add();
  else
    KillTimer(data_.hWnd, kRetryTimer);
  return true;
}

void TrayIcon::Message(const std::string& title, const std::string& text) {
  if (!added_) return;
  if (auto now = held_.Offer({title, text}, MayNotifyNow())) ShowBalloon(*now);
  if (held_.Waiting()) SetTimer(data_.hWnd, kBalloonTimer, kBalloonMs, nullptr);
}

void TrayIcon::NotificationsMayHaveChanged() {
  if (held_.Waiting()) NextBalloon();
}

void TrayIcon::NextBalloon() {
  if (auto next = held_.Next(MayNotifyNow())) ShowBalloon(*next);
  if (!held_.Waiting()) KillTimer(data_.hWnd, kBalloonTimer);
}

void TrayIcon::ShowBalloon(const HeldBalloons::Balloon& balloon) {
  if (!added_) return;
  NOTIFYICONDATAW d = data_;
  d.uFlags = NIF_INFO;
  Copy(d.szInfoTitle, balloon.title);
  Copy(d.szInfo, balloon.text);
  d.dwInfoFlags = NIIF_INFO;
  Modify(d);
}

bool TrayIcon::IsDoubleClick(LPARAM lparam) {
  const UINT mouse = LOWORD(lparam);
  return mouse == WM_LBUTTONDBLCLK || mouse == WM_RBUTTONDBLCLK || mouse == WM_MBUTTONDBLCLK;
}

}  // namespace ol::win
