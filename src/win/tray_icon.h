#pragma once

#include <windows.h>

#include <shellapi.h>

#include <string>

namespace ol::win {

// The icon in the notification area. Its mouse messages come to the owner window as
// kCallback with the mouse message in LPARAM; the owner hands the shell's
// "TaskbarCreated" message to ShellRestarted so the icon survives a restart of the shell.
class TrayIcon {
 public:
  static constexpr UINT kCallback = WM_USER + 1;

  TrayIcon(HWND owner, HICON icon, const std::string& tip);
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // Adds or deletes the icon; setting the current value does nothing. False when the
  // shell refused.
  bool SetVisible(bool visible);
  bool Visible() const { return visible_; }
  void ShellRestarted();
  // A balloon message, shown while the icon is visible.
  void Message(const std::string& title, const std::string& text);
  // A double-click with any button restores the window.
  static bool IsDoubleClick(LPARAM lparam);
  UINT TaskbarCreated() const { return taskbarCreated_; }

 private:
  NOTIFYICONDATAW data_{};
  UINT taskbarCreated_;
  bool visible_ = false;
};

}  // namespace ol::win
