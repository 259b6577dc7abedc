#pragma once

#include <windows.h>

#include <cstdint>

#include "app/gateway.h"
#include "win/binder.h"
#include "win/widgets.h"

namespace ol::win {

// A read-only tree of stations and handhelds down the left of a screen.
HWND MakeTree(HWND parent, int id, int width);
// Fills a tree view from tree nodes; each item's lParam is its place (see NodeAt).
// stateImages shows the nodes' state indexes as state images.
void ShowTree(HWND tree, const std::vector<TreeNode>& nodes, bool stateImages);
// The station and handheld place of a tree item (handheld -1 for a station node).
struct NodePlace {
  std::size_t station = 0;
  int handheld = -1;
};
NodePlace PlaceOf(HWND tree, HTREEITEM item);
const TreeNode* NodeAt(const std::vector<TreeNode>& nodes, NodePlace place);

// Shows the lines of a control in a read-only multi-line edit. Lines added at the end are
// appended and the oldest beyond the control's limit cut off, so a new line costs the
// same at 10 lines as at 1000; any other change of the lines rebuilds the text.
class LogMirror {
 public:
  // A stream of lines is shown once a second at most: faster than that nobody reads it.
  static constexpr Millis kPeriodMs = 1000;
  void Show(HWND edit, const Control& c);

 private:
  std::uint64_t appended_ = 0;
  std::uint64_t rewrites_ = ~std::uint64_t{0};
  std::size_t shownLines_ = 0;
};

// The monitor screen (Panel1): the station tree TreeView1, the log Memo1 and the bottom
// bar Panel4 with Edit2, Label3 and the hidden Button4.
class MonitorPage : public PanelHandler {
 public:
  MonitorPage(HWND parent, Gateway& gateway, Binder& binder);
  HWND Window() const { return panel_; }

  void Command(int id, int code, HWND control) override;
  LRESULT Notify(const NMHDR& header) override;
  COLORREF TextColor(int id) override;
  void Resized(HWND panel, int width, int height) override;

 private:
  Gateway& gateway_;
  HWND panel_ = nullptr;
  HWND tree_ = nullptr;
  HWND memo_ = nullptr;
  HWND edit2_ = nullptr;
  HWND label3_ = nullptr;
  HWND stop_ = nullptr;
  LogMirror log_;
};

}  // namespace ol::win
