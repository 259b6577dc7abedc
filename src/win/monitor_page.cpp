#include "win/monitor_page.h"

#include <commctrl.h>

#include "win/control_ids.h"

namespace ol::win {
namespace {

constexpr int kTreeWidth = 129;
constexpr int kBarHeight = 30;

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

NodePlace PlaceOf(HWND tree, HTREEITEM item) {
  TVITEMW it{};
  it.mask = TVIF_PARAM;
  it.hItem = item;
  SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&it));
  const auto packed = static_cast<std::size_t>(it.lParam);
  return NodePlace{packed >> 16, static_cast<int>(packed & 0xFFFF) - 1};
}

const TreeNode* NodeAt(const std::vector<TreeNode>& nodes, NodePlace place) {
  if (place.station >= nodes.size()) return nullptr;
  const TreeNode& station = nodes[place.station];
  if (place.handheld < 0) return &station;
  const auto j = static_cast<std::size_t>(place.handheld);
  return j < station.children.size() ? &station.children[j] : nullptr;
}

void LogMirror::Show(HWND edit, const Control& c) {
  auto line = [](const std::string& text) {
    // One line of the control is one line of the edit, whatever it holds.
    std::wstring w = Widen(text);
    for (wchar_t& ch : w)
      if (ch == L'\r' || ch == L'\n') ch = L' ';
    return w;
  };
  const std::uint64_t added = c.Appended() - appended_;
  if (c.Rewrites() != rewrites_ || added > c.LineCount()) {
    std::wstring text;
    for (std::size_t i = 0; i < c.LineCount(); ++i) {
      if (i > 0) text += L"\r\n";
      text += line(c.Lines()[i]);
    }
    SetWindowTextW(edit, text.c_str());
    shownLines_ = c.LineCount();
  } else if (added > 0) {
    std::wstring text;
    for (std::size_t i = c.LineCount() - added; i < c.LineCount(); ++i) {
      if (shownLines_ > 0 || !text.empty()) text += L"\r\n";
      text += line(c.Lines()[i]);
    }
    const int end = GetWindowTextLengthW(edit);
    SendMessageW(edit, EM_SETSEL, end, end);
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    shownLines_ += added;
    // The edit keeps as many lines as the control does.
    if (shownLines_ > c.LineCount()) {
      const auto drop = static_cast<WPARAM>(shownLines_ - c.LineCount());
      const auto cut = SendMessageW(edit, EM_LINEINDEX, drop, 0);
      SendMessageW(edit, EM_SETSEL, 0, cut);
      SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
      shownLines_ = c.LineCount();
    }
  }
  appended_ = c.Appended();
  rewrites_ = c.Rewrites();
  const int end = GetWindowTextLengthW(edit);
  SendMessageW(edit, EM_SETSEL, end, end);
  SendMessageW(edit, EM_SCROLLCARET, 0, 0);
}

MonitorPage::MonitorPage(HWND parent, Gateway& gateway, Binder& binder) : gateway_(gateway) {
  panel_ = MakePanel(parent, id::kPanel1, Box(0, 0, 633, 470), this);
  tree_ = MakeTree(panel_, id::kTreeView1, kTreeWidth);
  memo_ = MakeChild(panel_, L"EDIT", "",
                    WS_BORDER | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                        ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                    Box(kTreeWidth, 0, 400, 400), id::kMemo1);
  // The edit's own limit (32 K characters by default) would stop the log.
  SendMessageW(memo_, EM_SETLIMITTEXT, 0, 0);
  edit2_ =
      MakeChild(panel_, L"EDIT", "", WS_BORDER | ES_AUTOHSCROLL, Box(4, 404, 65, 21), id::kEdit2);
  EnableWindow(edit2_, FALSE);
  label3_ =
      MakeChild(panel_, L"STATIC", "", SS_LEFT | SS_CENTERIMAGE, Box(75, 404, 97, 21), id::kLabel3);
  stop_ = MakeChild(panel_, L"BUTTON", "停止", BS_PUSHBUTTON, Box(500, 403, 75, 25), id::kButton4);
  ShowWindow(stop_, SW_HIDE);

  binder.Bind("TreeView1", [this](const Control& c) { ShowTree(tree_, c.Nodes(), false); });
  binder.Bind(
      "Memo1", [this](const Control& c) { log_.Show(memo_, c); }, LogMirror::kPeriodMs);
  binder.Bind("Edit2", [this](const Control& c) { SetText(edit2_, c.Text()); });
  binder.Bind("Label3", [this](const Control& c) { SetText(label3_, c.Text()); });
}

void MonitorPage::Command(int id, int code, HWND) {
  if (id == id::kButton4 && code == BN_CLICKED) gateway_.Button4Click();
}

LRESULT MonitorPage::Notify(const NMHDR& header) {
  if (header.idFrom == id::kTreeView1 && header.code == TVN_SELCHANGINGW) {
    const auto& change = reinterpret_cast<const NMTREEVIEWW&>(header);
    const TreeNode* node = change.itemNew.hItem ? NodeAt(gateway_.Form()["TreeView1"].Nodes(),
                                                         PlaceOf(tree_, change.itemNew.hItem))
                                                : nullptr;
    gateway_.Settings().TreeView1Changing(node);
    return FALSE;  // the change is always allowed
  }
  return 0;
}

COLORREF MonitorPage::TextColor(int id) {
  return id == id::kLabel3 ? RGB(0, 0, 255) : CLR_INVALID;
}

void MonitorPage::Resized(HWND, int width, int height) {
  if (!stop_) return;  // not yet built
  const int top = height - kBarHeight;
  MoveWindow(tree_, 0, 0, kTreeWidth, top, TRUE);
  MoveWindow(memo_, kTreeWidth, 0, width - kTreeWidth, top, TRUE);
  MoveWindow(edit2_, 4, top + 4, 65, 21, TRUE);
  MoveWindow(label3_, 75, top + 4, 97, 21, TRUE);
  MoveWindow(stop_, width - 80, top + 3, 75, 25, TRUE);
}

}  // namespace ol::win
