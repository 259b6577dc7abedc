// The settings screen as the operator uses it: typing into the station fields, adding and
// deleting handhelds, saving, and what the widgets show of the form model meanwhile.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QTest>
#include <QTreeWidget>
#include <functional>

#include "ui_rig.h"

namespace ol::testing {
namespace {

class SettingsViewTest : public ::testing::Test {
 protected:
  SettingsViewTest() {
    rig.ToolButton("ToolButton4")->click();
    UiRig::Settle();
    view = rig.Settings();
  }
  void Click(const char* name) {
    view->findChild<QAbstractButton*>(name)->click();
    UiRig::Settle();
  }
  QStringList ListItems(int slot) {
    QStringList items;
    for (int i = 0; i < view->HandheldList(slot)->count(); ++i)
      items << view->HandheldList(slot)->item(i)->text();
    return items;
  }

  UiRig rig{"01 05 ttyUSB0\r\n", "01 005\r\n01 012\r\n"};
  SettingsView* view = nullptr;
};

TEST_F(SettingsViewTest, PagesShowTheLoadedConfiguration) {
  ASSERT_EQ(view->Pages()->count(), 4);
  EXPECT_EQ(view->Pages()->tabText(3), "基站4");
  EXPECT_EQ(view->Port(1)->currentText(), "ttyUSB0");
  EXPECT_EQ(view->Port(1)->count(), 3);  // the port list
  EXPECT_EQ(view->StationId(1)->text(), "01");
  EXPECT_EQ(view->ChannelBox(1)->currentText(), "05");
  EXPECT_EQ(view->ChannelBox(1)->count(), 64);
  EXPECT_EQ(view->ChannelBox(1)->itemText(63), "64");
  EXPECT_EQ(ListItems(1), (QStringList{"005", "012"}));
  EXPECT_TRUE(ListItems(2).isEmpty());
  EXPECT_EQ(view->StationId(2)->text(), "");
}

TEST_F(SettingsViewTest, StationIdAndHandheldEntriesTakeDigitsOnly) {
  rig.PickPage(2);
  QTest::keyClicks(view->HandheldEntry(2), "1a-2 b3");
  EXPECT_EQ(view->HandheldEntry(2)->text(), "123");
  EXPECT_EQ(rig.Form()["PADID2"].Text(), "123");
  // Editing keys still work; X11 reports Delete with the text DEL.
  QTest::keyClick(view->HandheldEntry(2), Qt::Key_Home);
  QTest::sendKeyEvent(QTest::Click, view->HandheldEntry(2), Qt::Key_Delete, QString(QChar(0x7F)),
                      Qt::NoModifier);
  EXPECT_EQ(rig.Form()["PADID2"].Text(), "23");
  QTest::keyClicks(view->StationId(2), "x7y");
  EXPECT_EQ(view->StationId(2)->text(), "7");
  EXPECT_EQ(rig.Form()["JZID2"].Text(), "7");
  // At most two characters.
  QTest::keyClicks(view->StationId(2), "89");
  EXPECT_EQ(rig.Form()["JZID2"].Text(), "78");
  // An emptied station ID becomes the slot's default at once.
  QTest::keyClick(view->StationId(2), Qt::Key_Backspace);
  QTest::keyClick(view->StationId(2), Qt::Key_Backspace);
  UiRig::Settle();
  EXPECT_EQ(rig.Form()["JZID2"].Text(), "02");
  EXPECT_EQ(view->StationId(2)->text(), "02");
}

TEST_F(SettingsViewTest, DigitEntriesHoldPastedAndInputMethodTextToDigits) {
  rig.PickPage(2);
  auto paste = [](QLineEdit* entry, const char* text) {
    QApplication::clipboard()->setText(QString::fromUtf8(text));
    entry->paste();
  };
  auto commit = [](QLineEdit* entry, const char* text) {
    QInputMethodEvent event;
    event.setCommitString(QString::fromUtf8(text));
    QCoreApplication::sendEvent(entry, &event);
  };
  struct Case {
    const char* what;
    QLineEdit* entry;
    const char* control;
    std::function<void(QLineEdit*, const char*)> put;
    const char* text;
    const char* held;
  };
  const Case cases[] = {
      {"a paste", view->HandheldEntry(2), "PADID2", paste, "12a3", "123"},
      {"a paste beyond the length", view->HandheldEntry(2), "PADID2", paste, "4-5 67", "456"},
      {"an input method's commit", view->HandheldEntry(2), "PADID2", commit, "8x９9", "89"},
      {"a paste into the station ID", view->StationId(2), "JZID2", paste, "a7b8c9", "78"},
  };
  for (const Case& c : cases) {
    c.entry->clear();
    c.put(c.entry, c.text);
    EXPECT_EQ(c.entry->text().toStdString(), c.held) << c.what;
    EXPECT_EQ(rig.Form()[c.control].Text(), c.held) << c.what;
  }
}

TEST_F(SettingsViewTest, AddingHandheldsOnASecondPageAndSaving) {
  rig.PickPage(2);
  EXPECT_EQ(rig.Form()["PageControl1"].ItemIndex(), 1);
  QTest::keyClicks(view->Port(2)->lineEdit(), "ttyUSB1");
  QTest::keyClicks(view->StationId(2), "02");
  view->ChannelBox(2)->lineEdit()->clear();
  QTest::keyClicks(view->ChannelBox(2)->lineEdit(), "07");
  EXPECT_EQ(rig.Form()["COMMID2"].Text(), "ttyUSB1");
  EXPECT_EQ(rig.Form()["PDID2"].Text(), "07");

  QTest::keyClicks(view->HandheldEntry(2), "7");
  Click("BitBtn3");
  EXPECT_EQ(ListItems(2), QStringList{"007"});
  EXPECT_EQ(view->HandheldList(2)->currentRow(), 0);
  EXPECT_EQ(view->HandheldEntry(2)->text(), "");
  EXPECT_EQ(QApplication::focusWidget(), view->HandheldEntry(2));
  EXPECT_FALSE(view->findChild<QAbstractButton*>("Button3")->isEnabled());

  QTest::keyClicks(view->HandheldEntry(2), "7");
  Click("BitBtn3");
  QTest::keyClicks(view->HandheldEntry(2), "192");
  Click("BitBtn3");
  QTest::keyClicks(view->HandheldEntry(2), "191");
  Click("BitBtn3");
  EXPECT_EQ(rig.boxes.texts,
            (std::vector<std::string>{"该手持号以存在,请重新输入!", "手持号不能大于191"}));
  EXPECT_EQ(ListItems(2), (QStringList{"007", "191"}));
  // Page 1 was not touched.
  EXPECT_EQ(ListItems(1), (QStringList{"005", "012"}));

  Click("BitBtn2");
  EXPECT_EQ(rig.ReadTxt("JZ.txt"), "01 05 ttyUSB0\r\n02 07 ttyUSB1\r\n");
  EXPECT_EQ(rig.ReadTxt("DCJ.txt"), "01 005\r\n01 012\r\n02 007\r\n02 191\r\n");
  // The reload repaints the pages from the files and both stations answered.
  EXPECT_EQ(ListItems(2), (QStringList{"007", "191"}));
  EXPECT_EQ(ListItems(1), (QStringList{"005", "012"}));
  EXPECT_TRUE(view->findChild<QAbstractButton*>("Button3")->isEnabled());
  EXPECT_TRUE(rig.ToolButton("ToolButton1")->isEnabled());
  EXPECT_TRUE(rig.ToolButton("ToolButton2")->isEnabled());
  auto* tree = rig.Download()->Tree();
  ASSERT_EQ(tree->topLevelItemCount(), 2);
  EXPECT_EQ(tree->topLevelItem(1)->child(1)->text(0), "191");
}

TEST_F(SettingsViewTest, ValuesSetOnTheWidgetsByAnyPathAreWhatTheLogicActsOn) {
  rig.PickPage(2);
  // As an input method or an assistive tool sets them: no key press, no click.
  struct Case {
    const char* what;
    std::function<void()> set;
    const char* control;
    const char* text;
  };
  const Case cases[] = {
      {"port", [this] { view->Port(2)->setEditText("ttyUSB1"); }, "COMMID2", "ttyUSB1"},
      {"channel from the list", [this] { view->ChannelBox(2)->setCurrentIndex(8); }, "PDID2", "09"},
      {"station ID", [this] { view->StationId(2)->setText("07"); }, "JZID2", "07"},
      {"emptied station ID", [this] { view->StationId(2)->clear(); }, "JZID2", "02"},
      {"handheld", [this] { view->HandheldEntry(2)->setText("9"); }, "PADID2", "9"},
  };
  for (const Case& c : cases) {
    c.set();
    UiRig::Settle();
    EXPECT_EQ(rig.Form()[c.control].Text(), c.text) << c.what;
  }
  EXPECT_EQ(view->StationId(2)->text(), "02");
  Click("BitBtn3");
  EXPECT_EQ(ListItems(2), QStringList{"009"});
  EXPECT_EQ(view->HandheldEntry(2)->text(), "");
  // The add empties the entry on screen whether it accepts the number or not.
  view->HandheldEntry(2)->setText("192");
  Click("BitBtn3");
  EXPECT_EQ(rig.boxes.texts, std::vector<std::string>{"手持号不能大于191"});
  EXPECT_EQ(view->HandheldEntry(2)->text(), "");
  EXPECT_EQ(ListItems(2), QStringList{"009"});
}

TEST_F(SettingsViewTest, DeletingTheSelectedHandheldAndClearingAll) {
  QListWidget* list = view->HandheldList(1);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                    list->visualItemRect(list->item(1)).center());
  EXPECT_EQ(rig.Form()["PADLIST1"].ItemIndex(), 1);
  Click("Button5");
  EXPECT_EQ(ListItems(1), QStringList{"005"});
  EXPECT_EQ(list->currentRow(), -1);
  EXPECT_FALSE(rig.Form().TimerNamed("ComTimer").Enabled());
  // Nothing selected: nothing deleted.
  Click("Button5");
  EXPECT_EQ(ListItems(1), QStringList{"005"});
  Click("Button6");
  EXPECT_TRUE(ListItems(1).isEmpty());
  EXPECT_FALSE(view->findChild<QAbstractButton*>("Button3")->isEnabled());
}

TEST_F(SettingsViewTest, ChannelSettingGoesOutOnTheAuxiliaryPort) {
  QLineEdit* channel = view->ChannelBox(1)->lineEdit();
  channel->selectAll();
  QTest::keyClicks(channel, "09");
  EXPECT_EQ(rig.Form()["PDID1"].Text(), "09");
  Click("Button1");
  EXPECT_EQ(rig.Port(5).CommName(), "ttyUSB0");
  EXPECT_EQ(rig.Port(5).Sent(), std::vector<std::string>{"AA49FF08BB"});
  EXPECT_FALSE(rig.Port(1).IsOpen());
  EXPECT_EQ(rig.boxes.texts, std::vector<std::string>{
                                 "频道设置成功,请重新给基站上电，进行硬件复位...... 然后【保存】"});
  EXPECT_TRUE(view->findChild<QAbstractButton*>("Button1")->isEnabled());
  EXPECT_FALSE(view->findChild<QAbstractButton*>("Button3")->isEnabled());

  rig.acksChannelSetting = false;
  Click("Button1");
  EXPECT_EQ(rig.boxes.texts.back(), "基站无应答，请检查基站连接情况");
}

TEST_F(SettingsViewTest, PickingAPortFromTheListWritesItIntoTheControl) {
  rig.PickPage(4);
  QComboBox* port = view->Port(4);
  // The arrow keys step through the port list.
  QTest::keyClick(port, Qt::Key_Down);
  QTest::keyClick(port, Qt::Key_Down);
  UiRig::Settle();
  EXPECT_EQ(rig.Form()["COMMID4"].Text(), "ttyUSB0");
  EXPECT_EQ(port->currentText(), "ttyUSB0");
}

}  // namespace
}  // namespace ol::testing
