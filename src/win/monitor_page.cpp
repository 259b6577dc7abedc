#include "win/monitor_page.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "core/text_file.h"
#include "win/control_ids.h"
#include "win/desktop_state.h"

namespace ol::win {
namespace {

constexpr int kMonitorTreeWidth = 129;
constexpr int kMonitorBarHeight = 30;
constexpr int kSwitchHeight = 28;  // the row of view buttons
constexpr int kFilterHeight = 28;  // the decoded view's filters and buttons
constexpr int kStationsHeight = 140;
constexpr const char* kViewCaptions[] = {"原始帧", "解码", "手持状态"};

// Item places packed into the item's lParam: station in the high half, handheld + 1 low.
LPARAM Pack(std::size_t station, int handheld) {
  return static_cast<LPARAM>((station << 16) | static_cast<std::size_t>(handheld + 1));
}

HTREEITEM Insert(HWND tree, HTREEITEM parent, const TreeNode& node, LPARAM place,
                 bool stateImages) {
  std::wstring text = Widen(node.text);
  TVINSERTSTRUCTW insert{};
  insert.hParent = parent;
  insert.hInsertAfter = TVI_LAST;
  insert.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_STATE;
  insert.item.pszText = text.data();
  insert.item.lParam = place;
  insert.item.stateMask = TVIS_STATEIMAGEMASK | TVIS_EXPANDED;
  insert.item.state = TVIS_EXPANDED;
  if (stateImages && node.stateIndex > 0)
    insert.item.state |= INDEXTOSTATEIMAGEMASK(static_cast<UINT>(node.stateIndex));
  return reinterpret_cast<HTREEITEM>(
      SendMessageW(tree, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
}

// Whether the tree holds the same stations and handhelds with the same texts.
bool SameShape(HWND tree, const std::vector<TreeNode>& nodes) {
  auto textOf = [tree](HTREEITEM item) {
    wchar_t buffer[64] = {};
    TVITEMW it{};
    it.mask = TVIF_TEXT;
    it.hItem = item;
    it.pszText = buffer;
    it.cchTextMax = 64;
    SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&it));
    return Narrow(buffer);
  };
  HTREEITEM top = TreeView_GetRoot(tree);
  for (const TreeNode& node : nodes) {
    if (!top || textOf(top) != node.text) return false;
    HTREEITEM child = TreeView_GetChild(tree, top);
    for (const TreeNode& c : node.children) {
      if (!child || textOf(child) != c.text) return false;
      child = TreeView_GetNextSibling(tree, child);
    }
    if (child) return false;
    top = TreeView_GetNextSibling(tree, top);
  }
  return top == nullptr;
}

void SetState(HWND tree, HTREEITEM item, int stateIndex) {
  TreeView_SetItemState(tree, item,
                        INDEXTOSTATEIMAGEMASK(static_cast<UINT>(stateIndex > 0 ? stateIndex : 0)),
                        TVIS_STATEIMAGEMASK);
}

// The lines of an edit, split at its CR LF.
std::vector<std::string> EditLines(HWND edit) {
  const std::string text = WindowText(edit);
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find("\r\n", from)) != std::string::npos; from = at + 2)
    lines.push_back(text.substr(from, at - from));
  lines.push_back(text.substr(from));
  return lines;
}

std::wstring JoinLines(const std::vector<std::string>& lines) {
  std::wstring text;
  for (const std::string& line : lines) {
    if (!text.empty() || &line != &lines.front()) text += L"\r\n";
    text += Widen(line);
  }
  return text;
}

HWND MakeBoard(HWND parent, int id) {
  HWND list =
      MakeChild(parent, WC_LISTVIEWW, "",
                WS_BORDER | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER,
                Box(0, 0, 400, kStationsHeight), id);
  ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_INFOTIP);
  return list;
}

std::string ItemText(HWND list, int row, int column) {
  wchar_t buffer[256] = {};
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = buffer;
  item.cchTextMax = 256;
  SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  return Narrow(buffer);
}

// Shows rows in a report list, setting only the texts that differ, so nothing flickers
// and the selection stays; alerts takes each row's reason to stand out.
void ShowRows(HWND list, const std::vector<std::string>& columns, const std::vector<BoardRow>& rows,
              std::vector<std::string>& alerts) {
  HWND header = ListView_GetHeader(list);
  bool changed = false;
  if (Header_GetItemCount(header) != static_cast<int>(columns.size())) {
    for (int c = 0; c < static_cast<int>(columns.size()); ++c) {
      std::wstring text = Widen(columns[static_cast<std::size_t>(c)]);
      LVCOLUMNW column{};
      column.mask = LVCF_TEXT | LVCF_WIDTH;
      column.cx = Px(60);
      column.pszText = text.data();
      SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(c),
                   reinterpret_cast<LPARAM>(&column));
    }
    changed = true;
  }
  const int count = ListView_GetItemCount(list);
  for (int r = count - 1; r >= static_cast<int>(rows.size()); --r) {
    ListView_DeleteItem(list, r);
    changed = true;
  }
  for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
    const BoardRow& row = rows[static_cast<std::size_t>(r)];
    if (r >= count) {
      LVITEMW item{};
      item.mask = LVIF_TEXT;
      item.iItem = r;
      item.pszText = const_cast<wchar_t*>(L"");
      SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
    for (int c = 0; c < static_cast<int>(row.cells.size()); ++c) {
      const std::string& cell = row.cells[static_cast<std::size_t>(c)];
      if (r < count && ItemText(list, r, c) == cell) continue;
      std::wstring text = Widen(cell);
      LVITEMW item{};
      item.iSubItem = c;
      item.pszText = text.data();
      SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(r), reinterpret_cast<LPARAM>(&item));
      changed = true;
    }
  }
  std::vector<std::string> now;
  for (const BoardRow& row : rows) now.push_back(row.alert);
  if (now != alerts) {
    alerts = std::move(now);
    InvalidateRect(list, nullptr, TRUE);  // the tints
  }
  if (!changed) return;
  // Each column as wide as its widest text, measured in the list's font (the header's own
  // measure leaves Chinese captions cut).
  auto width = [list](const std::string& text) {
    return static_cast<int>(
        SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(Widen(text).c_str())));
  };
  for (std::size_t c = 0; c < columns.size(); ++c) {
    int w = width(columns[c]);
    for (const BoardRow& row : rows)
      if (c < row.cells.size()) w = std::max(w, width(row.cells[c]));
    ListView_SetColumnWidth(list, static_cast<int>(c), w + Px(16));
  }
}

}  // namespace

HWND MakeTree(HWND parent, int id, int width) {
  return MakeChild(
      parent, WC_TREEVIEWW, "",
      WS_BORDER | WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS,
      Box(0, 0, width, 400), id);
}

void ShowTree(HWND tree, const std::vector<TreeNode>& nodes, bool stateImages) {
  if (SameShape(tree, nodes)) {
    // Only the state images may differ: the selection and the scroll position stay.
    if (!stateImages) return;
    HTREEITEM top = TreeView_GetRoot(tree);
    for (const TreeNode& node : nodes) {
      SetState(tree, top, node.stateIndex);
      HTREEITEM child = TreeView_GetChild(tree, top);
      for (const TreeNode& c : node.children) {
        SetState(tree, child, c.stateIndex);
        child = TreeView_GetNextSibling(tree, child);
      }
      top = TreeView_GetNextSibling(tree, top);
    }
    return;
  }
  SendMessageW(tree, WM_SETREDRAW, FALSE, 0);
  TreeView_DeleteAllItems(tree);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    HTREEITEM top = Insert(tree, TVI_ROOT, nodes[i], Pack(i, -1), stateImages);
    for (std::size_t j = 0; j < nodes[i].children.size(); ++j)
      Insert(tree, top, nodes[i].children[j], Pack(i, static_cast<int>(j)), stateImages);
  }
  SendMessageW(tree, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(tree, nullptr, TRUE);
}

TreeNodeRef PlaceOf(HWND tree, HTREEITEM item) {
  TVITEMW it{};
  it.mask = TVIF_PARAM;
  it.hItem = item;
  SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&it));
  const auto packed = static_cast<std::size_t>(it.lParam);
  return TreeNodeRef{packed >> 16, static_cast<int>(packed & 0xFFFF) - 1};
}

void LogMirror::Show(HWND edit, const Control& c) {
  const LogUpdate update = follower_.Next(c);
  const std::size_t from = update.rebuild ? 0 : update.first;
  std::wstring text;
  for (std::size_t i = from; i < c.LineCount(); ++i) {
    // One line of the control is one line of the edit, whatever it holds.
    if (i > from || !update.rebuild) text += L"\r\n";
    for (wchar_t ch : Widen(c.Lines()[i])) text += ch == L'\r' || ch == L'\n' ? L' ' : ch;
  }
  if (update.rebuild) {
    SetWindowTextW(edit, text.c_str());
  } else if (!text.empty()) {
    const int end = GetWindowTextLengthW(edit);
    SendMessageW(edit, EM_SETSEL, end, end);
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  }
  if (update.drop > 0) {
    const auto cut = SendMessageW(edit, EM_LINEINDEX, update.drop, 0);
    SendMessageW(edit, EM_SETSEL, 0, cut);
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
  }
  const int end = GetWindowTextLengthW(edit);
  SendMessageW(edit, EM_SETSEL, end, end);
  SendMessageW(edit, EM_SCROLLCARET, 0, 0);
}

TrafficPane::TrafficPane(HWND parent, Gateway& gateway) : gateway_(gateway) {
  panel_ = MakePanel(parent, id::kTrafficPanel, Box(0, 0, 400, 400), this);
  MakeChild(panel_, L"STATIC", "基站", SS_LEFT | SS_CENTERIMAGE, Box(4, 3, 28, 22), -1);
  station_ = MakeChild(panel_, WC_COMBOBOXW, "", WS_VSCROLL | CBS_DROPDOWNLIST, Box(34, 3, 60, 200),
                       id::kStationFilter);
  MakeChild(panel_, L"STATIC", "手持", SS_LEFT | SS_CENTERIMAGE, Box(102, 3, 28, 22), -1);
  handheld_ = MakeChild(panel_, WC_COMBOBOXW, "", WS_VSCROLL | CBS_DROPDOWNLIST,
                        Box(132, 3, 70, 200), id::kHandheldFilter);
  copy_ =
      MakeChild(panel_, L"BUTTON", "复制", BS_PUSHBUTTON, Box(210, 2, 60, 24), id::kCopyTraffic);
  save_ =
      MakeChild(panel_, L"BUTTON", "保存…", BS_PUSHBUTTON, Box(275, 2, 60, 24), id::kSaveTraffic);
  text_ = MakeChild(panel_, L"EDIT", "",
                    WS_BORDER | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                        ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                    Box(0, kFilterHeight, 400, 300), id::kDecodedLog);
  SendMessageW(text_, EM_SETLIMITTEXT, 0, 0);
}

TrafficPane::~TrafficPane() {
  *alive_ = false;
}

TrafficFilter TrafficPane::Filter() const {
  auto picked = [](HWND box) {
    const LRESULT at = SendMessageW(box, CB_GETCURSEL, 0, 0);
    return at == CB_ERR ? -1 : static_cast<int>(SendMessageW(box, CB_GETITEMDATA, at, 0));
  };
  return {picked(station_), picked(handheld_)};
}

void TrafficPane::FillFilters() {
  // The loaded stations and their handhelds, keeping what the operator picked.
  TrafficChoices choices = gateway_.GetMonitor().FilterChoices();
  if (choices == choices_ && SendMessageW(station_, CB_GETCOUNT, 0, 0) > 0) return;
  choices_ = std::move(choices);
  const TrafficFilter before = Filter();
  auto fill = [](HWND box, const std::vector<std::pair<int, std::string>>& v, int picked) {
    SendMessageW(box, CB_RESETCONTENT, 0, 0);
    auto add = [box](const std::string& text, int n) {
      const LRESULT at =
          SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(text).c_str()));
      SendMessageW(box, CB_SETITEMDATA, static_cast<WPARAM>(at), static_cast<LPARAM>(n));
    };
    add(TrafficChoices::kAll, -1);
    int select = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
      add(v[i].second, v[i].first);
      if (v[i].first == picked) select = static_cast<int>(i) + 1;
    }
    SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(select), 0);
  };
  fill(station_, choices_.stations, before.station);
  fill(handheld_, choices_.handhelds, before.handheld);
  // A pick that went with its station shows every line again.
  const TrafficFilter after = Filter();
  if (after.station != before.station || after.handheld != before.handheld) follower_.Restart();
}

void TrafficPane::Refresh() {
  FillFilters();
  const TrafficUpdate update = follower_.Next(gateway_.GetMonitor().Log(), Filter());
  if (!update.rebuild && !update.rewriteLast && update.lines.empty()) return;
  // The view follows the end unless the operator scrolled back to read.
  SCROLLINFO bar{sizeof bar, SIF_ALL, 0, 0, 0, 0, 0};
  const bool atEnd =
      !GetScrollInfo(text_, SB_VERT, &bar) || bar.nPos + static_cast<int>(bar.nPage) > bar.nMax;
  const auto firstVisible = SendMessageW(text_, EM_GETFIRSTVISIBLELINE, 0, 0);
  DWORD selStart = 0, selEnd = 0;
  SendMessageW(text_, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart),
               reinterpret_cast<LPARAM>(&selEnd));
  auto replace = [this](WPARAM from, LPARAM to, const std::wstring& text) {
    SendMessageW(text_, EM_SETSEL, from, to);
    SendMessageW(text_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  };
  std::size_t dropped = 0, droppedChars = 0;
  if (update.rebuild) {
    SetWindowTextW(text_, JoinLines(update.lines).c_str());
    shownLines_ = update.lines.size();
  } else {
    const auto end = static_cast<LPARAM>(GetWindowTextLengthW(text_));
    if (update.rewriteLast && shownLines_ > 0)
      replace(static_cast<WPARAM>(SendMessageW(text_, EM_LINEINDEX, shownLines_ - 1, 0)), end,
              Widen(update.last));
    if (!update.lines.empty()) {
      const auto at = static_cast<LPARAM>(GetWindowTextLengthW(text_));
      replace(static_cast<WPARAM>(at), at,
              (shownLines_ > 0 ? L"\r\n" : L"") + JoinLines(update.lines));
      shownLines_ += update.lines.size();
    }
    // As many lines as the log keeps.
    if (shownLines_ > TrafficLog::kMaxLines) {
      dropped = shownLines_ - TrafficLog::kMaxLines;
      droppedChars = static_cast<std::size_t>(SendMessageW(text_, EM_LINEINDEX, dropped, 0));
      replace(0, static_cast<LPARAM>(droppedChars), L"");
      shownLines_ = TrafficLog::kMaxLines;
    }
  }
  if (atEnd || update.rebuild) {
    const int end = GetWindowTextLengthW(text_);
    SendMessageW(text_, EM_SETSEL, end, end);
    SendMessageW(text_, EM_SCROLLCARET, 0, 0);
    return;
  }
  auto back = [droppedChars](DWORD at) {
    return at > droppedChars ? at - static_cast<DWORD>(droppedChars) : 0;
  };
  SendMessageW(text_, EM_SETSEL, back(selStart), back(selEnd));
  const auto want = std::max<LRESULT>(0, firstVisible - static_cast<LRESULT>(dropped));
  SendMessageW(text_, EM_LINESCROLL, 0, want - SendMessageW(text_, EM_GETFIRSTVISIBLELINE, 0, 0));
}

void TrafficPane::Copy() {
  const std::wstring text = Widen(WindowText(text_));
  if (!OpenClipboard(panel_)) return;
  EmptyClipboard();
  const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
    std::memcpy(GlobalLock(memory), text.c_str(), bytes);
    GlobalUnlock(memory);
    if (!SetClipboardData(CF_UNICODETEXT, memory)) GlobalFree(memory);
  }
  CloseClipboard();
}

void TrafficPane::Save() {
  std::wstring file = Widen(gateway_.GetMonitor().TrafficFileName());
  file.resize(MAX_PATH, L'\0');
  const std::wstring title = Widen("保存通信记录");
  // Pairs of a name and a pattern, the list ending with an empty name.
  const std::wstring types = Widen("文本文件 (*.txt)") + std::wstring(L"\0*.txt\0", 7);
  HWND owner = GetAncestor(panel_, GA_ROOT);
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = types.c_str();
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = MAX_PATH;
  dialog.lpstrTitle = title.c_str();
  dialog.lpstrDefExt = L"txt";
  dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
  // The dialog serves the window's messages while it is open: the pane may be gone after.
  const std::shared_ptr<bool> alive = alive_;
  const BOOL picked = GetSaveFileNameW(&dialog);
  if (!*alive || !picked) return;
  try {
    SaveTrafficLines(std::filesystem::path(file.c_str()), EditLines(text_));
  } catch (const FileError& e) {
    MessageBoxW(owner, Widen(std::string("无法保存：") + e.what()).c_str(),
                Widen(Gateway::kTitle).c_str(), MB_OK | MB_ICONWARNING);
  }
}

void TrafficPane::Command(int id, int code, HWND) {
  if ((id == id::kStationFilter || id == id::kHandheldFilter) && code == CBN_SELCHANGE) {
    follower_.Restart();
    Refresh();
  } else if (id == id::kCopyTraffic && code == BN_CLICKED) {
    Copy();
  } else if (id == id::kSaveTraffic && code == BN_CLICKED) {
    Save();
  }
}

void TrafficPane::Resized(HWND, int width, int height) {
  if (!text_) return;  // not yet built
  Place(copy_, std::max(210, width - 130), 2, 60, 24);
  Place(save_, std::max(275, width - 65), 2, 60, 24);
  Place(text_, 0, kFilterHeight, width, std::max(0, height - kFilterHeight));
}

BoardPane::BoardPane(HWND parent, Gateway& gateway) : gateway_(gateway) {
  panel_ = MakePanel(parent, id::kBoardPanel, Box(0, 0, 400, 400), this);
  stations_ = MakeBoard(panel_, id::kStationBoard);
  handhelds_ = MakeBoard(panel_, id::kHandheldBoard);
}

void BoardPane::Refresh() {
  const Monitor& m = gateway_.GetMonitor();
  ShowRows(stations_, Board::StationColumns(), m.StationRows(), stationAlerts_);
  ShowRows(handhelds_, Board::HandheldColumns(), m.HandheldRows(), handheldAlerts_);
}

LRESULT BoardPane::Notify(const NMHDR& header) {
  const std::vector<std::string>* alerts = header.hwndFrom == stations_    ? &stationAlerts_
                                           : header.hwndFrom == handhelds_ ? &handheldAlerts_
                                                                           : nullptr;
  if (!alerts) return 0;
  auto alertOf = [alerts](std::size_t row) -> const std::string* {
    return row < alerts->size() && !(*alerts)[row].empty() ? &(*alerts)[row] : nullptr;
  };
  // The notices come from the lists, which expect them to be written to.
  auto& message = const_cast<NMHDR&>(header);
  if (header.code == NM_CUSTOMDRAW) {
    auto& draw = reinterpret_cast<NMLVCUSTOMDRAW&>(message);
    if (draw.nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
    if (draw.nmcd.dwDrawStage == CDDS_ITEMPREPAINT && alertOf(draw.nmcd.dwItemSpec)) {
      const Ink ink = FlaggedRow(HighContrast(), CurrentScheme());
      draw.clrText = ink.text;
      draw.clrTextBk = ink.back;
    }
    return CDRF_DODEFAULT;
  }
  if (header.code == LVN_GETINFOTIPW) {
    auto& tip = reinterpret_cast<NMLVGETINFOTIPW&>(message);
    const std::string* why =
        tip.iItem >= 0 ? alertOf(static_cast<std::size_t>(tip.iItem)) : nullptr;
    if (why && tip.pszText && tip.cchTextMax > 0) {
      const std::wstring text = Widen(*why);
      const std::size_t n = std::min(text.size(), static_cast<std::size_t>(tip.cchTextMax - 1));
      std::copy_n(text.c_str(), n, tip.pszText);
      tip.pszText[n] = L'\0';
    }
  }
  return 0;
}

void BoardPane::Resized(HWND, int width, int height) {
  if (!handhelds_) return;  // not yet built
  const int top = std::min(kStationsHeight, height);
  Place(stations_, 0, 0, width, top);
  Place(handhelds_, 0, top + 2, width, std::max(0, height - top - 2));
}

MonitorPage::MonitorPage(HWND parent, Gateway& gateway, Binder& binder)
    : gateway_(gateway), refresh_(gateway.Loop(), kPeriodMs) {
  panel_ = MakePanel(parent, id::kPanel1, Box(0, 0, 633, 470), this);
  tree_ = MakeTree(panel_, id::kTreeView1, kMonitorTreeWidth);
  for (int i = 0; i < 3; ++i)
    views_[i] = MakeChild(panel_, L"BUTTON", kViewCaptions[i],
                          BS_RADIOBUTTON | BS_PUSHLIKE | (i == 0 ? WS_GROUP : 0),
                          Box(kMonitorTreeWidth + 2 + 74 * i, 2, 72, 24), id::kRawView + i);
  SendMessageW(views_[0], BM_SETCHECK, BST_CHECKED, 0);
  memo_ = MakeChild(panel_, L"EDIT", "",
                    WS_BORDER | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                        ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                    Box(kMonitorTreeWidth, kSwitchHeight, 400, 400), id::kMemo1);
  // The edit's own limit (32 K characters by default) would stop the log.
  SendMessageW(memo_, EM_SETLIMITTEXT, 0, 0);
  edit2_ =
      MakeChild(panel_, L"EDIT", "", WS_BORDER | ES_AUTOHSCROLL, Box(4, 404, 65, 21), id::kEdit2);
  EnableWindow(edit2_, FALSE);
  label3_ =
      MakeChild(panel_, L"STATIC", "", SS_LEFT | SS_CENTERIMAGE, Box(75, 404, 97, 21), id::kLabel3);
  stop_ = MakeChild(panel_, L"BUTTON", "停止", BS_PUSHBUTTON, Box(500, 403, 75, 25), id::kButton4);
  ShowWindow(stop_, SW_HIDE);
  capture_ = MakeChild(panel_, L"BUTTON", "保存抓包", BS_PUSHBUTTON, Box(400, 403, 90, 25),
                       id::kSaveCapture);
  inputs_.Add(id::kButton4, "Button4");
  inputs_.Add(id::kSaveCapture, "SaveCapture");
  traffic_ = std::make_unique<TrafficPane>(panel_, gateway_);
  ShowWindow(traffic_->Window(), SW_HIDE);
  board_ = std::make_unique<BoardPane>(panel_, gateway_);
  ShowWindow(board_->Window(), SW_HIDE);
  refresh_.OnTimer = [this] { RefreshView(); };

  binder.Bind("TreeView1", [this](const Control& c) { ShowTree(tree_, c.Nodes(), false); });
  binder.Bind(
      "Memo1", [this](const Control& c) { log_.Show(memo_, c); }, LogFollower::kPeriodMs);
  binder.Bind("Edit2", [this](const Control& c) { SetText(edit2_, c.Text()); });
  binder.Bind("Label3", [this](const Control& c) { SetText(label3_, c.Text()); });
}

void MonitorPage::SetShowing(bool showing) {
  if (showing == showing_) return;
  showing_ = showing;
  Follow();
}

void MonitorPage::ShowView(int view) {
  if (view < 0 || view > 2 || view == view_) return;
  view_ = view;
  const HWND windows[] = {memo_, traffic_->Window(), board_->Window()};
  for (int i = 0; i < 3; ++i) {
    SendMessageW(views_[i], BM_SETCHECK, i == view ? BST_CHECKED : BST_UNCHECKED, 0);
    ShowWindow(windows[i], i == view ? SW_SHOWNA : SW_HIDE);
  }
  Follow();
}

void MonitorPage::Follow() {
  // Brought up to date at once when it comes into sight, then once a period.
  const bool on = showing_ && view_ != 0;
  if (on) RefreshView();
  refresh_.SetEnabled(on);
}

void MonitorPage::RefreshView() {
  if (view_ == 1) traffic_->Refresh();
  if (view_ == 2) board_->Refresh();
}

void MonitorPage::Command(int id, int code, HWND control) {
  if (inputs_.Hand(gateway_, id, code, control)) return;
  if (id >= id::kRawView && id <= id::kBoardView && code == BN_CLICKED) ShowView(id - id::kRawView);
}

LRESULT MonitorPage::Notify(const NMHDR& header) {
  if (header.idFrom == id::kTreeView1 && header.code == TVN_SELCHANGINGW) {
    const auto& change = reinterpret_cast<const NMTREEVIEWW&>(header);
    HTREEITEM item = change.itemNew.hItem;
    Dispatch(gateway_, "TreeView1", InputEvent::Selected,
             Input::Node(item ? std::optional(PlaceOf(tree_, item)) : std::nullopt));
    return FALSE;  // the change is always allowed
  }
  return 0;
}

COLORREF MonitorPage::TextColor(int id) {
  return id == id::kLabel3 ? LabelInk(Tone::Info, HighContrast(), CurrentScheme()) : CLR_INVALID;
}

void MonitorPage::Resized(HWND, int width, int height) {
  if (!board_) return;  // not yet built
  const int top = height - kMonitorBarHeight;
  Place(tree_, 0, 0, kMonitorTreeWidth, top);
  const int viewHeight = std::max(0, top - kSwitchHeight);
  for (HWND view : {memo_, traffic_->Window(), board_->Window()})
    Place(view, kMonitorTreeWidth, kSwitchHeight, width - kMonitorTreeWidth, viewHeight);
  Place(edit2_, 4, top + 4, 65, 21);
  Place(label3_, 75, top + 4, 97, 21);
  Place(stop_, width - 80, top + 3, 75, 25);
  Place(capture_, width - 175, top + 3, 90, 25);
}

}  // namespace ol::win
