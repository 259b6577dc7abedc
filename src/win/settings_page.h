#pragma once

#include <windows.h>

#include <array>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/gateway.h"
#include "view/binder.h"
#include "win/widgets.h"

namespace ol::win {

// The settings screen (Panel3): the tab control PageControl1 with the four station pages
// and the six buttons laid over them, which act on the active page. Each control mirrors
// its control of the form model; the operator's input goes through the input table.
class SettingsPage : public PanelHandler {
 public:
  SettingsPage(HWND parent, Gateway& gateway, Binder& binder);
  HWND Window() const { return panel_; }

  void Command(int id, int code, HWND control) override;
  LRESULT Notify(const NMHDR& header) override;

 private:
  struct SlotControls {
    HWND page = nullptr;  // TabSheetn
    HWND port = nullptr;
    HWND stationId = nullptr;
    HWND channel = nullptr;
    HWND handheld = nullptr;
    HWND list = nullptr;
  };
  void BuildPage(int slot, RECT area, Binder& binder);
  HWND AddCombo(int slot, int field, const std::string& family, int top);
  void ShowPage(int index);
  void Mirror(const std::function<void()>& show);
  // Another program may set a drop-down's text (WM_SETTEXT, CB_SETCURSEL) without any
  // notice: the texts are read into the form model before a button acts on them.
  void Collect();

  Gateway& gateway_;
  Binder& binder_;
  HWND panel_ = nullptr;
  HWND tabs_ = nullptr;
  std::array<SlotControls, 4> slots_;
  std::map<std::string, HWND> byName_;  // for the control the logic gives the focus
  InputNames inputs_;
  std::vector<std::pair<std::string, HWND>> combos_;  // COMMIDn and PDIDn
  bool mirroring_ = false;  // the notices a mirror causes are not the operator's
};

}  // namespace ol::win
