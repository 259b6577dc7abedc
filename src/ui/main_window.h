#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QTreeWidget>
#include <functional>
#include <memory>

#include "app/gateway.h"
#include "ui/log_view.h"
#include "ui/qt_message_box.h"
#include "ui/traffic_view.h"
#include "view/binder.h"

namespace ol {

// The main window: tool bar, status bar and the three screens. It mirrors the form
// model and forwards the operator's input to the gateway; it holds no protocol state.
class TForm1 : public QMainWindow {
 public:
  // world.boxes is replaced by the window's own message boxes.
  TForm1(GatewayWorld world, QtMessageBox& boxes);
  ~TForm1() override;

  Gateway& Logic() { return *gateway_; }
  Binder& Mirror() { return *binder_; }
  QSystemTrayIcon& Tray() { return tray_; }
  // Adds a screen shown while the named panel of the form model is visible; build makes
  // its page the first time it is needed.
  void AddScreen(const std::string& panel, std::function<QWidget*()> build);
  // The page of a screen, built now if it was not yet; nullptr for an unknown panel.
  QWidget* Screen(const std::string& panel);
  // Lets the program end: the next close is not intercepted.
  bool Ending() const { return ending_; }
  // The monitor screen's views: 0 raw frames (Memo1), 1 decoded, 2 board.
  void ShowMonitorView(int view);
  // Writes a picture of each screen as it stands (monitor.png, download.png,
  // settings.png, and the monitor's decoded view and board: traffic.png, board.png) into
  // dir; false when one could not be written.
  bool SaveScreens(const QString& dir);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  QWidget* BuildMonitorScreen();
  void BuildToolBar();
  void ShowPanels();

  QtMessageBox& boxes_;
  std::unique_ptr<Gateway> gateway_;
  std::unique_ptr<Binder> binder_;
  QStackedWidget* stack_ = nullptr;
  struct Page {
    std::string panel;
    QWidget* page;
    std::function<QWidget*()> build;
  };
  std::vector<Page> screens_;
  QSystemTrayIcon tray_;
  QLabel* clock_ = nullptr;
  LogView* memo_ = nullptr;
  QStackedWidget* monitorViews_ = nullptr;
  TrafficView* traffic_ = nullptr;
  BoardView* board_ = nullptr;
  std::vector<QAction*> viewButtons_;
  QLabel* screenName_ = nullptr;
  QLabel* notice_ = nullptr;
  QLabel* version_ = nullptr;
  bool ending_ = false;
};

// Artwork of our own for the tool bar and the tray: a glyph on a coloured tile.
QIcon MakeIcon(const QString& glyph, const QColor& color);
// Fills a tree widget from tree nodes; state images are shown as check marks when the
// node's state index is one of checkedStates or uncheckedStates.
void ShowTree(QTreeWidget* tree, const std::vector<TreeNode>& nodes, int checkedState = -2,
              int uncheckedState = -2);

}  // namespace ol
