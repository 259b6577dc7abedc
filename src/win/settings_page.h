#pragma once

#include <windows.h>

#include <array>
#include <functional>
#include <map>
#include <string>

#include "app/gateway.h"
#include "view/binder.h"
#include "win/widgets.h"

namespace ol::win {

// The settings screen (Panel3): the tab control PageControl1 with the four station pages
// and the six buttons laid over them, which act on the active page. Each control mirrors
// its control of the form model; an operator's edit is written into the form model first
// and then handed to the settings logic.
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

  Gateway& gateway_;
  FormModel& form_;
  HWND panel_ = nullptr;
  HWND tabs_ = nullptr;
  std::array<SlotControls, 4> slots_;
  std::map<std::string, HWND> byName_;  // for the control the logic gives the focus
  bool mirroring_ = false;              // the notices a mirror causes are not the operator's
};

}  // namespace ol::win
