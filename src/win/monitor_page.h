#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/gateway.h"
#include "core/timer.h"
#include "view/binder.h"
#include "view/log_follower.h"
#include "win/widgets.h"

namespace ol::win {

// A read-only tree of stations and handhelds down the left of a screen.
HWND MakeTree(HWND parent, int id, int width);
// Fills a tree view from tree nodes; each item's lParam is its place (see PlaceOf).
// stateImages shows the nodes' state indexes as state images.
void ShowTree(HWND tree, const std::vector<TreeNode>& nodes, bool stateImages);
// The station and handheld place of a tree item (handheld -1 for a station node).
TreeNodeRef PlaceOf(HWND tree, HTREEITEM item);

// Shows the lines of a control in a read-only multi-line edit, as LogFollower plans it.
class LogMirror {
 public:
  void Show(HWND edit, const Control& c);

 private:
  LogFollower follower_;
};

// The decoded traffic (a panel over the log's place): the station and handheld filters,
// copy and save, and the lines in a read-only edit.
class TrafficPane : public PanelHandler {
 public:
  TrafficPane(HWND parent, Gateway& gateway);
  ~TrafficPane() override;
  HWND Window() const { return panel_; }
  void Refresh();

  void Command(int id, int code, HWND control) override;
  void Resized(HWND panel, int width, int height) override;

 private:
  void FillFilters();
  TrafficFilter Filter() const;
  void Copy();
  void Save();

  Gateway& gateway_;
  HWND panel_ = nullptr;
  HWND station_ = nullptr;
  HWND handheld_ = nullptr;
  HWND copy_ = nullptr;
  HWND save_ = nullptr;
  HWND text_ = nullptr;
  TrafficChoices choices_;
  TrafficFollower follower_;
  std::size_t shownLines_ = 0;
  // Cleared when the pane goes: a modal dialog that returns finds it gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The handheld board: report-style lists of the stations and of the registered handhelds;
// a row that stands out is tinted, and its tip says why.
class BoardPane : public PanelHandler {
 public:
  BoardPane(HWND parent, Gateway& gateway);
  HWND Window() const { return panel_; }
  void Refresh();

  LRESULT Notify(const NMHDR& header) override;
  void Resized(HWND panel, int width, int height) override;

 private:
  Gateway& gateway_;
  HWND panel_ = nullptr;
  HWND stations_ = nullptr;
  HWND handhelds_ = nullptr;
  std::vector<std::string> stationAlerts_, handheldAlerts_;  // by row
};

// The monitor screen (Panel1): the station tree TreeView1, the buttons that pick a view
// (the log Memo1, the decoded traffic or the board), and the bottom bar Panel4 with
// Edit2, Label3 and the hidden Button4. The decoded traffic and the board are read once
// a second while they are seen, and not at all otherwise.
class MonitorPage : public PanelHandler {
 public:
  // Keeps to the period of the log's mirror.
  static constexpr Millis kPeriodMs = 1000;

  MonitorPage(HWND parent, Gateway& gateway, Binder& binder);
  HWND Window() const { return panel_; }
  // Whether the screen is seen: shown, in a window neither hidden nor minimised.
  void SetShowing(bool showing);
  // 0 the log, 1 the decoded traffic, 2 the board.
  void ShowView(int view);

  void Command(int id, int code, HWND control) override;
  LRESULT Notify(const NMHDR& header) override;
  COLORREF TextColor(int id) override;
  void Resized(HWND panel, int width, int height) override;

 private:
  void RefreshView();
  void Follow();

  Gateway& gateway_;
  HWND panel_ = nullptr;
  HWND tree_ = nullptr;
  HWND views_[3] = {};
  HWND memo_ = nullptr;
  HWND edit2_ = nullptr;
  HWND label3_ = nullptr;
  HWND stop_ = nullptr;
  HWND capture_ = nullptr;
  LogMirror log_;
  InputNames inputs_;
  std::unique_ptr<TrafficPane> traffic_;
  std::unique_ptr<BoardPane> board_;
  Timer refresh_;
  int view_ = 0;
  bool showing_ = false;
};

}  // namespace ol::win
