#include "ui/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QVBoxLayout>
#include <map>

#include "core/text_file.h"
#include "ui/download_view.h"
#include "ui/settings_view.h"
#include "ui/view_helpers.h"

namespace ol {
namespace {

using view::Q;

// Pictograms of the tool bar, drawn in white on a coloured tile of 32 x 32.
enum class Pictogram { Monitor, Download, Settings, Refresh, Hide };

QIcon MakeToolIcon(Pictogram kind, const QColor& color) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  p.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
  QPen pen(Qt::white, 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  switch (kind) {
    case Pictogram::Monitor: {
      // A screen on a stand with a pulse across it.
      p.drawRoundedRect(QRectF(6, 7, 20, 14), 2, 2);
      p.drawLine(QPointF(16, 21), QPointF(16, 25));
      p.drawLine(QPointF(11, 25.5), QPointF(21, 25.5));
      const QPointF pulse[] = {{8, 14}, {12, 14}, {14, 10}, {17, 18}, {19, 14}, {24, 14}};
      p.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p.drawPolyline(pulse, 6);
      break;
    }
    case Pictogram::Download: {
      // An arrow down into a tray.
      p.drawLine(QPointF(16, 6), QPointF(16, 19));
      const QPointF head[] = {{10.5, 14}, {16, 19.5}, {21.5, 14}};
      p.drawPolyline(head, 3);
      const QPointF tray[] = {{7, 20}, {7, 25}, {25, 25}, {25, 20}};
      p.drawPolyline(tray, 4);
      break;
    }
    case Pictogram::Settings: {
      // A gear: eight teeth round a ring.
      p.save();
      p.translate(16, 16);
      p.setPen(QPen(Qt::white, 3.2, Qt::SolidLine, Qt::FlatCap));
      for (int i = 0; i < 8; ++i) {
        p.drawLine(QPointF(0, -7), QPointF(0, -10.5));
        p.rotate(45);
      }
      p.setPen(QPen(Qt::white, 2.6));
      p.drawEllipse(QPointF(0, 0), 6.5, 6.5);
      p.setBrush(Qt::white);
      p.setPen(Qt::NoPen);
      p.drawEllipse(QPointF(0, 0), 2, 2);
      p.restore();
      break;
    }
    case Pictogram::Refresh: {
      // A circular arrow.
      p.drawArc(QRectF(8, 8, 16, 16), 60 * 16, 280 * 16);
      p.setPen(Qt::NoPen);
      p.setBrush(Qt::white);
      const QPointF head[] = {{21.5, 4.5}, {22, 12.5}, {14.5, 10}};
      p.drawPolygon(head, 3);
      break;
    }
    case Pictogram::Hide: {
      // A window going down to the bar at the bottom.
      p.drawRoundedRect(QRectF(7, 6, 18, 12), 1.5, 1.5);
      p.drawLine(QPointF(7, 9.5), QPointF(25, 9.5));
      const QPointF arrow[] = {{12.5, 20}, {16, 23.5}, {19.5, 20}};
      p.drawPolyline(arrow, 3);
      p.drawLine(QPointF(8, 26.5), QPointF(24, 26.5));
      break;
    }
  }
  return QIcon(pixmap);
}

}  // namespace

QIcon MakeIcon(const QString& glyph, const QColor& color) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(color);
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
  p.setPen(Qt::white);
  QFont font = p.font();
  font.setPixelSize(18);
  font.setBold(true);
  p.setFont(font);
  p.drawText(QRect(0, 0, 32, 32), Qt::AlignCenter, glyph);
  return QIcon(pixmap);
}

void ShowTree(QTreeWidget* tree, const std::vector<TreeNode>& nodes, int checkedState,
              int uncheckedState) {
  tree->clear();
  auto apply = [&](QTreeWidgetItem* item, const TreeNode& node) {
    item->setText(0, Q(node.text));
    if (node.stateIndex == checkedState) item->setCheckState(0, Qt::Checked);
    if (node.stateIndex == uncheckedState) item->setCheckState(0, Qt::Unchecked);
  };
  for (const auto& node : nodes) {
    auto* top = new QTreeWidgetItem(tree);
    apply(top, node);
    for (const auto& child : node.children) apply(new QTreeWidgetItem(top), child);
    top->setExpanded(true);
  }
}

TForm1::TForm1(GatewayWorld world, QtMessageBox& boxes) : boxes_(boxes) {
  boxes_.SetParent(this);
  setWindowTitle(Q(Gateway::kTitle));
  setObjectName("Form1");
  resize(633, 568);
  move(292, 109);
  const QIcon appIcon = MakeIcon(QStringLiteral("点"), QColor(0xC0, 0x39, 0x2B));
  setWindowIcon(appIcon);
  gateway_ = std::make_unique<Gateway>(std::move(world));
  binder_ = std::make_unique<Binder>(gateway_->Form(), gateway_->Loop());

  BuildToolBar();
  stack_ = new QStackedWidget(this);
  setCentralWidget(stack_);
  // The download and settings screens are built when first shown: most installations
  // never open them between two starts, and the window spends its life hidden.
  AddScreen("Panel1", [this] { return BuildMonitorScreen(); });
  AddScreen("Panel2", [this] { return new DownloadView(*gateway_, *binder_); });
  AddScreen("Panel3", [this] { return new SettingsView(*gateway_, *binder_); });
  Screen("Panel1");

  clock_ = new QLabel(this);
  clock_->setMinimumWidth(150);
  screenName_ = new QLabel(this);
  statusBar()->addWidget(clock_);
  statusBar()->addWidget(screenName_, 1);
  notice_ = new QLabel(this);
  statusBar()->addWidget(notice_, 2);
  binder_->Bind("StatusPanel0", [this](const Control& c) { clock_->setText(Q(c.Text())); });
  binder_->Bind("StatusPanel1", [this](const Control& c) { screenName_->setText(Q(c.Text())); });
  binder_->Bind("StatusPanel2", [this](const Control& c) { notice_->setText(Q(c.Text())); });
  // The version at the right end, where the operator reads it for a support call.
  version_ = new QLabel(this);
  statusBar()->addPermanentWidget(version_);
  binder_->Bind("StatusPanel3", [this](const Control& c) { version_->setText(Q(c.Text())); });

  tray_.setIcon(appIcon);
  tray_.setToolTip(Q(Gateway::kTitle));
  QObject::connect(
      &tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // Trays that speak the desktop's notifier protocol report no
        // double-click, only an activation, which restores there.
        if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger ||
            reason == QSystemTrayIcon::MiddleClick)
          Dispatch(*gateway_, "TrayIcon1", InputEvent::Clicked);
      });
  if (QSystemTrayIcon::isSystemTrayAvailable()) tray_.show();

  WindowHooks& hooks = gateway_->Window();
  hooks.show = [this] {
    showNormal();
    raise();
    activateWindow();
  };
  hooks.hide = [this] { hide(); };
  hooks.minimise = [this] { showMinimized(); };
  hooks.close = [this] {
    ending_ = true;
    QApplication::quit();
  };
  hooks.trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  hooks.setTrayVisible = [this](bool visible) {
    if (QSystemTrayIcon::isSystemTrayAvailable()) tray_.setVisible(visible);
  };
  hooks.trayTip = [this](const std::string& text) { tray_.setToolTip(Q(text)); };
  hooks.trayMessage = [this](const std::string& text) {
    if (tray_.isVisible()) tray_.showMessage(Q(Gateway::kTitle), Q(text));
  };
}

TForm1::~TForm1() {
  binder_.reset();
  gateway_.reset();
}

void TForm1::BuildToolBar() {
  QToolBar* bar = addToolBar(QStringLiteral("ToolBar1"));
  bar->setObjectName("ToolBar1");
  bar->setMovable(false);
  bar->setIconSize(QSize(24, 24));
  bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  struct Button {
    const char* name;
    const char* caption;
    Pictogram picture;
    QColor color;
  };
  const Button buttons[] = {
      {"ToolButton1", "实时监控", Pictogram::Monitor, QColor(0x27, 0xAE, 0x60)},
      {"ToolButton2", "下载", Pictogram::Download, QColor(0x29, 0x80, 0xB9)},
      {"ToolButton4", "设置", Pictogram::Settings, QColor(0x8E, 0x44, 0xAD)},
      {"ToolButton3", "刷新", Pictogram::Refresh, QColor(0xD3, 0x54, 0x00)},
      {"ToolButton5", "隐藏", Pictogram::Hide, QColor(0x7F, 0x8C, 0x8D)},
  };
  for (const auto& b : buttons) {
    QAction* action = bar->addAction(MakeToolIcon(b.picture, b.color), Q(b.caption));
    action->setObjectName(b.name);
    QObject::connect(action, &QAction::triggered, this,
                     [this, name = b.name] { Dispatch(*gateway_, name, InputEvent::Clicked); });
    binder_->Bind(b.name, [action](const Control& c) {
      action->setEnabled(c.Enabled());
      action->setVisible(c.Visible());
    });
  }
}

QWidget* TForm1::BuildMonitorScreen() {
  auto* page = new QWidget;
  page->setObjectName("Panel1");
  auto* tree = new QTreeWidget;
  tree->setObjectName("TreeView1");
  tree->setHeaderHidden(true);
  tree->setFixedWidth(129);
  auto* memo = new LogView;
  memo->setObjectName("Memo1");
  memo_ = memo;
  auto* edit2 = new QLineEdit;
  edit2->setObjectName("Edit2");
  edit2->setEnabled(false);
  edit2->setFixedWidth(65);
  auto* label3 = new QLabel;
  label3->setObjectName("Label3");
  label3->setStyleSheet("color: blue");
  label3->setFixedWidth(97);
  auto* stop = new QPushButton(QStringLiteral("停止"));
  stop->setObjectName("Button4");
  stop->setVisible(false);
  view::OnClick(*gateway_, stop);

  auto* capture = new QPushButton(QStringLiteral("保存抓包"));
  capture->setObjectName("SaveCapture");
  capture->setToolTip(QStringLiteral("把各基站串口最近几分钟的收发存为 TXT/capture 下的抓包文件"));
  view::OnClick(*gateway_, capture);

  auto* bottom = new QHBoxLayout;
  bottom->setContentsMargins(4, 2, 4, 2);
  bottom->addWidget(edit2);
  bottom->addWidget(label3);
  bottom->addStretch(1);
  bottom->addWidget(capture);
  bottom->addWidget(stop);
  // The raw frames as they always were, the same traffic in words, and the board: one
  // click apart.
  monitorViews_ = new QStackedWidget;
  monitorViews_->addWidget(memo);
  traffic_ = new TrafficView(*gateway_);
  monitorViews_->addWidget(traffic_);
  board_ = new BoardView(*gateway_);
  monitorViews_->addWidget(board_);
  auto* switcher = new QToolBar;
  switcher->setObjectName("MonitorViews");
  auto* group = new QActionGroup(switcher);
  const char* captions[] = {"原始帧", "解码", "手持状态"};
  for (int i = 0; i < 3; ++i) {
    QAction* a = switcher->addAction(QString::fromUtf8(captions[i]));
    a->setCheckable(true);
    a->setChecked(i == 0);
    group->addAction(a);
    QObject::connect(a, &QAction::triggered, this, [this, i] { ShowMonitorView(i); });
    viewButtons_.push_back(a);
  }
  auto* right = new QVBoxLayout;
  right->setContentsMargins(0, 0, 0, 0);
  right->setSpacing(0);
  right->addWidget(switcher);
  right->addWidget(monitorViews_, 1);
  auto* top = new QHBoxLayout;
  top->setContentsMargins(0, 0, 0, 0);
  top->addWidget(tree);
  top->addLayout(right, 1);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addLayout(top, 1);
  layout->addLayout(bottom);

  binder_->Bind("TreeView1", [tree](const Control& c) {
    QSignalBlocker block(tree);
    ShowTree(tree, c.Nodes());
  });
  // A station node picked by the operator shows its port and status on the bottom bar.
  QObject::connect(tree, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    Dispatch(*gateway_, "TreeView1", InputEvent::Selected,
             Input::Node(item ? std::optional(view::PlaceOf(item)) : std::nullopt));
  });
  binder_->Bind(
      "Memo1", [memo](const Control& c) { memo->Show(c); }, LogFollower::kPeriodMs);
  binder_->Bind("Edit2", [edit2](const Control& c) { edit2->setText(Q(c.Text())); });
  binder_->Bind("Label3", [label3](const Control& c) { label3->setText(Q(c.Text())); });
  return page;
}

void TForm1::ShowMonitorView(int view) {
  if (!monitorViews_ || view < 0 || view >= monitorViews_->count()) return;
  monitorViews_->setCurrentIndex(view);
  viewButtons_[static_cast<std::size_t>(view)]->setChecked(true);
}

void TForm1::AddScreen(const std::string& panel, std::function<QWidget*()> build) {
  screens_.push_back({panel, nullptr, std::move(build)});
  binder_->Bind(panel, [this](const Control&) { ShowPanels(); });
}

QWidget* TForm1::Screen(const std::string& panel) {
  for (auto& screen : screens_) {
    if (screen.panel != panel) continue;
    if (!screen.page) {
      screen.page = screen.build();
      stack_->addWidget(screen.page);
      binder_->Refresh();  // the new page shows its controls at once
    }
    return screen.page;
  }
  return nullptr;
}

bool TForm1::SaveScreens(const QString& dir) {
  static const std::map<std::string, QString> kFiles{
      {"Panel1", "monitor.png"}, {"Panel2", "download.png"}, {"Panel3", "settings.png"}};
  // A hidden window shows no change until now, and the log not within its period.
  binder_->Refresh();
  memo_->Show(gateway_->Form()["Memo1"]);
  QWidget* const shown = stack_->currentWidget();
  bool saved = true;
  for (const auto& screen : screens_) {
    auto file = kFiles.find(screen.panel);
    if (file == kFiles.end()) continue;
    QWidget* page = Screen(screen.panel);
    stack_->setCurrentWidget(page);
    if (page->layout()) page->layout()->activate();
    saved = grab().save(dir + "/" + file->second, "PNG") && saved;
    if (screen.panel != "Panel1") continue;
    const int raw = monitorViews_->currentIndex();
    ShowMonitorView(1);
    traffic_->RefreshNow();
    saved = grab().save(dir + "/traffic.png", "PNG") && saved;
    ShowMonitorView(2);
    board_->RefreshNow();
    saved = grab().save(dir + "/board.png", "PNG") && saved;
    ShowMonitorView(raw);
    // The board in words too, for a transcript.
    try {
      WriteFileAtomic((dir + "/board.txt").toStdString(), FormatBoard(gateway_->GetMonitor()));
    } catch (const FileError&) {
      saved = false;
    }
  }
  stack_->setCurrentWidget(shown);
  return saved;
}

void TForm1::ShowPanels() {
  // The monitor screen is shown unless another screen's panel is up.
  for (const auto& screen : screens_) {
    if (screen.panel != "Panel1" && gateway_->Form()[screen.panel].Visible()) {
      stack_->setCurrentWidget(Screen(screen.panel));
      return;
    }
  }
  stack_->setCurrentWidget(Screen("Panel1"));
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (ending_) {
    event->accept();
    return;
  }
  event->ignore();
  if (gateway_->FormCloseRequest()) {
    ending_ = true;
    QApplication::quit();
  }
}

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (binder_) binder_->SetShowing(!isMinimized());
}

void TForm1::hideEvent(QHideEvent* event) {
  QMainWindow::hideEvent(event);
  if (binder_) binder_->SetShowing(false);
}

void TForm1::changeEvent(QEvent* event) {
  // A minimised window is still visible to Qt, but nobody sees it.
  if (event->type() == QEvent::WindowStateChange && binder_)
    binder_->SetShowing(isVisible() && !isMinimized());
  if (event->type() == QEvent::ActivationChange) {
    if (isActiveWindow()) {
      gateway_->FormActivate();
    } else {
      // A box or dialog of our own taking the focus is no switch to another program.
      gateway_->FormDeactivate(QApplication::activeWindow() == nullptr);
    }
  }
  QMainWindow::changeEvent(event);
}

}  // namespace ol
