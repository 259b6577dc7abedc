// Switching between the three screens with the tool bar and the screens' exit buttons,
// the locks on the way, the monitor tree and polling that goes on behind a message box.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <QTreeWidget>

#include "ui_rig.h"

namespace ol::testing {
namespace {

const char* kOneStation = "01 05 ttyUSB0\r\n";
const char* kOneHandheld = "01 005\r\n";

TEST(Screens, ToolBarAndExitButtonsSwitchScreensAndLockTheMonitorButton) {
  UiRig rig(kOneStation, kOneHandheld);
  EXPECT_EQ(rig.CurrentScreen()->objectName(), "Panel1");
  EXPECT_EQ(rig.StatusText(), "实时监控界面");
  EXPECT_FALSE(rig.ToolButton("ToolButton3")->isVisible());

  rig.ToolButton("ToolButton2")->click();
  UiRig::Settle();
  EXPECT_EQ(rig.CurrentScreen()->objectName(), "Panel2");
  EXPECT_EQ(rig.StatusText(), "下载界面");
  EXPECT_FALSE(rig.ToolButton("ToolButton1")->isEnabled());
  EXPECT_FALSE(rig.ToolButton("ToolButton4")->isEnabled());
  // The locked monitor button does nothing: only the screen's own exit leads back.
  rig.ToolButton("ToolButton1")->click();
  UiRig::Settle();
  EXPECT_EQ(rig.CurrentScreen()->objectName(), "Panel2");

  rig.Download()->findChild<QAbstractButton*>("Button2")->click();
  UiRig::Settle();
  EXPECT_EQ(rig.CurrentScreen()->objectName(), "Panel1");
  EXPECT_EQ(rig.StatusText(), "实时监控界面");
  EXPECT_TRUE(rig.ToolButton("ToolButton1")->isEnabled());
  EXPECT_TRUE(rig.ToolButton("ToolButton4")->isEnabled());

  rig.ToolButton("ToolButton4")->click();
  UiRig::Settle();
  EXPECT_EQ(rig.CurrentScreen()->objectName(), "Panel3");
  EXPECT_EQ(rig.StatusText(), "设置界面");
  EXPECT_FALSE(rig.ToolButton("ToolButton1")->isEnabled());
  EXPECT_FALSE(rig.ToolButton("ToolButton2")->isEnabled());
  rig.ToolButton("ToolButton2")->click();
  UiRig::Settle();
  EXPECT_EQ(rig.CurrentScreen()->objectName(), "Panel3");

  rig.Settings()->findChild<QAbstractButton*>("Button3")->click();
  UiRig::Settle();
  EXPECT_EQ(rig.CurrentScreen()->objectName(), "Panel1");
  EXPECT_EQ(rig.StatusText(), "实时监控界面");
  EXPECT_TRUE(rig.ToolButton("ToolButton1")->isEnabled());
  EXPECT_TRUE(rig.ToolButton("ToolButton2")->isEnabled());
  EXPECT_TRUE(rig.Form().TimerNamed("ComTimer").Enabled());
}

// The tray brings a hidden window back on a double-click, and on the plain activation
// of trays that report no double-click; its context click does not.
TEST(Screens, TrayActivationRestoresTheHiddenWindow) {
  UiRig rig(kOneStation, kOneHandheld);
  for (auto reason : {QSystemTrayIcon::DoubleClick, QSystemTrayIcon::Trigger}) {
    rig.Window().hide();
    UiRig::Settle();
    emit rig.Window().Tray().activated(QSystemTrayIcon::Context);
    UiRig::Settle();
    EXPECT_FALSE(rig.Window().isVisible());
    emit rig.Window().Tray().activated(reason);
    UiRig::Settle();
    EXPECT_TRUE(rig.Window().isVisible()) << reason;
  }
}

TEST(Screens, MonitorShowsTheLogAndTheStationPickedInTheTree) {
  UiRig rig("01 05 ttyUSB0\r\n02 07 ttyUSB1\r\n", "01 005\r\n02 003\r\n");
  auto* tree = rig.Window().findChild<QTreeWidget*>("TreeView1");
  ASSERT_EQ(tree->topLevelItemCount(), 2);
  EXPECT_EQ(tree->topLevelItem(1)->text(0), "基站2");
  EXPECT_EQ(tree->topLevelItem(1)->child(0)->text(0), "003");

  tree->setCurrentItem(tree->topLevelItem(0));
  UiRig::Settle();
  EXPECT_EQ(rig.Window().findChild<QLineEdit*>("Edit2")->text(), "ttyUSB0");
  EXPECT_EQ(rig.Window().findChild<QLabel*>("Label3")->text(), "05");
  tree->setCurrentItem(tree->topLevelItem(1));
  UiRig::Settle();
  EXPECT_EQ(rig.Window().findChild<QLineEdit*>("Edit2")->text(), "ttyUSB1");
  EXPECT_EQ(rig.Window().findChild<QLabel*>("Label3")->text(), "07");
  // A handheld node changes nothing.
  tree->setCurrentItem(tree->topLevelItem(0)->child(0));
  UiRig::Settle();
  EXPECT_EQ(rig.Window().findChild<QLineEdit*>("Edit2")->text(), "ttyUSB1");

  // The polls of the running stations appear in the monitor log.
  UiRig::Settle(300);
  const QString log = rig.Window().findChild<QPlainTextEdit*>("Memo1")->toPlainText();
  EXPECT_TRUE(log.contains("AA4F000400BB")) << log.toStdString();
  EXPECT_TRUE(log.contains("005ttyUSB0")) << log.toStdString();
  EXPECT_TRUE(log.contains("003ttyUSB1")) << log.toStdString();
}

// The decoded view and the board show the traffic while they are on screen, filter it,
// and do nothing while the window is hidden.
TEST(Screens, MonitorViewsDecodeWhileShownAndRestWhileHidden) {
  UiRig rig("01 05 ttyUSB0\r\n02 07 ttyUSB1\r\n", "01 005\r\n02 003\r\n");
  rig.Window().ShowMonitorView(1);
  UiRig::Settle(1300);
  auto* decoded = rig.Window().findChild<QPlainTextEdit*>("DecodedLog");
  const QString all = decoded->toPlainText();
  EXPECT_TRUE(all.contains("基站01            频道应答：频道 05")) << all.toStdString();
  EXPECT_TRUE(all.contains("基站02            频道应答：频道 07")) << all.toStdString();
  EXPECT_TRUE(all.contains("轮询（最近 基站0")) << all.toStdString();
  // The station filter keeps that station's lines alone (the polls name no one station).
  auto* station = rig.Window().findChildren<QComboBox*>()[0];
  station->setCurrentIndex(station->findText("02"));
  EXPECT_EQ(decoded->toPlainText().count('\n'), 0) << decoded->toPlainText().toStdString();
  EXPECT_TRUE(decoded->toPlainText().contains("频道 07"));
  station->setCurrentIndex(0);

  rig.Window().hide();
  const QString hidden = decoded->toPlainText();
  UiRig::Settle(1500);  // polls go on, the view does not follow
  EXPECT_EQ(decoded->toPlainText(), hidden);
  rig.Window().show();
  UiRig::Settle();
  EXPECT_NE(decoded->toPlainText(), hidden);  // the poll count caught up

  rig.Window().ShowMonitorView(2);
  UiRig::Settle();
  auto* stations = rig.Window().findChild<QTableWidget*>("StationBoard");
  ASSERT_EQ(stations->rowCount(), 2);
  EXPECT_EQ(stations->item(1, 2)->text(), "ttyUSB1");
  EXPECT_EQ(stations->item(1, 4)->text(), "已连接");
  EXPECT_EQ(rig.Window().findChild<QTableWidget*>("HandheldBoard")->rowCount(), 2);
}

TEST(Screens, PollingGoesOnWhileAMessageBoxIsShown) {
  UiRig rig(kOneStation, kOneHandheld);
  ASSERT_TRUE(rig.Form().TimerNamed("ComTimer").Enabled());
  rig.ToolButton("ToolButton4")->click();
  UiRig::Settle();
  // Page 2 has no port, so adding a handheld there is refused with a box.
  rig.PickPage(2);
  rig.boxes.keepOpenMs = 700;
  int atShown = -1, atClosing = -1;
  bool timerRan = false;
  rig.boxes.onShown = [&](const std::string&) { atShown = rig.PollFrames(1); };
  rig.boxes.onClosing = [&](const std::string&) {
    atClosing = rig.PollFrames(1);
    timerRan = rig.Form().TimerNamed("ComTimer").Enabled();
  };
  rig.Settings()->findChild<QAbstractButton*>("BitBtn3")->click();

  ASSERT_EQ(rig.boxes.texts, std::vector<std::string>{"请选择串口"});
  EXPECT_TRUE(timerRan);
  // 70 ms polling for 0.7 s: several polls while the box waited for OK.
  EXPECT_GE(atClosing - atShown, 4) << "shown " << atShown << ", closing " << atClosing;
}

}  // namespace
}  // namespace ol::testing
