#include "win/settings_page.h"

#include <commctrl.h>

#include "win/control_ids.h"

namespace ol::win {
namespace {

using KeyFilter = bool (*)(char32_t);

// The filter of a filtered edit, for the checks after its text changed.
constexpr wchar_t kFilterProperty[] = L"OrderLinkKeyFilter";

std::u16string_view Units(const std::wstring& text) {
  return {reinterpret_cast<const char16_t*>(text.data()), text.size()};
}

std::wstring ClipboardText(HWND owner) {
  std::wstring text;
  if (!OpenClipboard(owner)) return text;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
      text = chars;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

// Drops a typed character that the logic's filter refuses, before it reaches the edit.
// Control characters other than backspace type nothing and keep their usual meaning. A
// paste goes in without what the filter refuses, so the edit's limit counts only what
// stays.
LRESULT CALLBACK FilterProc(HWND edit, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                            DWORD_PTR data) {
  const auto filter = reinterpret_cast<KeyFilter>(data);
  if (message == WM_NCDESTROY) RemovePropW(edit, kFilterProperty);
  if (message == WM_CHAR) {
    const auto c = static_cast<char32_t>(wparam);
    if ((c >= 0x20 || c == U'\b') && c != 0x7F && !filter(c)) return 0;
  } else if (message == WM_PASTE) {
    const std::wstring text = ClipboardText(edit);
    const FilteredText kept = FilterText(Units(text), text.size(), filter, text.size());
    const std::wstring insert(kept.text.begin(), kept.text.end());
    SendMessageW(edit, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(insert.c_str()));
    return 0;
  }
  return DefSubclassProc(edit, message, wparam, lparam);
}

// Holds the text of a filtered edit to its filter and limit whatever brought it in: an
// input method's commit, another program's WM_SETTEXT or EM_REPLACESEL. True when it had
// to change the text, which notifies again with the text held.
bool HoldToFilter(HWND edit) {
  const auto filter = reinterpret_cast<KeyFilter>(GetPropW(edit, kFilterProperty));
  if (!filter) return false;
  const std::wstring text = Widen(WindowText(edit));
  DWORD start = 0, end = 0;
  SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  const auto limit = static_cast<std::size_t>(SendMessageW(edit, EM_GETLIMITTEXT, 0, 0));
  const FilteredText held = FilterText(Units(text), end, filter, limit);
  if (Units(text) == held.text) return false;
  SetWindowTextW(edit, std::wstring(held.text.begin(), held.text.end()).c_str());
  SendMessageW(edit, EM_SETSEL, held.caret, held.caret);
  return true;
}

// A single-line edit of at most limit characters that takes only what filter lets pass.
HWND MakeFilteredEdit(HWND page, RECT box, int id, int limit, KeyFilter filter) {
  HWND edit = MakeChild(page, L"EDIT", "", WS_BORDER | ES_AUTOHSCROLL, box, id);
  SendMessageW(edit, EM_SETLIMITTEXT, static_cast<WPARAM>(limit), 0);
  SetWindowSubclass(edit, FilterProc, 1, reinterpret_cast<DWORD_PTR>(filter));
  SetPropW(edit, kFilterProperty, reinterpret_cast<HANDLE>(filter));
  return edit;
}

void MirrorItems(HWND control, const std::vector<std::string>& lines, UINT count, UINT text,
                 UINT textLength, UINT reset, UINT add) {
  bool same = static_cast<std::size_t>(SendMessageW(control, count, 0, 0)) == lines.size();
  for (std::size_t i = 0; same && i < lines.size(); ++i) {
    const auto length = SendMessageW(control, textLength, i, 0);
    std::wstring item(static_cast<std::size_t>(length > 0 ? length : 0) + 1, L'\0');
    SendMessageW(control, text, i, reinterpret_cast<LPARAM>(item.data()));
    item.resize(static_cast<std::size_t>(length > 0 ? length : 0));
    same = Narrow(item) == lines[i];
  }
  if (same) return;
  SendMessageW(control, WM_SETREDRAW, FALSE, 0);
  SendMessageW(control, reset, 0, 0);
  for (const std::string& line : lines)
    SendMessageW(control, add, 0, reinterpret_cast<LPARAM>(Widen(line).c_str()));
  SendMessageW(control, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(control, nullptr, TRUE);
}

void AddHint(HWND tips, HWND button, const std::string& hint) {
  std::wstring text = Widen(hint);
  TOOLINFOW tool{};
  // The size every version of the common controls takes: before version 6 the full
  // record of a Windows 7 build is refused, and the hint would never show.
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = GetParent(button);
  tool.uId = reinterpret_cast<UINT_PTR>(button);
  tool.lpszText = text.data();
  SendMessageW(tips, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

}  // namespace

SettingsPage::SettingsPage(HWND parent, Gateway& gateway, Binder& binder)
    : gateway_(gateway), binder_(binder) {
  panel_ = MakePanel(parent, id::kPanel3, Box(1, 41, 624, 472), this);

  struct Button {
    const char* name;
    int id;
    const char* caption;
    const char* hint;
    RECT r;
  };
  const Button buttons[] = {
      {"BitBtn2", id::kBitBtn2, "保存", nullptr, Box(224, 432, 75, 25)},
      {"Button3", id::kButton3, "退出", nullptr, Box(352, 432, 75, 25)},
      {"BitBtn3", id::kBitBtn3, "添加手持", "点击添加手持号", Box(328, 165, 65, 25)},
      {"Button1", id::kButton1, "频道设置", "点击进行频道设置", Box(376, 130, 65, 25)},
      {"Button5", id::kButton5, "删除选择", nullptr, Box(456, 256, 75, 25)},
      {"Button6", id::kButton6, "清除所有", nullptr, Box(456, 304, 75, 25)},
  };
  HWND tips = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, panel_,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
  for (const Button& b : buttons) {
    HWND button = MakeChild(panel_, L"BUTTON", b.caption, BS_PUSHBUTTON, b.r, b.id);
    if (b.hint) AddHint(tips, button, b.hint);
    inputs_.Add(b.id, b.name);
    binder.Bind(b.name, [button](const Control& c) { MirrorState(button, c); });
  }

  tabs_ = MakeChild(panel_, WC_TABCONTROLW, "", 0, Box(66, 24, 497, 393), id::kPageControl1);
  SendMessageW(tabs_, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont(12, true)), FALSE);
  for (int n = 1; n <= 4; ++n) {
    std::wstring caption = Widen("基站" + std::to_string(n));
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = caption.data();
    SendMessageW(tabs_, TCM_INSERTITEMW, static_cast<WPARAM>(n - 1),
                 reinterpret_cast<LPARAM>(&item));
  }
  RECT area;
  GetClientRect(tabs_, &area);
  TabCtrl_AdjustRect(tabs_, FALSE, &area);
  // The tab control's page area, in design pixels of the settings panel.
  area = Box(66 + Design(area.left), 24 + Design(area.top), Design(area.right - area.left),
             Design(area.bottom - area.top));
  for (int n = 1; n <= 4; ++n) BuildPage(n, area, binder);
  // Top to bottom: the buttons, the pages, the tab control under them all.
  for (const SlotControls& s : slots_)
    SetWindowPos(s.page, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SetWindowPos(tabs_, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  ShowPage(0);

  binder.Bind("PageControl1", [this](const Control& c) {
    const int index = c.ItemIndex() >= 0 && c.ItemIndex() < 4 ? c.ItemIndex() : 0;
    if (TabCtrl_GetCurSel(tabs_) != index) TabCtrl_SetCurSel(tabs_, index);
    ShowPage(index);
    EnableWindow(tabs_, c.Enabled());
  });
  // The logic names the control that should have the keyboard focus.
  binder.Bind("ActiveControl", [this](const Control& c) {
    auto target = byName_.find(c.Text());
    if (target != byName_.end() && IsWindowVisible(target->second)) ::SetFocus(target->second);
  });
}

void SettingsPage::Mirror(const std::function<void()>& show) {
  const bool outer = !mirroring_;
  mirroring_ = true;
  show();
  if (outer) mirroring_ = false;
}

HWND SettingsPage::AddCombo(int slot, int field, const std::string& family, int top) {
  const std::string name = family + std::to_string(slot);
  HWND page = slots_[static_cast<std::size_t>(slot - 1)].page;
  // The height is the open list's: about twelve items.
  HWND box = MakeChild(page, L"COMBOBOX", "", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL,
                       Box(150, top, 145, 200), id::SlotControl(slot, field));
  byName_[name] = box;
  inputs_.Add(id::SlotControl(slot, field), name);
  combos_.emplace_back(name, box);
  return box;
}

void SettingsPage::BuildPage(int slot, RECT area, Binder& binder) {
  SlotControls& s = slots_[static_cast<std::size_t>(slot - 1)];
  s.page = MakePanel(panel_, id::kTabSheet1 + slot - 1, area, this);
  const char* labels[] = {"串口设置", "基站ID", "频道", "手持编号"};
  for (int i = 0; i < 4; ++i)
    MakeChild(s.page, L"STATIC", labels[i], SS_RIGHT | SS_CENTERIMAGE, Box(60, 15 + 35 * i, 84, 21),
              -1);
  s.port = AddCombo(slot, id::kCommId, "COMMID", 15);
  s.stationId = MakeFilteredEdit(s.page, Box(150, 50, 145, 21), id::SlotControl(slot, id::kJzId), 2,
                                 &SettingsScreen::JZID1KeyPress);
  s.channel = AddCombo(slot, id::kPdId, "PDID", 85);
  s.handheld = MakeFilteredEdit(s.page, Box(150, 120, 97, 21), id::SlotControl(slot, id::kPadId), 3,
                                &SettingsScreen::PADID1KeyPress);
  s.list =
      MakeChild(s.page, L"LISTBOX", "", WS_BORDER | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT,
                Box(150, 160, 225, 169), id::SlotControl(slot, id::kPadList));
  const std::string n = std::to_string(slot);
  byName_["JZID" + n] = s.stationId;
  byName_["PADID" + n] = s.handheld;
  byName_["PADLIST" + n] = s.list;
  inputs_.Add(id::SlotControl(slot, id::kJzId), "JZID" + n);
  inputs_.Add(id::SlotControl(slot, id::kPadId), "PADID" + n);
  inputs_.Add(id::SlotControl(slot, id::kPadList), "PADLIST" + n);

  for (HWND box : {s.port, s.channel}) {
    binder.Bind(box == s.port ? "COMMID" + n : "PDID" + n, [this, box](const Control& c) {
      Mirror([&] {
        MirrorItems(box, c.Lines(), CB_GETCOUNT, CB_GETLBTEXT, CB_GETLBTEXTLEN, CB_RESETCONTENT,
                    CB_ADDSTRING);
        if (WindowText(box) != c.Text()) {
          const auto index = SendMessageW(box, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                          reinterpret_cast<LPARAM>(Widen(c.Text()).c_str()));
          SendMessageW(box, CB_SETCURSEL, index, 0);
          SetText(box, c.Text());
        }
        MirrorState(box, c);
      });
    });
  }
  for (HWND edit : {s.stationId, s.handheld}) {
    binder.Bind(edit == s.stationId ? "JZID" + n : "PADID" + n, [this, edit](const Control& c) {
      Mirror([&] {
        SetText(edit, c.Text());
        MirrorState(edit, c);
      });
    });
  }
  binder.Bind("PADLIST" + n, [this, list = s.list](const Control& c) {
    Mirror([&] {
      MirrorItems(list, c.Lines(), LB_GETCOUNT, LB_GETTEXT, LB_GETTEXTLEN, LB_RESETCONTENT,
                  LB_ADDSTRING);
      const int row = c.ItemIndex() >= 0 && static_cast<std::size_t>(c.ItemIndex()) < c.LineCount()
                          ? c.ItemIndex()
                          : -1;
      SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(row), 0);
      MirrorState(list, c);
    });
  });
}

void SettingsPage::ShowPage(int index) {
  for (int i = 0; i < 4; ++i)
    ShowWindow(slots_[static_cast<std::size_t>(i)].page, i == index ? SW_SHOWNA : SW_HIDE);
}

void SettingsPage::Collect() {
  binder_.Refresh();  // what the logic changed is on screen first
  for (const auto& [name, box] : combos_) {
    const std::string shown = WindowText(box);
    if (shown != gateway_.Form()[name].Text())
      Dispatch(gateway_, name, InputEvent::EditedText, Input::Text(shown));
  }
}

void SettingsPage::Command(int id, int code, HWND control) {
  // What the window shows of the form model is no input of the operator's.
  if (mirroring_ && code != BN_CLICKED) return;
  if (code == EN_CHANGE && HoldToFilter(control)) return;
  if (code == BN_CLICKED) Collect();
  inputs_.Hand(gateway_, id, code, control);
}

LRESULT SettingsPage::Notify(const NMHDR& header) {
  if (header.idFrom == id::kPageControl1 && header.code == TCN_SELCHANGE) {
    const int index = TabCtrl_GetCurSel(tabs_);
    ShowPage(index);
    Dispatch(gateway_, "PageControl1", InputEvent::Selected, Input::Row(index));
  }
  return 0;
}

}  // namespace ol::win
