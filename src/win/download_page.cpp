#include "win/download_page.h"

#include <commctrl.h>

#include <algorithm>

#include "win/artwork.h"
#include "win/control_ids.h"
#include "win/desktop_state.h"
#include "win/monitor_page.h"

namespace ol::win {
namespace {

constexpr int kDownloadTreeWidth = 136;
constexpr int kDownloadBarHeight = 30;
constexpr int kCaptionWidth = 60;

std::string RowCaption(const ListRow& row) {
  return row.cells.empty() ? std::string() : row.cells[0];
}

std::string CellText(HWND list, int row) {
  wchar_t buffer[64] = {};
  LVITEMW item{};
  item.iSubItem = 0;
  item.pszText = buffer;
  item.cchTextMax = 64;
  SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  return Narrow(buffer);
}

}  // namespace

DownloadPage::DownloadPage(HWND parent, Gateway& gateway, Binder& binder) : gateway_(gateway) {
  panel_ = MakePanel(parent, id::kPanel2, Box(0, 0, 633, 470), this);
  tree_ = MakeTree(panel_, id::kTreeView2, kDownloadTreeWidth);
  TreeView_SetIndent(tree_, 19);
  ticks_ = TickImages();
  TreeView_SetImageList(tree_, ticks_, TVSIL_STATE);

  struct Table {
    const char* caption;
    RECT r;
  };
  // Places within GroupBox1, which stands at (139, 1) of the screen.
  const Table tables[] = {
      {"菜品表", Box(16, 24, 65, 17)},      {"客户要求表", Box(104, 24, 105, 17)},
      {"套餐表", Box(208, 24, 73, 17)},     {"套餐内容表", Box(16, 48, 87, 17)},
      {"退菜理由表", Box(104, 48, 97, 17)}, {"菜品类别表", Box(208, 48, 97, 17)},
  };
  constexpr int gx = 139, gy = 1;
  for (int n = 1; n <= 6; ++n) {
    RECT r = tables[n - 1].r;
    OffsetRect(&r, gx, gy);
    boxes_[static_cast<std::size_t>(n - 1)] = MakeChild(panel_, L"BUTTON", tables[n - 1].caption,
                                                        BS_AUTOCHECKBOX, r, id::kCheckBox1 + n - 1);
  }
  status_ = MakePanel(panel_, id::kPanel6, Box(gx + 300, gy + 8, 185, 60), this,
                      LabelBoxBack(HighContrast(), CurrentScheme()), WS_BORDER);
  HWND status = status_;
  HWND label19 = MakeChild(status, L"STATIC", "", SS_CENTER, Box(0, 5, 177, 22), id::kLabel19);
  SendMessageW(label19, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont(13)), FALSE);
  HWND label20 = MakeChild(status, L"STATIC", "", SS_LEFT, Box(75, 21, 40, 30), id::kLabel20);
  SendMessageW(label20, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont(24)), FALSE);
  HWND label21 = MakeChild(status, L"STATIC", "", SS_CENTER, Box(2, 27, 177, 30), id::kLabel21);
  SendMessageW(label21, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont(13, true)), FALSE);
  HWND group1 = MakeChild(panel_, L"BUTTON", "选择要下载的表", BS_GROUPBOX, Box(gx, gy, 488, 72),
                          id::kGroupBox1);

  rows_ = MakeChild(panel_, WC_LISTVIEWW, "",
                    WS_BORDER | WS_CLIPCHILDREN | LVS_REPORT | LVS_NOSORTHEADER | LVS_SINGLESEL,
                    Box(141, 97, 480, 340), id::kListView1);
  ListView_SetExtendedListViewStyle(rows_, LVS_EX_FULLROWSELECT);
  std::wstring caption = Widen("手持号"), progress = Widen("下载进度条");
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
  column.fmt = LVCFMT_LEFT;
  column.cx = Px(kCaptionWidth);
  column.pszText = caption.data();
  SendMessageW(rows_, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
  column.fmt = LVCFMT_CENTER;
  column.cx = Px(400);
  column.pszText = progress.data();
  SendMessageW(rows_, LVM_INSERTCOLUMNW, 1, reinterpret_cast<LPARAM>(&column));
  group2_ =
      MakeChild(panel_, L"BUTTON", "下载进度", BS_GROUPBOX, Box(137, 81, 488, 360), id::kGroupBox2);

  bar_ = MakePanel(panel_, 0, Box(0, 440, 633, kDownloadBarHeight), this);
  boxes_[6] =
      MakeChild(bar_, L"BUTTON", "全选", BS_AUTOCHECKBOX, Box(16, 6, 69, 21), id::kCheckBox7);
  HWND download =
      MakeChild(bar_, L"BUTTON", "下载", BS_PUSHBUTTON, Box(270, 3, 75, 25), id::kBitBtn1);
  HWND leave = MakeChild(bar_, L"BUTTON", "退出", BS_PUSHBUTTON, Box(400, 3, 75, 25), id::kButton2);
  // The frames lie under the controls they hold.
  for (HWND frame : {group1, group2_})
    SetWindowPos(frame, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

  binder.Bind("TreeView2", [this](const Control& c) {
    ShowTree(tree_, c.Nodes(), true);
    MirrorState(tree_, c);
  });
  for (int n = 1; n <= 7; ++n) {
    HWND box = boxes_[static_cast<std::size_t>(n - 1)];
    binder.Bind("CheckBox" + std::to_string(n), [box](const Control& c) {
      SendMessageW(box, BM_SETCHECK, c.Checked() ? BST_CHECKED : BST_UNCHECKED, 0);
      MirrorState(box, c);
    });
  }
  for (auto [name, label] : {std::pair{"Label19", label19}, std::pair{"Label20", label20},
                             std::pair{"Label21", label21}}) {
    binder.Bind(name, [label](const Control& c) {
      SetText(label, c.Text());
      MirrorState(label, c);
    });
  }
  binder.Bind("ListView1", [this](const Control& c) { ShowRows(c); });
  for (int n = 1; n <= 7; ++n) inputs_.Add(id::kCheckBox1 + n - 1, "CheckBox" + std::to_string(n));
  inputs_.Add(id::kBitBtn1, "BitBtn1");
  inputs_.Add(id::kButton2, "Button2");
  binder.Bind("BitBtn1", [download](const Control& c) { MirrorState(download, c); });
  binder.Bind("Button2", [leave](const Control& c) { MirrorState(leave, c); });
}

DownloadPage::~DownloadPage() {
  ImageList_Destroy(ticks_);
}

void DownloadPage::Command(int id, int code, HWND control) {
  inputs_.Hand(gateway_, id, code, control);
}

void DownloadPage::ClickNode(HTREEITEM item) {
  if (!item) return;
  Dispatch(gateway_, "TreeView2", InputEvent::Clicked, Input::Node(PlaceOf(tree_, item)));
}

LRESULT DownloadPage::Notify(const NMHDR& header) {
  if (header.idFrom == id::kListView1 && header.code == NM_CUSTOMDRAW)
    return DrawBar(reinterpret_cast<NMLVCUSTOMDRAW&>(const_cast<NMHDR&>(header)));
  if (header.idFrom != id::kTreeView2) return 0;
  if (header.code == NM_CLICK) {
    // The node under the mouse: the selection moves only after this notice.
    const DWORD pos = GetMessagePos();
    TVHITTESTINFO hit{};
    hit.pt = {static_cast<short>(LOWORD(pos)), static_cast<short>(HIWORD(pos))};
    ScreenToClient(tree_, &hit.pt);
    HTREEITEM item = TreeView_HitTest(tree_, &hit);
    if (item && (hit.flags & (TVHT_ONITEM | TVHT_ONITEMRIGHT))) {
      TreeView_SelectItem(tree_, item);
      ClickNode(item);
    }
  } else if (header.code == TVN_KEYDOWN &&
             reinterpret_cast<const NMTVKEYDOWN&>(header).wVKey == VK_SPACE) {
    ClickNode(TreeView_GetSelection(tree_));
    return TRUE;
  }
  return 0;
}

COLORREF DownloadPage::TextColor(int id) {
  if (id == id::kLabel19) return LabelInk(Tone::Info, HighContrast(), CurrentScheme());
  if (id == id::kLabel20 || id == id::kLabel21)
    return LabelInk(Tone::Warning, HighContrast(), CurrentScheme());
  return CLR_INVALID;
}

void DownloadPage::SchemeChanged() {
  SetPanelBackground(status_, LabelBoxBack(HighContrast(), CurrentScheme()));
}

void DownloadPage::Resized(HWND panel, int width, int height) {
  if (panel != panel_ || !bar_) return;  // another panel, or not yet built
  const int top = height - kDownloadBarHeight;
  Place(tree_, 0, 0, kDownloadTreeWidth, top);
  Place(bar_, 0, top, width, kDownloadBarHeight);
  const int bottom = std::max(120, top - 4);
  Place(group2_, 137, 81, std::max(100, width - 141), bottom - 81);
  Place(rows_, 142, 98, std::max(90, width - 151), bottom - 104);
  RECT r;
  GetClientRect(rows_, &r);
  ListView_SetColumnWidth(rows_, 1,
                          std::max(Px(40), static_cast<int>(r.right) - Px(kCaptionWidth)));
}

void DownloadPage::ShowRows(const Control& c) {
  const std::vector<ListRow>& rows = c.Rows();
  bool same = ListView_GetItemCount(rows_) == static_cast<int>(rows.size());
  for (std::size_t r = 0; same && r < rows.size(); ++r) {
    same = CellText(rows_, static_cast<int>(r)) == RowCaption(rows[r]);
  }
  if (!same) {
    ListView_DeleteAllItems(rows_);
    progress_.assign(rows.size(), Progress{});
    for (std::size_t r = 0; r < rows.size(); ++r) {
      std::wstring text = Widen(RowCaption(rows[r]));
      LVITEMW item{};
      item.mask = LVIF_TEXT;
      item.iItem = static_cast<int>(r);
      item.pszText = text.data();
      SendMessageW(rows_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    // A row without packets has an empty bar, never a busy one.
    const int total = std::max(rows[r].progressMax, 1);
    const Progress now{std::clamp(rows[r].progress, 0, total), total};
    if (now == progress_[r]) continue;
    progress_[r] = now;
    ListView_RedrawItems(rows_, static_cast<int>(r), static_cast<int>(r));
  }
  MirrorState(rows_, c);
}

LRESULT DownloadPage::DrawBar(NMLVCUSTOMDRAW& draw) {
  switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
      return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM:
      break;
    default:
      return CDRF_DODEFAULT;
  }
  const std::size_t row = draw.nmcd.dwItemSpec;
  if (draw.iSubItem != 1 || row >= progress_.size()) return CDRF_DODEFAULT;
  RECT cell{};
  cell.top = 1;
  cell.left = LVIR_BOUNDS;
  SendMessageW(rows_, LVM_GETSUBITEMRECT, row, reinterpret_cast<LPARAM>(&cell));
  HDC dc = draw.nmcd.hdc;
  FillRect(dc, &cell, GetSysColorBrush(COLOR_WINDOW));
  InflateRect(&cell, -2, -2);
  if (cell.right <= cell.left || cell.bottom <= cell.top) return CDRF_SKIPDEFAULT;
  FrameRect(dc, &cell, GetSysColorBrush(COLOR_BTNSHADOW));
  InflateRect(&cell, -1, -1);
  const Progress& p = progress_[row];
  RECT done = cell;
  done.right = cell.left +
               static_cast<LONG>(static_cast<long long>(cell.right - cell.left) * p.done / p.total);
  FillRect(dc, &done, GetSysColorBrush(COLOR_HIGHLIGHT));
  return CDRF_SKIPDEFAULT;
}

}  // namespace ol::win
