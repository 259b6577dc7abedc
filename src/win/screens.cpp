#include "win/screens.h"

#include <algorithm>
#include <iterator>

#include "win/artwork.h"
#include "win/control_ids.h"
#include "win/desktop_state.h"
#include "win/download_page.h"
#include "win/monitor_page.h"
#include "win/settings_page.h"
#include "win/widgets.h"

namespace ol::win {
namespace {

constexpr int kImageSize = 20;

struct ToolButton {
  const char* name;
  int id;
  const char* caption;
};
// In the tool bar's order; the images are in the same order.
constexpr ToolButton kToolButtons[] = {
    {"ToolButton1", id::kToolButton1, "实时监控"}, {"ToolButton2", id::kToolButton2, "下载"},
    {"ToolButton4", id::kToolButton4, "设置"},     {"ToolButton3", id::kToolButton3, "刷新"},
    {"ToolButton5", id::kToolButton5, "隐藏"},
};

int HeightOf(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  return r.bottom - r.top;
}

// The width of text in window's font, in pixels.
int TextWidth(HWND window, const std::wstring& text) {
  HDC dc = GetDC(window);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(window, WM_GETFONT, 0, 0)));
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  return size.cx;
}

// A named function: a lambda converts only to a pointer of the default calling
// convention, which on 32-bit Windows is not the callbacks' stdcall.
BOOL CALLBACK ForwardColorChange(HWND child, LPARAM) {
  SendMessageW(child, WM_SYSCOLORCHANGE, 0, 0);
  return TRUE;
}

}  // namespace

Screens::Screens(HWND main, Gateway& gateway, EventLoop& loop)
    : main_(main),
      gateway_(gateway),
      binder_(gateway.Form(), loop),
      icon_(AppIcon(GetSystemMetrics(SM_CXICON))),
      smallIcon_(AppIcon(GetSystemMetrics(SM_CXSMICON))),
      tray_(main, smallIcon_, Gateway::kTitle) {
  static const bool initialised = [] {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES | ICC_TREEVIEW_CLASSES |
                                                       ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES |
                                                       ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    return InitCommonControlsEx(&controls) != FALSE;
  }();
  (void)initialised;
  SendMessageW(main_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(main_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

  BuildToolBar();
  BuildStatusBar();
  monitor_ = std::make_unique<MonitorPage>(main_, gateway_, binder_);
  download_ = std::make_unique<DownloadPage>(main_, gateway_, binder_);
  settings_ = std::make_unique<SettingsPage>(main_, gateway_, binder_);
  for (const char* panel : {"Panel1", "Panel2", "Panel3"})
    binder_.Bind(panel, [this](const Control&) { ShowPanels(); });
  Layout();

  WindowHooks& hooks = gateway_.Window();
  // The tray holds the hidden window; where the shell refuses the icon, the window is
  // minimised instead of hidden, or it could never come back.
  hooks.trayAvailable = [this] { return tray_.SetVisible(true); };
  hooks.setTrayVisible = [this](bool visible) { tray_.SetVisible(visible); };
  hooks.trayMessage = [this](const std::string& text) { tray_.Message(Gateway::kTitle, text); };
  hooks.trayTip = [this](const std::string& text) { tray_.SetTip(text); };
  // The icon is there from the window's creation on.
  tray_.SetVisible(true);

  binder_.Refresh();
  binder_.SetShowing(IsWindowVisible(main_) && !IsIconic(main_));
  MonitorSeen();
}

Screens::~Screens() {
  WindowHooks& hooks = gateway_.Window();
  hooks.trayAvailable = nullptr;
  hooks.setTrayVisible = nullptr;
  hooks.trayMessage = nullptr;
  hooks.trayTip = nullptr;
  // The screens' windows go while the pages that serve their notices still exist.
  for (HWND panel : {monitor_->Window(), download_->Window(), settings_->Window()})
    DestroyWindow(panel);
  if (toolBar_) DestroyWindow(toolBar_);
  if (toolImages_) ImageList_Destroy(toolImages_);
  tray_.SetVisible(false);
  DestroyIcon(icon_);
  DestroyIcon(smallIcon_);
}

void Screens::BuildToolBar() {
  toolBar_ = CreateWindowExW(0, TOOLBARCLASSNAMEW, nullptr,
                             WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | CCS_TOP | CCS_NODIVIDER, 0, 0,
                             0, 0, main_, reinterpret_cast<HMENU>(id::kToolBar1),
                             GetModuleHandleW(nullptr), nullptr);
  SendMessageW(toolBar_, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont()), FALSE);
  SendMessageW(toolBar_, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
  toolImages_ = ToolImages(Px(kImageSize));
  SendMessageW(toolBar_, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(toolImages_));
  std::wstring captions[std::size(kToolButtons)];
  TBBUTTON buttons[std::size(kToolButtons)] = {};
  for (std::size_t i = 0; i < std::size(kToolButtons); ++i) {
    captions[i] = Widen(kToolButtons[i].caption);
    buttons[i].iBitmap = static_cast<int>(i);
    buttons[i].idCommand = kToolButtons[i].id;
    buttons[i].fsState = TBSTATE_ENABLED;
    buttons[i].fsStyle = BTNS_BUTTON;
    buttons[i].iString = reinterpret_cast<INT_PTR>(captions[i].c_str());
  }
  SendMessageW(toolBar_, TB_ADDBUTTONSW, std::size(buttons), reinterpret_cast<LPARAM>(buttons));
  SendMessageW(toolBar_, TB_SETBUTTONSIZE, 0, MAKELPARAM(Px(55), Px(36)));
  SendMessageW(toolBar_, TB_AUTOSIZE, 0, 0);
  // The refresh button is hidden and disabled; the settings screen's save runs it.
  for (const ToolButton& b : kToolButtons) {
    binder_.Bind(b.name, [this, id = b.id](const Control& c) {
      SendMessageW(toolBar_, TB_ENABLEBUTTON, static_cast<WPARAM>(id), c.Enabled());
      SendMessageW(toolBar_, TB_HIDEBUTTON, static_cast<WPARAM>(id), !c.Visible());
    });
  }
}

void Screens::BuildStatusBar() {
  statusBar_ = CreateWindowExW(0, STATUSCLASSNAMEW, nullptr, WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP,
                               0, 0, 0, 0, main_, reinterpret_cast<HMENU>(id::kStatusBar1),
                               GetModuleHandleW(nullptr), nullptr);
  SendMessageW(statusBar_, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont()), FALSE);
  // The clock, the name of the screen, the notice of a fault or recovery, and the version
  // at the right end, as wide as its text.
  SetStatusParts();
  for (int part = 0; part < 4; ++part) {
    binder_.Bind("StatusPanel" + std::to_string(part), [this, part](const Control& c) {
      if (part == 3) {
        versionWidth_ = TextWidth(statusBar_, Widen(c.Text()));
        SetStatusParts();
      }
      SendMessageW(statusBar_, SB_SETTEXTW, static_cast<WPARAM>(part),
                   reinterpret_cast<LPARAM>(Widen(c.Text()).c_str()));
    });
  }
}

void Screens::SetStatusParts() {
  RECT client;
  GetClientRect(main_, &client);
  // The version's part is as wide as its text, with room for the borders and the grip;
  // the notice takes what is left.
  const int version =
      versionWidth_ > 0 ? versionWidth_ + Px(12) + GetSystemMetrics(SM_CXVSCROLL) : 0;
  const int edges[] = {Px(150), Px(300),
                       std::max(Px(300), static_cast<int>(client.right) - version), -1};
  SendMessageW(statusBar_, SB_SETPARTS, std::size(edges), reinterpret_cast<LPARAM>(edges));
}

void Screens::Layout() {
  SendMessageW(toolBar_, TB_AUTOSIZE, 0, 0);
  SendMessageW(statusBar_, WM_SIZE, 0, 0);
  SetStatusParts();
  RECT client;
  GetClientRect(main_, &client);
  const int top = HeightOf(toolBar_);
  const int height = std::max(0, static_cast<int>(client.bottom) - top - HeightOf(statusBar_));
  MoveWindow(monitor_->Window(), 0, top, client.right, height, TRUE);
  MoveWindow(download_->Window(), 0, top, client.right, height, TRUE);
  // The settings screen keeps its design size.
  MoveWindow(settings_->Window(), Px(1), top, Px(624), Px(472), TRUE);
}

void Screens::ShowPanels() {
  // The monitor screen is shown unless another screen's panel is up.
  FormModel& form = gateway_.Form();
  HWND shown = monitor_->Window();
  if (form["Panel2"].Visible()) shown = download_->Window();
  if (form["Panel3"].Visible()) shown = settings_->Window();
  for (HWND panel : {monitor_->Window(), download_->Window(), settings_->Window()})
    ShowWindow(panel, panel == shown ? SW_SHOWNA : SW_HIDE);
  monitorUp_ = shown == monitor_->Window();
  MonitorSeen();
}

void Screens::MonitorSeen() {
  monitor_->SetShowing(monitorUp_ && binder_.Showing());
}

bool Screens::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SIZE:
      if (wparam == SIZE_MINIMIZED) {
        binder_.SetShowing(false);
      } else {
        Layout();
        binder_.SetShowing(IsWindowVisible(main_) != FALSE);
      }
      MonitorSeen();
      return true;
    case WM_SHOWWINDOW:
      binder_.SetShowing(wparam != 0 && !IsIconic(main_));
      MonitorSeen();
      return false;
    case WM_COMMAND:
      for (const ToolButton& b : kToolButtons) {
        if (LOWORD(wparam) != b.id) continue;
        Dispatch(gateway_, b.name, InputEvent::Clicked);
        return true;
      }
      return false;
    case TrayIcon::kCallback:
      if (TrayIcon::IsDoubleClick(lparam)) Dispatch(gateway_, "TrayIcon1", InputEvent::Clicked);
      return true;
    case WM_ENDSESSION:
      if (wparam) tray_.SetVisible(false);
      return false;
    case WM_TIMER:
      return tray_.Timer(wparam);
    case WM_SETTINGCHANGE:
    case WM_SYSCOLORCHANGE:
      // Presentation settings and the session's lock come as WM_SETTINGCHANGE; High
      // Contrast as both. The common controls learn of new colours only from their parent.
      tray_.NotificationsMayHaveChanged();
      ReadHighContrast();
      download_->SchemeChanged();
      if (message == WM_SYSCOLORCHANGE) EnumChildWindows(main_, ForwardColorChange, 0);
      RedrawWindow(main_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
      return false;
    default:
      if (message == tray_.TaskbarCreated()) {
        tray_.ShellRestarted();
        return true;
      }
      return false;
  }
}

}  // namespace ol::win
