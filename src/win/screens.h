#pragma once

#include <windows.h>

#include <commctrl.h>

#include <memory>

#include "app/gateway.h"
#include "view/binder.h"
#include "win/tray_icon.h"

namespace ol::win {

class MonitorPage;
class DownloadPage;
class SettingsPage;

// Everything inside the main window: the tool bar, the three screens stacked between it
// and the status bar (one shown at a time, as the form model's panels say), the status
// bar with the clock and the version, and the tray icon. It mirrors the form model and forwards the
// operator's input to the gateway; it holds no protocol state.
class Screens {
 public:
  Screens(HWND main, Gateway& gateway, EventLoop& loop);
  ~Screens();
  Screens(const Screens&) = delete;
  Screens& operator=(const Screens&) = delete;

  // Sees the main window's messages; true when the message was handled here.
  bool Handle(UINT message, WPARAM wparam, LPARAM lparam);
  Binder& Mirror() { return binder_; }
  TrayIcon& Tray() { return tray_; }

 private:
  void Layout();
  void ShowPanels();
  // Tells the monitor screen whether it is seen.
  void MonitorSeen();
  void BuildToolBar();
  void BuildStatusBar();
  // The status bar's parts for the window's width.
  void SetStatusParts();

  HWND main_;
  Gateway& gateway_;
  Binder binder_;
  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  TrayIcon tray_;
  HWND toolBar_ = nullptr;
  HWND statusBar_ = nullptr;
  HIMAGELIST toolImages_ = nullptr;
  int versionWidth_ = 0;  // of the version's text in the status bar
  std::unique_ptr<MonitorPage> monitor_;
  std::unique_ptr<DownloadPage> download_;
  std::unique_ptr<SettingsPage> settings_;
  bool monitorUp_ = true;  // the monitor screen is the one shown
};

}  // namespace ol::win
