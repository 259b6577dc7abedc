#pragma once

#include <windows.h>

#include <array>
#include <vector>

#include "app/gateway.h"
#include "view/binder.h"
#include "win/widgets.h"

namespace ol::win {

// The download screen (Panel2): the handheld tree TreeView2 with its tick boxes, the six
// table boxes and the status panel Panel6, the progress list ListView1 with a progress
// bar drawn in each row, and the button bar Panel5. The operator's clicks go to the
// download screen logic; what the logic changes comes back through the binder.
class DownloadPage : public PanelHandler {
 public:
  DownloadPage(HWND parent, Gateway& gateway, Binder& binder);
  ~DownloadPage() override;
  HWND Window() const { return panel_; }
  // The system's colours or High Contrast changed.
  void SchemeChanged();

  void Command(int id, int code, HWND control) override;
  LRESULT Notify(const NMHDR& header) override;
  COLORREF TextColor(int id) override;
  void Resized(HWND panel, int width, int height) override;

 private:
  void ShowRows(const Control& c);
  // Draws a row's bar in its cell, so that it follows the row when the list scrolls or a
  // column is resized.
  LRESULT DrawBar(NMLVCUSTOMDRAW& draw);
  void ClickNode(HTREEITEM item);

  Gateway& gateway_;
  HWND panel_ = nullptr;
  HWND tree_ = nullptr;
  HWND rows_ = nullptr;
  HWND group2_ = nullptr;
  HWND bar_ = nullptr;     // Panel5
  HWND status_ = nullptr;  // Panel6, behind the progress labels
  std::array<HWND, 7> boxes_{};
  HIMAGELIST ticks_ = nullptr;
  struct Progress {
    int done = 0;
    int total = 1;
    bool operator==(const Progress&) const = default;
  };
  std::vector<Progress> progress_;  // one per download row
  InputNames inputs_;
};

}  // namespace ol::win
