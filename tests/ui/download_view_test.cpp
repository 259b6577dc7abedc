// The download screen as the operator uses it: ticking handhelds and tables, starting a
// download and watching the progress bars follow the handhelds' acknowledgements.
#include <gtest/gtest.h>

#include <tuple>

#include <QAccessible>
#include <QLabel>
#include <QTest>

#include "core/gbk.h"
#include "ui_rig.h"

namespace ol::testing {
namespace {

class DownloadViewTest : public ::testing::Test {
 protected:
  DownloadViewTest() {
    // Sixteen 32-byte records: four packets of 128 bytes.
    std::string table;
    for (int i = 1; i <= 16; ++i) table += Utf8ToGbk("要求" + std::to_string(i)) + "\r\n";
    rig.WriteTxt("客户要求表.txt", table);
    rig.ToolButton("ToolButton2")->click();
    UiRig::Settle();
    view = rig.Download();
  }
  QTreeWidgetItem* Node(int station, int handheld = -1) {
    QTreeWidgetItem* top = view->Tree()->topLevelItem(station);
    return handheld < 0 ? top : top->child(handheld);
  }
  void ClickNode(QTreeWidgetItem* item) {
    QTreeWidget* tree = view->Tree();
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
    UiRig::Settle();
  }
  int FormState(std::size_t station, std::size_t handheld) {
    return rig.Form()["TreeView2"].Nodes().at(station).children.at(handheld).stateIndex;
  }
  QStringList RowCaptions() {
    QStringList captions;
    for (int r = 0; r < view->Rows()->topLevelItemCount(); ++r)
      captions << view->Rows()->topLevelItem(r)->text(0);
    return captions;
  }
  QString LabelText(const char* name) { return view->findChild<QLabel*>(name)->text(); }
  void Click(const char* name) {
    view->findChild<QAbstractButton*>(name)->click();
    UiRig::Settle();
  }

  UiRig rig{"01 05 ttyUSB0\r\n02 07 ttyUSB1\r\n", "01 005\r\n01 012\r\n02 003\r\n"};
  DownloadView* view = nullptr;
};

TEST_F(DownloadViewTest, ClickingHandheldsTogglesTheirTicks) {
  ASSERT_EQ(view->Tree()->topLevelItemCount(), 2);
  EXPECT_EQ(Node(0, 1)->text(0), "012");
  EXPECT_EQ(Node(0, 0)->checkState(0), Qt::Unchecked);
  EXPECT_FALSE(Node(0)->data(0, Qt::CheckStateRole).isValid());  // stations have no tick
  EXPECT_EQ(LabelText("Label19"), "请选择手持和文件! ! !");
  EXPECT_FALSE(view->findChild<QLabel*>("Label20")->isVisible());

  ClickNode(Node(0, 1));
  EXPECT_EQ(FormState(0, 1), kSelected);
  EXPECT_EQ(Node(0, 1)->checkState(0), Qt::Checked);
  EXPECT_EQ(Node(0, 0)->checkState(0), Qt::Unchecked);
  ClickNode(Node(0, 1));
  EXPECT_EQ(FormState(0, 1), kNotSelected);
  EXPECT_EQ(Node(0, 1)->checkState(0), Qt::Unchecked);
  ClickNode(Node(1));
  EXPECT_FALSE(Node(1)->data(0, Qt::CheckStateRole).isValid());

  // "全选" ticks every handheld of every station and leaves the tables alone.
  view->Box(1)->click();
  view->Box(7)->click();
  UiRig::Settle();
  EXPECT_EQ(FormState(1, 0), kSelected);
  EXPECT_EQ(Node(0, 0)->checkState(0), Qt::Checked);
  EXPECT_EQ(Node(1, 0)->checkState(0), Qt::Checked);
  view->Box(7)->click();
  UiRig::Settle();
  EXPECT_EQ(Node(0, 1)->checkState(0), Qt::Unchecked);
  EXPECT_EQ(FormState(1, 0), kNotSelected);
  EXPECT_TRUE(rig.Form()["CheckBox1"].Checked());
  EXPECT_TRUE(view->Box(1)->isChecked());
}

TEST_F(DownloadViewTest, TicksSetByAnyPathAreWhatTheDownloadTakes) {
  // As an assistive tool sets them: no click.
  view->Box(7)->setChecked(true);
  UiRig::Settle();
  EXPECT_EQ(FormState(0, 0), kSelected);
  EXPECT_EQ(FormState(1, 0), kSelected);
  Node(0, 1)->setCheckState(0, Qt::Unchecked);
  view->Box(2)->setChecked(true);
  UiRig::Settle();
  EXPECT_EQ(FormState(0, 1), kNotSelected);
  EXPECT_TRUE(rig.Form()["CheckBox2"].Checked());
  Click("BitBtn1");
  EXPECT_TRUE(rig.boxes.texts.empty()) << rig.boxes.texts.front();
  EXPECT_EQ(RowCaptions(), (QStringList{"01005", "02003"}));
}

TEST_F(DownloadViewTest, ProgressBarsFollowTheAcknowledgements) {
  ClickNode(Node(0, 0));
  ClickNode(Node(0, 1));
  ClickNode(Node(1, 0));
  // No table ticked: refused, polling stays stopped.
  Click("BitBtn1");
  EXPECT_EQ(rig.boxes.texts, std::vector<std::string>{"请选择要下发的文件!!!"});
  EXPECT_FALSE(rig.Form().TimerNamed("ComTimer").Enabled());
  EXPECT_EQ(view->Rows()->topLevelItemCount(), 0);

  view->Box(2)->click();
  EXPECT_TRUE(rig.Form()["CheckBox2"].Checked());
  Click("BitBtn1");
  EXPECT_EQ(rig.boxes.texts.size(), 1u) << rig.boxes.texts.back();
  bool toldHost = false;
  for (const HostMessage& m : rig.hub.PostedTo(UiRig::kHostHandle))
    toldHost = toldHost || (m.wparam == 11 && m.lparam == 11);
  EXPECT_TRUE(toldHost);
  ASSERT_EQ(RowCaptions(), (QStringList{"01005", "01012", "02003"}));
  for (int r = 0; r < 3; ++r) {
    ASSERT_NE(view->Bar(r), nullptr);
    EXPECT_EQ(view->Bar(r)->maximum(), 4);
    EXPECT_EQ(view->Bar(r)->value(), 0);
  }
  EXPECT_EQ(LabelText("Label19"), "正在搜索设备,请稍候! ! !");
  EXPECT_TRUE(view->findChild<QLabel*>("Label20")->isVisible());

  // Acknowledgement records as the stations send them: 0A, station, handheld, two bytes.
  rig.Port(1).ReceiveHex("0A01050000");
  rig.Port(1).ReceiveHex("0A010500000A01050001");
  rig.Port(2).ReceiveHex("0A02030000");
  UiRig::Settle();
  // What a screen reader finds: each row's progress cell and the bar's value.
  QAccessibleTableInterface* table =
      QAccessible::queryAccessibleInterface(view->Rows())->tableInterface();
  ASSERT_NE(table, nullptr);
  const std::tuple<int, int, const char*> progress[] = {{0, 3, "75%"}, {1, 0, "0%"}, {2, 1, "25%"}};
  for (const auto& [row, value, percent] : progress) {
    EXPECT_EQ(view->Bar(row)->value(), value) << row;
    EXPECT_EQ(table->cellAt(row, 1)->text(QAccessible::Name), percent) << row;
    EXPECT_EQ(table->cellAt(row, 1)->text(QAccessible::Description),
              QStringLiteral("%1 / 4").arg(value));
    QAccessibleValueInterface* bar =
        QAccessible::queryAccessibleInterface(view->Bar(row))->valueInterface();
    EXPECT_EQ(bar->currentValue().toInt(), value) << row;
    EXPECT_EQ(bar->maximumValue().toInt(), 4) << row;
  }
  // A bar stops at its maximum however many records come.
  for (int i = 0; i < 5; ++i) rig.Port(1).ReceiveHex("0A010C0000");
  UiRig::Settle();
  EXPECT_EQ(view->Bar(1)->value(), 4);
  EXPECT_EQ(rig.Form()["ListView1"].Rows().at(1).progress, 4);

  // Leaving the screen removes the rows and polling resumes.
  Click("Button2");
  EXPECT_EQ(view->Rows()->topLevelItemCount(), 0);
  EXPECT_EQ(rig.CurrentScreen()->objectName(), "Panel1");
  EXPECT_TRUE(rig.Form().TimerNamed("ComTimer").Enabled());
}

}  // namespace
}  // namespace ol::testing
