#include "stations/settings_screen.h"

#include <filesystem>
#include <optional>
#include <tuple>

#include "stations_fixture.h"
#include "testing/one_shot.h"

namespace ol::testing {
namespace {

using Lines = std::vector<std::string>;

class SettingsScreenTest : public StationsTest {
 protected:
  // Page n active with its port, ID and channel filled in.
  void OnPage(int n, const std::string& port = "COM4") {
    form["PageControl1"].SetItemIndex(n - 1);
    form.At("COMMID", n).SetText(port);
    form.At("JZID", n).SetText(ZeroPad(n, 2));
    form.At("PDID", n).SetText("06");
  }
  void Add(int n, const std::string& typed) {
    form.At("PADID", n).SetText(typed);
    screen.BitBtn3Click();
  }
  bool Locked() {
    return !form["Button3"].Enabled() && !form["ToolButton1"].Enabled() &&
           !form["ToolButton2"].Enabled();
  }

  SettingsScreen screen{form, txt, boxes, hooks, setup};
};

TEST_F(SettingsScreenTest, DigitFiltersLetOnlyDigitsAndBackspaceThrough) {
  for (char32_t key : {U'0', U'7', U'9', U'\b'}) {
    EXPECT_TRUE(SettingsScreen::JZID1KeyPress(key));
    EXPECT_TRUE(SettingsScreen::PADID1KeyPress(key));
  }
  for (char32_t key : {U'a', U'-', U' ', U'\r', U'五', U'/', U':'}) {
    EXPECT_FALSE(SettingsScreen::JZID1KeyPress(key));
    EXPECT_FALSE(SettingsScreen::PADID1KeyPress(key));
  }
}

TEST_F(SettingsScreenTest, EmptiedStationIdTakesTheSlotDefault) {
  form["JZID3"].SetText("");
  screen.JZIDChange(3);
  EXPECT_EQ(form["JZID3"].Text(), "03");
  form["JZID1"].SetText("7");
  screen.JZIDChange(1);
  EXPECT_EQ(form["JZID1"].Text(), "7");
}

TEST_F(SettingsScreenTest, AddHandheldOnTheActivePage) {
  OnPage(2);
  Add(2, "7");
  EXPECT_EQ(form["PADLIST2"].Lines(), Lines{"007"});
  EXPECT_EQ(form["PADLIST2"].ItemIndex(), 0);
  EXPECT_EQ(form["PADID2"].Text(), "");
  EXPECT_EQ(form["ActiveControl"].Text(), "PADID2");
  EXPECT_TRUE(boxes.texts.empty());

  Add(2, "7");
  EXPECT_EQ(boxes.texts, Lines{SettingsScreen::kHandheldExists});
  EXPECT_EQ(form["PADID2"].Text(), "");  // emptied on refusal too
  Add(2, "191");
  Add(2, "192");
  Add(2, "0");
  Add(2, "");
  Add(2, "7a");  // pasted past the filter
  EXPECT_EQ(form["PADLIST2"].Lines(), (Lines{"007", "191", "000"}));
  EXPECT_EQ(form["PADLIST2"].ItemIndex(), 2);
  EXPECT_EQ(boxes.texts, (Lines{SettingsScreen::kHandheldExists, SettingsScreen::kHandheldTooHigh,
                                SettingsScreen::kNoHandheld, SettingsScreen::kNoHandheld}));
  // Only the active page's list is searched.
  OnPage(1, "COM3");
  Add(1, "007");
  EXPECT_EQ(form["PADLIST1"].Lines(), Lines{"007"});
  EXPECT_TRUE(Locked());
}

TEST_F(SettingsScreenTest, AddNeedsPortIdAndChannelInThatOrder) {
  form["PageControl1"].SetItemIndex(2);
  form["PADID3"].SetText("5");
  form["COMMID3"].SetText("  ");
  form["JZID3"].SetText("");
  screen.BitBtn3Click();
  form["COMMID3"].SetText("COM3");
  screen.BitBtn3Click();
  form["JZID3"].SetText("03");
  screen.BitBtn3Click();
  EXPECT_EQ(boxes.texts, (Lines{SettingsScreen::kNoPort, SettingsScreen::kNoStationId,
                                SettingsScreen::kNoChannel}));
  EXPECT_EQ(form["PADID3"].Text(), "5");  // left as it was
  EXPECT_EQ(form["PADLIST3"].LineCount(), 0u);
  EXPECT_TRUE(Locked());
}

TEST_F(SettingsScreenTest, DeleteAndClearStopPollingEvenWhenNothingIsDeleted) {
  form["PageControl1"].SetItemIndex(0);
  form["PADLIST1"].SetLines({"001", "002", "003"});
  form.TimerNamed("ComTimer").SetEnabled(true);
  screen.Button5Click();  // nothing selected
  EXPECT_EQ(form["PADLIST1"].LineCount(), 3u);
  EXPECT_FALSE(form.TimerNamed("ComTimer").Enabled());
  EXPECT_TRUE(Locked());

  form["PADLIST1"].SetItemIndex(1);
  screen.Button5Click();
  EXPECT_EQ(form["PADLIST1"].Lines(), (Lines{"001", "003"}));
  EXPECT_EQ(form["PADLIST1"].ItemIndex(), -1);
  form["PADLIST2"].SetLines({"009"});
  screen.Button6Click();
  EXPECT_EQ(form["PADLIST1"].LineCount(), 0u);
  EXPECT_EQ(form["PADLIST2"].Lines(), Lines{"009"});
}

TEST_F(SettingsScreenTest, SaveWritesBothFilesThenReloadsAndUnlocks) {
  setup.FormCreate();
  answerChannel[1] = 4;
  screen.ToolButton4Click();
  form["COMMID1"].SetText("COM5");  // a port but no station ID: not a station
  OnPage(2, " COM3 ");
  form["PDID2"].SetText("05");
  Add(2, "7");
  Add(2, "12");
  form["JZID3"].SetText("3");  // an ID and handhelds but no port
  form["PADLIST3"].SetLines({"010"});
  EXPECT_FALSE(form["Button3"].Enabled());  // "退出" locked after the edit

  screen.BitBtn2Click();

  EXPECT_EQ(ReadTxt("JZ.txt"), "02 05 COM3\r\n");
  EXPECT_EQ(ReadTxt("DCJ.txt"), "02 007\r\n02 012\r\n03 010\r\n");
  EXPECT_TRUE(boxes.texts.empty());
  // The refresh moved the station to slot 1 and it answered there.
  EXPECT_EQ(Port(1).CommName(), "COM3");
  EXPECT_EQ(form["PADLIST1"].Lines(), (Lines{"007", "012"}));
  EXPECT_EQ(StationStatus(form, 1).Text(), "05");
  EXPECT_EQ(pollReplyClears, 2);  // start-up and the save
  EXPECT_TRUE(form["Button3"].Enabled());
  EXPECT_TRUE(form["BitBtn2"].Enabled());
  EXPECT_TRUE(form["ToolButton1"].Enabled());
  EXPECT_TRUE(form["ToolButton2"].Enabled());
}

TEST_F(SettingsScreenTest, PortsConflictAsTheyWillBeWritten) {
  // Blanks around a name make no other device; blanks alone are no port.
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"COM3", "COM3 ", true}, {" COM3", "COM3", true}, {"COM3", "", false},
      {"  ", " ", false},      {"  ", "  ", false},
  };
  for (const auto& [port2, port4, conflict] : cases) {
    WriteTxt("JZ.txt", "09 09 COM9\r\n");
    boxes.texts.clear();
    form["COMMID2"].SetText(port2);
    form["COMMID4"].SetText(port4);
    form["JZID2"].SetText("02");
    form["JZID4"].SetText("04");
    form["Button3"].SetEnabled(false);
    screen.BitBtn2Click();
    EXPECT_EQ(boxes.texts, conflict ? Lines{SettingsScreen::kPortConflict} : Lines{}) << port2;
    EXPECT_EQ(ReadTxt("JZ.txt") == "09 09 COM9\r\n", conflict) << port2 << '|' << port4;
    EXPECT_TRUE(form["BitBtn2"].Enabled() && form["Button3"].Enabled()) << port2;
  }
}

TEST_F(SettingsScreenTest, RegistrationLinesThatCannotBeReadSurviveTheSave) {
  WriteTxt("JZ.txt", "01 05 COM3\r\n");
  WriteTxt("DCJ.txt", "01 007\r\n2 7\r\n01 0007\r\n01 192\r\n01 007 x\r\n");
  setup.FormCreate();
  EXPECT_EQ(form["PADLIST1"].Lines(), Lines{"007"});
  EXPECT_EQ(form["ListBox2"].Lines(), Lines{"01 007"});
  form["PageControl1"].SetItemIndex(0);
  Add(1, "9");
  screen.BitBtn2Click();
  const std::string saved = "01 007\r\n01 009\r\n2 7\r\n01 0007\r\n01 192\r\n01 007 x\r\n";
  EXPECT_EQ(ReadTxt("DCJ.txt"), saved);
  // The save's own reload keeps them again for the next one.
  screen.BitBtn2Click();
  EXPECT_EQ(ReadTxt("DCJ.txt"), saved);
  EXPECT_EQ(form["PADLIST1"].Lines(), (Lines{"007", "009"}));
}

TEST_F(SettingsScreenTest, StationIdThatIsNoNumberIsRefusedBeforeWriting) {
  WriteTxt("JZ.txt", "09 09 COM9\r\n");
  form["COMMID1"].SetText("COM3");
  form["JZID1"].SetText("a1");  // pasted past the filter
  screen.BitBtn2Click();
  EXPECT_EQ(boxes.texts, Lines{SettingsScreen::kBadStationId});
  EXPECT_EQ(ReadTxt("JZ.txt"), "09 09 COM9\r\n");
  EXPECT_TRUE(form["BitBtn2"].Enabled());
}

TEST_F(SettingsScreenTest, FailedWriteIsShownAndSaveCanBeTriedAgain) {
  std::filesystem::create_directory(txt.PathOf("JZ.txt"));  // cannot be replaced by a file
  form["COMMID1"].SetText("COM3");
  form["JZID1"].SetText("01");
  screen.BitBtn2Click();
  ASSERT_EQ(boxes.texts.size(), 1u);
  EXPECT_EQ(boxes.texts[0].rfind(SettingsScreen::kWriteFailed, 0), 0u) << boxes.texts[0];
  EXPECT_GT(boxes.texts[0].size(), std::string(SettingsScreen::kWriteFailed).size());
  EXPECT_TRUE(form["BitBtn2"].Enabled());
  EXPECT_EQ(Port(1).openCount, 0);  // no refresh

  std::filesystem::remove(txt.PathOf("JZ.txt"));
  screen.BitBtn2Click();
  EXPECT_EQ(ReadTxt("JZ.txt"), "01  COM3\r\n");
  EXPECT_EQ(Port(1).openCount, 1);
}

TEST_F(SettingsScreenTest, ChannelCheckLooksOnlyAtSlotsAStationAnsweredFor) {
  // Control, its new text, when (0: before the save, else ms into it), whether it fails.
  const std::tuple<const char*, const char*, Millis, bool> cases[] = {
      {"PDID4", "12", 0, false},   // a page no station was loaded for
      {"COMMID2", "", 0, false},   // station 02 leaves JZ.txt, its old answer with it
      {"PDID1", "08", 400, true},  // typed after station 01 answered during the reload
  };
  for (const auto& [control, text, at, fails] : cases) {
    WriteTxt("JZ.txt", "01 05 COM3\r\n02 07 COM4\r\n");
    answerChannel = {-1, 4, 6, -1, -1};
    setup.ToolButton3Click();
    boxes.texts.clear();
    screen.ToolButton4Click();
    form["PDID2"].SetText("09");
    auto edit = [this, control = control, text = text] { form[control].SetText(text); };
    std::optional<OneShot> later;
    if (at > 0)
      later.emplace(loop, at, edit);
    else
      edit();
    screen.BitBtn2Click();
    EXPECT_EQ(boxes.texts, fails ? Lines{SettingsScreen::kChannelChanged} : Lines{}) << control;
    EXPECT_EQ(form["ToolButton1"].Enabled(), !fails) << control;
  }
}

TEST_F(SettingsScreenTest, SecondSaveDuringTheRefreshIsIgnored) {
  WriteTxt("JZ.txt", "01 05 COM3\r\n");
  setup.FormCreate();
  int opensBefore = Port(1).openCount;
  loop.StartTimer(100, [this] { screen.BitBtn2Click(); });  // clicks while the save waits
  screen.BitBtn2Click();
  EXPECT_EQ(Port(1).openCount, opensBefore + 1);
}

TEST_F(SettingsScreenTest, StationNodeShowsPortAndStatus) {
  WriteTxt("JZ.txt", "01 05 COM3\r\n02 06 COM4\r\n");
  WriteTxt("DCJ.txt", "02 008\r\n");
  answerChannel[1] = 4;
  setup.FormCreate();
  const auto& nodes = form["TreeView1"].Nodes();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_TRUE(screen.TreeView1Changing(&nodes[1]));
  EXPECT_EQ(form["Edit2"].Text(), "COM4");
  EXPECT_EQ(form["Label3"].Text(), kNotConnected);
  EXPECT_TRUE(screen.TreeView1Changing(&nodes[1].children[0]));  // a handheld: no change
  EXPECT_TRUE(screen.TreeView1Changing(nullptr));
  EXPECT_EQ(form["Edit2"].Text(), "COM4");
  screen.TreeView1Changing(&nodes[0]);
  EXPECT_EQ(form["Edit2"].Text(), "COM3");
  EXPECT_EQ(form["Label3"].Text(), "05");
}

}  // namespace
}  // namespace ol::testing
