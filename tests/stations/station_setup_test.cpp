#include "stations_fixture.h"

#include <filesystem>

#include "core/gbk.h"
#include "stations/form_helpers.h"

namespace ol::testing {
namespace {

using Lines = std::vector<std::string>;
using Dtr = std::pair<Millis, bool>;  // virtual time, line raised after the change

std::vector<Dtr> DtrLog(const FakePort& port) {
  std::vector<Dtr> out;
  for (const auto& change : port.dtrChanges) out.emplace_back(change.at, change.raised);
  return out;
}

class StationSetupTest : public StationsTest {};

TEST_F(StationSetupTest, FormCreatePreparesFolderFilesListsAndTimers) {
  ASSERT_TRUE(std::filesystem::is_directory(dir.Path() / "TXT"));  // created when missing
  WriteTxt("logfile.txt", "old record\r\n");
  form["Memo6"].SetLines({"old record"});
  form.TimerNamed("ComTimer").SetInterval(70);
  form.TimerNamed("ComTimer").SetEnabled(true);
  form.TimerNamed("Timer4").SetEnabled(true);

  setup.FormCreate();

  EXPECT_EQ(ReadTxt("JZ.txt"), "");
  EXPECT_EQ(ReadTxt("DCJ.txt"), "");
  EXPECT_EQ(ReadTxt("logfile.txt"), "");
  EXPECT_EQ(form["Memo6"].LineCount(), 0u);
  EXPECT_FALSE(form.TimerNamed("ComTimer").Enabled());
  EXPECT_FALSE(form.TimerNamed("Timer4").Enabled());
  EXPECT_FALSE(form["ToolButton3"].Enabled());
  EXPECT_FALSE(form["Panel2"].Visible());
  EXPECT_FALSE(form["Panel3"].Visible());
  EXPECT_EQ(form["StatusPanel1"].Text(), "实时监控界面");
  for (int n = 1; n <= 4; ++n) {
    EXPECT_EQ(form.At("COMMID", n).Lines(), portList);
    ASSERT_EQ(form.At("PDID", n).LineCount(), 64u);
    EXPECT_EQ(form.At("PDID", n).Lines().front(), "01");
    EXPECT_EQ(form.At("PDID", n).Lines().back(), "64");
    EXPECT_EQ(form.At("PDID", n).Text(), "");
  }
  EXPECT_EQ(pollingResets, 1);
  EXPECT_EQ(pollReplyClears, 1);
  EXPECT_TRUE(boxes.texts.empty());
}

TEST_F(StationSetupTest, ExistingFilesAreKeptWhateverTheirCase) {
  WriteTxt("jz.TXT", "01 05 COM3\r\n");
  WriteTxt("DCJ.TXT", "01 007\r\n");
  setup.FormCreate();
  EXPECT_EQ(ReadTxt("JZ.txt"), "01 05 COM3\r\n");
  EXPECT_EQ(form["PADLIST1"].Lines(), Lines{"007"});
}

TEST_F(StationSetupTest, OneStationWithItsHandheld) {
  WriteTxt("JZ.txt", "01 05 COM3\r\n");
  WriteTxt("DCJ.txt", "01 007\r\n02 008\r\n");
  setup.FormCreate();

  EXPECT_EQ(form["COMMID1"].Text(), "COM3");
  EXPECT_EQ(form["JZID1"].Text(), "01");
  EXPECT_EQ(form["PDID1"].Text(), "05");
  EXPECT_EQ(form["PADLIST1"].Lines(), Lines{"007"});
  EXPECT_EQ(form["ListBox3"].Lines(), Lines{"01 05 COM3"});
  EXPECT_EQ(form["ListBox2"].Lines(), (Lines{"01 007", "02 008"}));  // 02 008: shown nowhere
  for (int n = 2; n <= 4; ++n) EXPECT_EQ(form.At("PADLIST", n).LineCount(), 0u);

  const Control& tree1 = form["TreeView1"];
  const Control& tree2 = form["TreeView2"];
  ASSERT_EQ(tree1.Nodes().size(), 1u);
  ASSERT_EQ(tree2.Nodes().size(), 1u);
  EXPECT_EQ(tree1.Nodes()[0].text, "基站1");
  EXPECT_EQ(tree1.Nodes()[0].stateIndex, -1);
  EXPECT_EQ(tree2.Nodes()[0].stateIndex, -1);
  EXPECT_EQ(Children(tree1, 0), Lines{"007"});
  EXPECT_EQ(tree1.Nodes()[0].children[0].stateIndex, 1);
  EXPECT_EQ(tree2.Nodes()[0].children[0].stateIndex, 3);

  EXPECT_EQ(Port(1).CommName(), "COM3");
  EXPECT_TRUE(Port(1).IsOpen());
  EXPECT_EQ(Port(1).Sent(), Lines{"AA400000BB"});
  EXPECT_EQ(StationStatus(form, 1).Text(), kNotConnected);  // the station is mute
  EXPECT_EQ(StationStatus(form, 2).Text(), "");             // never loaded
  EXPECT_EQ(Port(2).openCount, 0);
  EXPECT_EQ(bufferClears, 1);
}

TEST_F(StationSetupTest, EachSlotWaitsAbout330MsAndQueriesAfter130) {
  WriteTxt("JZ.txt", "01 05 COM1\r\n02 06 COM2\r\n03 07 COM3\r\n04 08 COM4\r\n");
  setup.FormCreate();
  EXPECT_EQ(loop.Now(), 4 * 330);
  // Sends are recorded without time; the DTR rise just before each query has one.
  for (int n = 1; n <= 4; ++n) {
    ASSERT_EQ(Port(n).dtrChanges.size(), 3u) << n;
    EXPECT_EQ(DtrLog(Port(n))[1], (Dtr{(n - 1) * 330 + 130, true})) << n;
  }
}

TEST_F(StationSetupTest, DtrPulseOnTheFirstLoadOnlyAndDroppedWhilePolled) {
  WriteTxt("JZ.txt", "01 05 COM3\r\n");
  setup.FormCreate();
  // Opened with DTR raised: a short low pulse right before the query, raised during the
  // 200 ms wait, dropped afterwards.
  EXPECT_EQ(DtrLog(Port(1)), (std::vector<Dtr>{{130, false}, {130, true}, {330, false}}));
  EXPECT_EQ(Port(1).DtrControl(), TDtrControl::DtrDisable);

  Port(1).dtrChanges.clear();
  setup.ToolButton3Click();  // opened with DTR dropped: no pulse, only the rise
  EXPECT_EQ(DtrLog(Port(1)), (std::vector<Dtr>{{330 + 130, true}, {330 + 330, false}}));
  EXPECT_EQ(Port(1).Sent(), (Lines{"AA400000BB", "AA400000BB"}));
}

TEST_F(StationSetupTest, PortThatCannotOpenIsLoggedAndTheOthersLoad) {
  WriteTxt("JZ.txt", "01 05 COM3\r\n02 06 COM4\r\n");
  WriteTxt("DCJ.txt", "01 007\r\n02 008\r\n");
  Port(1).failOpen = true;
  answerChannel[2] = 5;
  setup.FormCreate();

  EXPECT_EQ(form["Memo1"].Lines(), Lines{"COM3打开失败!"});
  EXPECT_EQ(StationStatus(form, 1).Text(), kNotConnected);
  EXPECT_TRUE(boxes.texts.empty());
  // The failed slot is filled all the same.
  EXPECT_EQ(form["COMMID1"].Text(), "COM3");
  EXPECT_EQ(form["PADLIST1"].Lines(), Lines{"007"});
  EXPECT_EQ(Children(form["TreeView1"], 0), Lines{"007"});
  EXPECT_TRUE(Port(1).Sent().empty());
  EXPECT_TRUE(Port(1).dtrChanges.empty());  // only set for the next open
  // It costs only the 30 ms before the open; the other station answers.
  EXPECT_EQ(loop.Now(), 30 + 330);
  EXPECT_EQ(StationStatus(form, 2).Text(), "06");
  EXPECT_EQ(form["PADLIST2"].Lines(), Lines{"008"});
}

TEST_F(StationSetupTest, ChannelByteFourDuringTheWaitShowsChannel05) {
  WriteTxt("JZ.txt", "01 09 COM3\r\n");
  answerChannel[1] = 4;
  setup.FormCreate();
  EXPECT_EQ(StationStatus(form, 1).Text(), "05");
  EXPECT_EQ(form["PDID1"].Text(), "05");
  EXPECT_EQ(form["Label3"].Text(), "05");
}

TEST_F(StationSetupTest, LinesMoveUpWhenASlotIsLeftEmpty) {
  // Saved with slot 1 empty and slot 2 configured: the station comes back on slot 1.
  WriteTxt("JZ.txt", "02 06 COM4\r\n");
  WriteTxt("DCJ.txt", "02 008\r\n");
  setup.FormCreate();
  EXPECT_EQ(form["COMMID1"].Text(), "COM4");
  EXPECT_EQ(form["JZID1"].Text(), "02");
  EXPECT_EQ(form["PADLIST1"].Lines(), Lines{"008"});
  EXPECT_EQ(Port(1).CommName(), "COM4");
  EXPECT_EQ(Port(2).openCount, 0);
  ASSERT_EQ(form["TreeView2"].Nodes().size(), 1u);
  EXPECT_EQ(form["TreeView2"].Nodes()[0].text, "基站1");
}

TEST_F(StationSetupTest, SlotsWithTheSameIdEachGetEveryHandheld) {
  WriteTxt("JZ.txt", "01 05 COM3\r\n01 06 COM4\r\n");
  WriteTxt("DCJ.txt", "01 007\r\n01 009\r\n");
  setup.FormCreate();
  EXPECT_EQ(form["PADLIST1"].Lines(), (Lines{"007", "009"}));
  EXPECT_EQ(form["PADLIST2"].Lines(), (Lines{"007", "009"}));
  EXPECT_EQ(Children(form["TreeView2"], 1), (Lines{"007", "009"}));
}

TEST_F(StationSetupTest, SlotsWithoutALineAreEmptiedAsIfNeverLoaded) {
  WriteTxt("JZ.txt", "01 05 COM3\r\n02 07 COM4\r\n");
  answerChannel = {-1, 4, 6, -1, -1};
  setup.FormCreate();
  ASSERT_EQ(StationStatus(form, 2).Text(), "07");
  WriteTxt("JZ.txt", "01 05 COM3\r\n");
  setup.ToolButton3Click();
  for (const char* family : {"COMMID", "JZID", "PDID", "StationStatus"})
    EXPECT_EQ(form.At(family, 2).Text(), "") << family;
  EXPECT_FALSE(Port(2).IsOpen());
  EXPECT_EQ(form["COMMID1"].Text(), "COM3");
  EXPECT_EQ(form["TreeView1"].Nodes().size(), 1u);
}

TEST_F(StationSetupTest, UnreadableLinesAreLoggedAndRegistrationsKeptAsTheyStand) {
  WriteTxt("JZ.txt", "xx 05 COM3\r\n01 5 COM4\r\n\r\n03 07\r\n02 123 COM1\r\n");
  WriteTxt("DCJ.txt", "01 007\r\n01 250\r\n1 8\r\n\r\n02 abc\r\n02 010\r\n");
  setup.FormCreate();

  // Readable lines keep line k for slot k+1; one with a three-digit channel is read by
  // its fields.
  EXPECT_EQ(form["ListBox3"].Lines(), (Lines{"01 5 COM4", "02 123 COM1"}));
  EXPECT_EQ(form["COMMID1"].Text(), "COM4");
  EXPECT_EQ(form["PDID1"].Text(), "5");
  EXPECT_EQ(form["COMMID2"].Text(), "COM1");
  EXPECT_EQ(form["PDID2"].Text(), "123");
  EXPECT_EQ(Port(1).CommName(), "COM4");
  EXPECT_EQ(Port(3).openCount, 0);
  // The registration list holds only lines that register; the others wait for the save.
  EXPECT_EQ(form["ListBox2"].Lines(), (Lines{"01 007", "02 010"}));
  EXPECT_EQ(form["PADLIST1"].Lines(), Lines{"007"});
  EXPECT_EQ(form["PADLIST2"].Lines(), Lines{"010"});
  EXPECT_EQ(setup.KeptRegistrationLines(), (Lines{"01 250", "1 8", "02 abc"}));
  const std::string kept = "行格式不对，未登记任何手持，保存时原样保留：";
  EXPECT_EQ(form["Memo1"].Lines(),
            (Lines{"DCJ.txt 第2" + kept + "01 250", "DCJ.txt 第3" + kept + "1 8",
                   "DCJ.txt 第5" + kept + "02 abc", "JZ.txt 第1行无法读取，已跳过：xx 05 COM3",
                   "JZ.txt 第4行无法读取，已跳过：03 07"}));
}

TEST_F(StationSetupTest, LinesAfterTheFourthBelongToNoSlot) {
  WriteTxt("JZ.txt", "01 01 A\r\n02 02 B\r\n03 03 C\r\n04 04 D\r\n05 05 E\r\n");
  setup.FormCreate();
  EXPECT_EQ(form["ListBox3"].LineCount(), 5u);
  EXPECT_EQ(form["TreeView1"].Nodes().size(), 4u);
  EXPECT_EQ(Port(4).CommName(), "D");
  EXPECT_EQ(Port(5).openCount, 0);
}

TEST_F(StationSetupTest, RefreshReloadsWithoutDuplicatesAndKeepsTheLists) {
  WriteTxt("JZ.txt", "01 05 COM3\r\n");
  WriteTxt("DCJ.txt", "01 007\r\n");
  answerChannel[1] = 4;
  setup.FormCreate();
  form["COMMID1"].SetLines({"typed"});
  Port(5).OpenPort();
  form.TimerNamed("ComTimer").SetInterval(70);
  form.TimerNamed("ComTimer").SetEnabled(true);
  WriteTxt("DCJ.txt", "01 007\r\n01 011\r\n");

  bool comTimerOffWhenCleared = false;
  hooks.clearConnectedStations = [&] {
    ++connectedClears;
    comTimerOffWhenCleared = !form.TimerNamed("ComTimer").Enabled() && !Port(1).IsOpen();
  };
  setup.ToolButton3Click();

  EXPECT_TRUE(comTimerOffWhenCleared);
  EXPECT_EQ(connectedClears, 1);
  EXPECT_FALSE(Port(5).IsOpen());
  EXPECT_EQ(form["PADLIST1"].Lines(), (Lines{"007", "011"}));
  EXPECT_EQ(Children(form["TreeView1"], 0), (Lines{"007", "011"}));
  EXPECT_EQ(form["COMMID1"].Lines(), Lines{"typed"});  // the port list is not rebuilt
  EXPECT_EQ(portListCalls, 1);
  EXPECT_EQ(StationStatus(form, 1).Text(), "05");
  EXPECT_EQ(pollingResets, 1);
}

TEST_F(StationSetupTest, GbkPortNameIsShownAsUtf8) {
  WriteTxt("JZ.txt", Utf8ToGbk("01 05 /dev/串口1") + "\r\n");
  setup.FormCreate();
  EXPECT_EQ(form["COMMID1"].Text(), "/dev/串口1");
  EXPECT_EQ(Port(1).CommName(), "/dev/串口1");
}

}  // namespace
}  // namespace ol::testing
