#pragma once

// Control identifiers of the native window, shared with the tools that drive it from
// another process (a driver finds a control with GetDlgItem on its parent).
namespace ol::win::id {

enum : int {
  // Tool bar commands, sent to the main window as WM_COMMAND.
  kToolButton1 = 101,  // 实时监控
  kToolButton2,        // 下载
  kToolButton4,        // 设置
  kToolButton3,        // 刷新
  kToolButton5,        // 隐藏
  kToolBar1 = 150,
  kStatusBar1,

  // The three screens, children of the main window.
  kPanel1 = 200,
  kPanel2,
  kPanel3,

  // Monitor screen (children of Panel1).
  kTreeView1 = 210,
  kMemo1,
  kEdit2,
  kLabel3,
  kButton4,
  // The monitor's views, one shown at a time: Memo1, the decoded traffic, the board.
  kRawView,  // the buttons that pick them, in this order
  kTrafficView,
  kBoardView,
  kTrafficPanel,
  kStationFilter,
  kHandheldFilter,
  kCopyTraffic,
  kSaveTraffic,
  kDecodedLog,
  kBoardPanel,
  kStationBoard,
  kHandheldBoard,
  kSaveCapture,  // the flight recorder's last minutes into TXT/capture

  // Download screen (children of Panel2).
  kTreeView2 = 300,
  kGroupBox1,
  kCheckBox1,  // kCheckBox1 + n - 1 is CheckBoxn, up to CheckBox7
  kCheckBox7 = kCheckBox1 + 6,
  kPanel6,
  kLabel19,
  kLabel20,
  kLabel21,
  kGroupBox2,
  kListView1,
  kBitBtn1,
  kButton2,

  // Settings screen (children of Panel3).
  kPageControl1 = 400,
  kBitBtn2,
  kButton3,
  kBitBtn3,
  kButton1,
  kButton5,
  kButton6,
  // TabSheetn is kTabSheet1 + n - 1; its controls are SlotControl(n, kCommId) and so on.
  kTabSheet1 = 410,
  kCommId = 0,
  kJzId,
  kPdId,
  kPadId,
  kPadList,
};

// The control of a station page: TabSheetn holds kSlotBase + 10 * n + field.
inline constexpr int kSlotBase = 420;
constexpr int SlotControl(int slot, int field) {
  return kSlotBase + 10 * slot + field;
}

}  // namespace ol::win::id
