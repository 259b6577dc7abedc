#include "win/widgets.h"

#include <commctrl.h>

#include <map>
#include <utility>

#include "platform/win32_event_loop.h"

namespace ol::win {
namespace {

constexpr wchar_t kPanelClass[] = L"OrderLinkPanel";

struct PanelData {
  PanelHandler* handler;
  HBRUSH background;  // nullptr: the dialog colour
};

PanelData* DataOf(HWND panel) {
  return reinterpret_cast<PanelData*>(GetWindowLongPtrW(panel, GWLP_USERDATA));
}

LRESULT PanelHandle(HWND panel, UINT message, WPARAM wparam, LPARAM lparam) {
  PanelData* data = DataOf(panel);
  switch (message) {
    case WM_NCCREATE: {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
      SetWindowLongPtrW(panel, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      break;
    }
    case WM_NCDESTROY:
      if (data && data->background) DeleteObject(data->background);
      delete data;
      SetWindowLongPtrW(panel, GWLP_USERDATA, 0);
      break;
    case WM_ERASEBKGND:
      if (data && data->background) {
        RECT r;
        GetClientRect(panel, &r);
        FillRect(reinterpret_cast<HDC>(wparam), &r, data->background);
        return 1;
      }
      break;
    case WM_COMMAND:
      if (data && data->handler && lparam != 0)
        data->handler->Command(LOWORD(wparam), HIWORD(wparam), reinterpret_cast<HWND>(lparam));
      return 0;
    case WM_NOTIFY:
      if (data && data->handler) return data->handler->Notify(*reinterpret_cast<NMHDR*>(lparam));
      return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      auto dc = reinterpret_cast<HDC>(wparam);
      auto control = reinterpret_cast<HWND>(lparam);
      const COLORREF color =
          data && data->handler ? data->handler->TextColor(GetDlgCtrlID(control)) : CLR_INVALID;
      // A read-only edit asks as a static does; it keeps the colour of an edit.
      wchar_t cls[16] = {};
      GetClassNameW(control, cls, 16);
      if (lstrcmpiW(cls, L"Edit") == 0 && IsWindowEnabled(control)) {
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      // The scheme's text colour unless told otherwise, as DefWindowProc would set it: the
      // device context's own black vanishes on a High Contrast Black face.
      SetTextColor(dc, color != CLR_INVALID ? color : GetSysColor(COLOR_WINDOWTEXT));
      if (data && data->background) {
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<LRESULT>(data->background);
      }
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_SIZE:
      if (data && data->handler)
        data->handler->Resized(panel, Design(LOWORD(lparam)), Design(HIWORD(lparam)));
      return 0;
    default:
      break;
  }
  return DefWindowProcW(panel, message, wparam, lparam);
}

LRESULT CALLBACK PanelProc(HWND panel, UINT message, WPARAM wparam, LPARAM lparam) {
  return Win32EventLoop::Guarded([&] { return PanelHandle(panel, message, wparam, lparam); }, 0);
}

void RegisterPanelClass() {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = PanelProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // the arrow
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kPanelClass;
    return RegisterClassExW(&wc) != 0;
  }();
  (void)registered;
}

// Controls the operator works with are reached with Tab; labels, group boxes and the
// multi-line log (which keeps Tab and the arrows for itself) are not.
bool TakesFocus(const wchar_t* cls, DWORD style) {
  if (lstrcmpiW(cls, L"EDIT") == 0) return (style & ES_MULTILINE) == 0;
  if (lstrcmpiW(cls, L"BUTTON") == 0) return (style & BS_TYPEMASK) != BS_GROUPBOX;
  return lstrcmpiW(cls, L"COMBOBOX") == 0 || lstrcmpiW(cls, L"LISTBOX") == 0 ||
         lstrcmpiW(cls, WC_LISTVIEWW) == 0 || lstrcmpiW(cls, WC_TABCONTROLW) == 0;
}

bool IsClass(HWND window, const wchar_t* cls) {
  wchar_t name[32] = {};
  GetClassNameW(window, name, 32);
  return lstrcmpiW(name, cls) == 0;
}

std::string ItemText(HWND control, WPARAM index, UINT lengthMessage, UINT textMessage) {
  const auto length = SendMessageW(control, lengthMessage, index, 0);
  if (length < 0) return {};
  std::wstring item(static_cast<std::size_t>(length) + 1, L'\0');
  SendMessageW(control, textMessage, index, reinterpret_cast<LPARAM>(item.data()));
  item.resize(static_cast<std::size_t>(length));
  return Narrow(item);
}

// The operator's input a child control's notification stands for; false for none.
bool InputOf(HWND control, int code, InputEvent& event, Input& in) {
  if (IsClass(control, L"BUTTON") && code == BN_CLICKED) {
    const LONG type = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
    event = InputEvent::Clicked;
    if (type == BS_AUTOCHECKBOX || type == BS_CHECKBOX) {
      event = InputEvent::Toggled;
      in.checked = SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
    return true;
  }
  if (IsClass(control, L"COMBOBOX") && code == CBN_SELCHANGE) {
    // The edit takes the item's text only after this notice.
    event = InputEvent::Selected;
    in.index = static_cast<int>(SendMessageW(control, CB_GETCURSEL, 0, 0));
    if (in.index >= 0)
      in.text = ItemText(control, static_cast<WPARAM>(in.index), CB_GETLBTEXTLEN, CB_GETLBTEXT);
    return true;
  }
  if (IsClass(control, L"LISTBOX") && code == LBN_SELCHANGE) {
    event = InputEvent::Selected;
    in.index = static_cast<int>(SendMessageW(control, LB_GETCURSEL, 0, 0));
    return true;
  }
  if ((code == EN_CHANGE && IsClass(control, L"EDIT")) ||
      (code == CBN_EDITCHANGE && IsClass(control, L"COMBOBOX"))) {
    event = InputEvent::EditedText;
    in.text = WindowText(control);
    return true;
  }
  return false;
}

}  // namespace

bool InputNames::Hand(Gateway& gateway, int id, int code, HWND control) const {
  auto name = names_.find(id);
  InputEvent event = InputEvent::Clicked;
  Input in;
  return name != names_.end() && InputOf(control, code, event, in) &&
         Dispatch(gateway, name->second, event, in);
}

std::string WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  return Narrow(text);
}

void SetText(HWND window, const std::string& utf8) {
  if (WindowText(window) != utf8) SetWindowTextW(window, Widen(utf8).c_str());
}

void MirrorState(HWND window, const Control& c) {
  if ((IsWindowEnabled(window) != FALSE) != c.Enabled()) EnableWindow(window, c.Enabled());
  const bool shown = (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0;
  if (shown != c.Visible()) ShowWindow(window, c.Visible() ? SW_SHOWNA : SW_HIDE);
}

namespace {

int Dpi() {
  static const int dpi = [] {
    HDC screen = GetDC(nullptr);
    const int d = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return d > 0 ? d : 96;
  }();
  return dpi;
}

}  // namespace

int Px(int design) {
  return MulDiv(design, Dpi(), 96);
}
int Design(int pixels) {
  return MulDiv(pixels, 96, Dpi());
}

void Place(HWND window, int left, int top, int width, int height) {
  MoveWindow(window, Px(left), Px(top), Px(width), Px(height), TRUE);
}

HFONT UiFont(int pixels, bool bold) {
  static std::map<std::pair<int, bool>, HFONT> fonts;
  HFONT& font = fonts[{pixels, bold}];
  // Tahoma is linked to a Chinese font by the system (FontLink), so captions in Chinese
  // show in it as well.
  if (!font)
    font = CreateFontW(-Px(pixels), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, L"Tahoma");
  return font;
}

HWND MakeChild(HWND parent, const wchar_t* cls, const std::string& text, DWORD style, RECT r,
               int id, DWORD exStyle) {
  if (TakesFocus(cls, style)) style |= WS_TABSTOP;
  HWND child = CreateWindowExW(
      exStyle, cls, Widen(text).c_str(), WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | style,
      Px(r.left), Px(r.top), Px(r.right - r.left), Px(r.bottom - r.top), parent,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont()), FALSE);
  return child;
}

void SetPanelBackground(HWND panel, COLORREF background) {
  PanelData* data = DataOf(panel);
  if (!data) return;
  if (data->background) DeleteObject(data->background);
  data->background = background == CLR_INVALID ? nullptr : CreateSolidBrush(background);
  RedrawWindow(panel, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

HWND MakePanel(HWND parent, int id, RECT r, PanelHandler* handler, COLORREF background,
               DWORD extraStyle) {
  RegisterPanelClass();
  auto* data =
      new PanelData{handler, background == CLR_INVALID ? nullptr : CreateSolidBrush(background)};
  // Tab navigation descends into the panel's controls.
  HWND panel = CreateWindowExW(
      WS_EX_CONTROLPARENT, kPanelClass, L"",
      WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | extraStyle, Px(r.left), Px(r.top),
      Px(r.right - r.left), Px(r.bottom - r.top), parent,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), data);
  // A panel that failed after WM_NCCREATE has freed its data in WM_NCDESTROY already.
  return panel;
}

}  // namespace ol::win
