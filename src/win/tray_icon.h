#pragma once

#include <windows.h>

#include <shellapi.h>

#include <string>

#include "win/desktop_state.h"

namespace ol::win {

// The icon in the notification area. Its mouse messages come to the owner window as
// kCallback with the mouse message in LPARAM. Whether the icon is wanted is kept apart from
// whether the shell has it: an add refused because the shell is not up yet (a start at
// logon) is tried again on kRetryTimer, and the owner hands the shell's "TaskbarCreated"
// message to ShellRestarted, which adds the icon again to a shell that forgot it.
class TrayIcon {
 public:
  // Out of the dialog manager's WM_USER range: the window runs IsDialogMessage.
  static constexpr UINT kCallback = WM_APP + 1;
  static constexpr UINT_PTR kRetryTimer = 0x7A1;
  static constexpr UINT kRetryMs = 10000;
  // While balloons wait for the user to accept notifications again: Windows says nothing
  // when a program leaves full screen, so the state is asked again on this timer.
  static constexpr UINT_PTR kBalloonTimer = 0x7A2;
  static constexpr UINT kBalloonMs = 5000;

  TrayIcon(HWND owner, HICON icon, const std::string& tip);
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // Wants the icon shown or not. True when the shell now has it as wanted; a wanted icon it
  // refused is added later by itself.
  bool SetVisible(bool visible);
  bool Visible() const { return added_; }
  void SetTip(const std::string& tip);
  void ShellRestarted();
  // The owner's WM_TIMER: true when it was the icon's.
  bool Timer(WPARAM id);
  // A balloon message, shown while the icon is visible; held while the user must not be
  // interrupted, and shown once notifications are accepted again.
  void Message(const std::string& title, const std::string& text);
  // The user's notification state may have changed (WM_SETTINGCHANGE).
  void NotificationsMayHaveChanged();
  // A double-click with any button restores the window.
  static bool IsDoubleClick(LPARAM lparam);
  UINT TaskbarCreated() const { return taskbarCreated_; }

 private:
  void Add();
  bool Modify(NOTIFYICONDATAW& d);
  void ShowBalloon(const HeldBalloons::Balloon& balloon);
  void NextBalloon();

  NOTIFYICONDATAW data_{};
  UINT taskbarCreated_;
  bool wanted_ = false;
  bool added_ = false;
  HeldBalloons held_;
};

}  // namespace ol::win
