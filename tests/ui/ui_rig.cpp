#include "ui_rig.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabBar>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include "core/txt_folder.h"
#include "gateway/hex.h"

namespace ol::testing {

BoxOperator::BoxOperator() {
  poll_.setInterval(10);
  QObject::connect(&poll_, &QTimer::timeout, [this] { Look(); });
  poll_.start();
}

void BoxOperator::Look() {
  if (current_) {
    if (shownFor_.elapsed() < keepOpenMs) return;
    auto* box = qobject_cast<QMessageBox*>(current_.data());
    const std::string text = box->text().toStdString();
    current_ = nullptr;
    if (onClosing) onClosing(text);
    box->button(QMessageBox::Ok)->click();
    return;
  }
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box || !box->isVisible() || box->objectName() != "MessageBox") continue;
    current_ = box;
    shownFor_.start();
    texts.push_back(box->text().toStdString());
    if (onShown) onShown(texts.back());
    return;
  }
}

UiRig::UiRig(const std::string& jz, const std::string& dcj, std::array<int, 5> channels)
    : answerChannel(channels) {
  TxtFolder txt(dir_.Path() / "TXT");
  txt.Write("JZ.txt", jz);
  txt.Write("DCJ.txt", dcj);
  GatewayWorld world{loop_,
                     link_,
                     messageBoxes_,
                     [this](int n) {
                       auto port = std::make_unique<FakePort>(&loop_, n);
                       FakePort* raw = port.get();
                       ports_.at(static_cast<std::size_t>(n)) = raw;
                       // A station answers its channel query a moment later, as on the line.
                       raw->onSend = [this, raw, n](const std::string& hex) {
                         // The auxiliary port reaches a station that acknowledges a new
                         // channel.
                         if (n == 5 && hex.starts_with("AA49FF") && acksChannelSetting)
                           loop_.Post([raw] { raw->ReceiveHex("AA4F00BB"); });
                         if (n > 4 || hex != "AA400000BB") return;
                         const int channel = answerChannel.at(static_cast<std::size_t>(n));
                         if (channel < 0) return;
                         const std::string answer =
                             "AA4F00" + IntToHex(static_cast<unsigned>(channel)) + "00BB";
                         loop_.Post([raw, answer] { raw->ReceiveHex(answer); });
                       };
                       return port;
                     },
                     dir_.Path() / "TXT",
                     [] {
                       return std::vector<std::string>{"ttyS0", "ttyUSB0", "ttyUSB1"};
                     }};
  window_ = std::make_unique<TForm1>(std::move(world), messageBoxes_);
  // The window stays up for the operator's clicks instead of hiding to the tray.
  Logic().Window().hide = [this] { ++hides; };
  Logic().Window().trayAvailable = [] { return true; };
  window_->show();
  Logic().FormCreate();
  Logic().Announce(kHostHandle);
  Settle();
}

UiRig::~UiRig() {
  window_.reset();
}

SettingsView* UiRig::Settings() {
  return static_cast<SettingsView*>(window_->Screen("Panel3"));
}

DownloadView* UiRig::Download() {
  return static_cast<DownloadView*>(window_->Screen("Panel2"));
}

QWidget* UiRig::CurrentScreen() {
  return window_->findChild<QStackedWidget*>()->currentWidget();
}

QAbstractButton* UiRig::ToolButton(const char* name) {
  auto* bar = window_->findChild<QToolBar*>("ToolBar1");
  for (QAction* action : bar->actions())
    if (action->objectName() == name)
      return qobject_cast<QToolButton*>(bar->widgetForAction(action));
  return nullptr;
}

QAbstractButton* UiRig::Button(const char* name) {
  return window_->findChild<QAbstractButton*>(name);
}

QString UiRig::StatusText() {
  // The second label of the status bar names the screen.
  QList<QLabel*> labels = window_->statusBar()->findChildren<QLabel*>();
  return labels.size() > 1 ? labels[1]->text() : QString();
}

void UiRig::PickPage(int slot) {
  QTabBar* tabs = Settings()->Pages()->tabBar();
  QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(slot - 1).center());
}

void UiRig::Settle(int ms) {
  QTest::qWait(ms);
}

void UiRig::WriteTxt(const std::string& name, const std::string& bytes) {
  WriteBytes(dir_.Path() / "TXT" / name, bytes);
}

std::string UiRig::ReadTxt(const std::string& name) {
  return ReadBytes(dir_.Path() / "TXT" / name);
}

int UiRig::PollFrames(int n) {
  int count = 0;
  for (const std::string& hex : Port(n).Sent())
    if (hex.size() == 10 && hex.starts_with("AA") && hex != "AA400000BB") ++count;
  return count;
}

}  // namespace ol::testing
