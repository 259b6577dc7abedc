#pragma once

#include <optional>

#include "core/event_loop.h"
#include "core/form_model.h"
#include "download/transfer.h"

namespace ol {

// A node of TreeView2: a station node (handheld < 0) or a handheld under it.
struct TreeNodeRef {
  std::size_t station = 0;
  int handheld = -1;
};

inline constexpr int kNotSelected = 3;  // state image of an unticked handheld
inline constexpr int kSelected = 4;

// The download screen (Panel2): ticking handhelds in TreeView2 and tables in
// CheckBox1..CheckBox6, starting a download request, leaving the screen. The screen
// name goes to the control StatusPanel1.
class DownloadScreen {
 public:
  DownloadScreen(EventLoop& loop, FormModel& form, DownloadTransfer& transfer);
  // Gives the screen's controls their design state: the screen hidden, the first prompt,
  // the countdown and packet labels hidden.
  static void PrepareForm(FormModel& form);

  void ToolButton2Click();  // show the screen
  void TreeView2Click(std::optional<TreeNodeRef> selected);
  void CheckBox7Click();  // after the view has set CheckBox7's tick
  void CheckBox2Click() {}
  void BitBtn1Click();  // start a download request
  void Button2Click();  // leave the screen

 private:
  void ReleaseRows();

  EventLoop& loop_;
  FormModel& form_;
  DownloadTransfer& transfer_;
  bool requesting_ = false;
};

}  // namespace ol
