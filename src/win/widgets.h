#pragma once

#include <windows.h>

#include <commctrl.h>

#include <map>
#include <string>
#include <string_view>

#include "core/form_model.h"
#include "platform/win32_text.h"
#include "view/input.h"

// Small pieces the native screens share: the window's texts and fonts, child controls, and panels
// that hand their children's notifications to the screen that owns them.
namespace ol::win {

std::string WindowText(HWND window);
// Sets the text only when it differs, so a mirrored text neither flickers nor moves the
// caret of an edit the operator is typing in.
void SetText(HWND window, const std::string& utf8);
// Shows the enabled and visible state of a control of the form model.
void MirrorState(HWND window, const Control& c);

// The window is laid out in pixels of a 96 dpi screen. The program tells Windows it
// scales itself (the manifest), so at 150 % every length goes through Px and text stays
// sharp instead of being stretched as a bitmap.
int Px(int design);
// A length in pixels of the screen back in design pixels.
int Design(int pixels);
// MoveWindow in design pixels.
void Place(HWND window, int left, int top, int width, int height);

// The window's font at a design pixel height; made once, kept for the life of the process.
HFONT UiFont(int pixels = 12, bool bold = false);

// A visible child control with the window's font, r in design pixels. Overlapping
// siblings are clipped, so the buttons laid over the settings pages paint correctly.
HWND MakeChild(HWND parent, const wchar_t* cls, const std::string& text, DWORD style, RECT r,
               int id, DWORD exStyle = 0);
inline RECT Box(int left, int top, int width, int height) {
  return RECT{left, top, left + width, top + height};
}

// The controls of a screen by their form model names: their notifications become the
// operator's input for the logic.
class InputNames {
 public:
  void Add(int id, std::string name) { names_[id] = std::move(name); }
  // Hands the input a notification of the control id stands for to the logic; false when
  // it stands for none.
  bool Hand(Gateway& gateway, int id, int code, HWND control) const;

 private:
  std::map<int, std::string> names_;
};

// What a panel does with its children's notifications.
class PanelHandler {
 public:
  virtual ~PanelHandler() = default;
  virtual void Command(int /*id*/, int /*code*/, HWND /*control*/) {}
  virtual LRESULT Notify(const NMHDR& /*header*/) { return 0; }
  // Text colour of a static control, or CLR_INVALID for the usual one.
  virtual COLORREF TextColor(int /*id*/) { return CLR_INVALID; }
  // The panel's new client size, in design pixels.
  virtual void Resized(HWND /*panel*/, int /*width*/, int /*height*/) {}
};

// A plain child window that carries controls: their WM_COMMAND, WM_NOTIFY and colour
// questions go to handler (which may be nullptr). background CLR_INVALID is the dialog
// colour.
HWND MakePanel(HWND parent, int id, RECT r, PanelHandler* handler,
               COLORREF background = CLR_INVALID, DWORD extraStyle = 0);
// A panel's background from now on (CLR_INVALID: the dialog colour), repainted.
void SetPanelBackground(HWND panel, COLORREF background);

}  // namespace ol::win
