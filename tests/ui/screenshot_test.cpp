// The screen pictures the program writes of itself, and pictures of the screens for the
// documentation: with ORDERLINK_SCREENSHOT_DIR set the window is filled with a small
// installation (two stations, a few handhelds, an order gone through, a download under
// way) and each screen is written there as a PNG, the monitor's decoded view and board
// too:
//   ORDERLINK_SCREENSHOT_DIR=docs build/bin/orderlink_ui_tests --gtest_filter='Screenshots.*'
#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QImage>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>

#include "core/gbk.h"
#include "testing/request_packets.h"
#include "ui_rig.h"

namespace ol::testing {
namespace {

void Save(UiRig& rig, const std::filesystem::path& dir, const char* name) {
  UiRig::Settle(80);
  const QPixmap shot = rig.Window().grab();
  ASSERT_EQ(shot.size(), rig.Window().size());
  const QString path = QString::fromStdString((dir / name).string());
  ASSERT_TRUE(shot.save(path, "PNG")) << path.toStdString();
}

// The pictures the program writes of itself as it ends: each screen, the one shown
// left in front, also while the window is hidden in the tray.
TEST(SaveScreens, WritesEachScreenAndLeavesTheShownOne) {
  UiRig rig("01 05 ttyUSB0\r\n", "01 001\r\n");
  rig.ToolButton("ToolButton4")->click();
  UiRig::Settle();
  QWidget* shown = rig.CurrentScreen();
  rig.Window().hide();
  TempDir out;
  ASSERT_TRUE(rig.Window().SaveScreens(QString::fromStdString(out.Path().string())));
  EXPECT_EQ(rig.CurrentScreen(), shown);
  for (const char* name : {"monitor.png", "download.png", "settings.png"}) {
    QImage image(QString::fromStdString((out.Path() / name).string()));
    ASSERT_FALSE(image.isNull()) << name;
    EXPECT_EQ(image.size(), rig.Window().size()) << name;
  }
  // The screens differ, so each picture is of its own screen.
  EXPECT_NE(QImage(QString::fromStdString((out.Path() / "monitor.png").string())),
            QImage(QString::fromStdString((out.Path() / "settings.png").string())));
  EXPECT_FALSE(rig.Window().SaveScreens("/nonexistent/folder"));
}

TEST(Screenshots, ThreeScreens) {
  const QByteArray target = qgetenv("ORDERLINK_SCREENSHOT_DIR");
  if (target.isEmpty()) GTEST_SKIP() << "ORDERLINK_SCREENSHOT_DIR not set";
  // Without a Chinese font every caption would come out as empty boxes.
  ASSERT_FALSE(QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty());
  const std::filesystem::path dir(target.toStdString());
  std::filesystem::create_directories(dir);

  UiRig rig("01 05 ttyUSB0\r\n02 12 ttyUSB1\r\n",
            "01 001\r\n01 002\r\n01 005\r\n01 012\r\n02 003\r\n02 007\r\n", {-1, 4, 11, -1, -1});
  std::string requests;
  for (const char* line : {"少辣", "不要葱", "不要香菜", "加冰", "走冰", "打包", "先上", "后上",
                           "加急", "少盐", "多放醋", "不要味精"})
    requests += Utf8ToGbk(line) + "\r\n";
  for (int i = 0; i < 36; ++i) requests += Utf8ToGbk("备注" + std::to_string(i + 1)) + "\r\n";
  rig.WriteTxt("客户要求表.txt", requests);

  // Monitor: some polling and a station picked in the tree.
  UiRig::Settle(600);
  auto* tree = rig.Window().findChild<QTreeWidget*>("TreeView1");
  tree->setCurrentItem(tree->topLevelItem(0));
  Save(rig, dir, "monitor.png");

  // An order from handheld 001, its second packet garbled once, the host's reply and the
  // handheld's confirmation: decoded, and counted on the board.
  auto packets = BuildPackets(
      1, 1, 0x53,
      Utf8ToGbk("A012   0001000000000001") + '\x01' + Utf8ToGbk("10023   2份  少辣  01 "));
  std::string garbled = packets[1];
  garbled[40] = garbled[40] == '0' ? '1' : '0';
  packets.insert(packets.begin() + 1, garbled);
  rig.Port(1).ReceiveHex("A50101");
  for (const std::string& p : packets) {
    UiRig::Settle(40);
    rig.Port(1).ReceiveHex(p);
  }
  rig.WriteTxt("R1.txt", Utf8ToGbk("DC   001\r\n下单成功，厨房已接单\r\n"));
  rig.Logic().Handheld().Relay().HandleHostMessage({kHostMessage, 0, 1});
  UiRig::Settle(200);
  rig.Port(1).ReceiveHex("040101000000000000");
  UiRig::Settle(400);
  rig.Window().ShowMonitorView(1);
  Save(rig, dir, "traffic.png");
  rig.Window().ShowMonitorView(2);
  Save(rig, dir, "board.png");
  rig.Window().ShowMonitorView(0);

  // Download: four handhelds and one table, the first acknowledgements in.
  rig.ToolButton("ToolButton2")->click();
  UiRig::Settle();
  DownloadView* download = rig.Download();
  auto click = [&](QTreeWidgetItem* item) {
    QTreeWidget* t = download->Tree();
    QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, t->visualItemRect(item).center());
  };
  click(download->Tree()->topLevelItem(0)->child(0));
  click(download->Tree()->topLevelItem(0)->child(2));
  click(download->Tree()->topLevelItem(0)->child(3));
  click(download->Tree()->topLevelItem(1)->child(1));
  download->Box(2)->click();
  download->findChild<QAbstractButton*>("BitBtn1")->click();
  for (int i = 0; i < 9; ++i) rig.Port(1).ReceiveHex("0A01010000");
  for (int i = 0; i < 5; ++i) rig.Port(1).ReceiveHex("0A01050000");
  for (int i = 0; i < 12; ++i) rig.Port(1).ReceiveHex("0A010C0000");
  for (int i = 0; i < 3; ++i) rig.Port(2).ReceiveHex("0A02070000");
  Save(rig, dir, "download.png");
  download->findChild<QAbstractButton*>("Button2")->click();
  UiRig::Settle();

  rig.ToolButton("ToolButton4")->click();
  UiRig::Settle();
  rig.Settings()->HandheldList(1)->setCurrentRow(2);
  Save(rig, dir, "settings.png");
}

}  // namespace
}  // namespace ol::testing
