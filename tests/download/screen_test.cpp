#include "download/screen.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "download_rig.h"
#include "testing/one_shot.h"

namespace ol {
namespace {

using testing::DownloadRig;
using testing::OneShot;
using testing::ReadBytes;
using testing::SimStationPort;

std::vector<int> States(Control& tree) {
  std::vector<int> out;
  for (const TreeNode& station : tree.Nodes()) {
    out.push_back(station.stateIndex);
    for (const TreeNode& h : station.children) out.push_back(h.stateIndex);
  }
  return out;
}

TEST(DownloadScreen, SelectingHandhelds) {
  DownloadRig rig;
  rig.AddStation(1, 1, {5, 12});
  rig.AddStation(2, 2, {3});
  Control& tree = rig.form["TreeView2"];
  rig.Tick(2);

  rig.TickAllHandhelds();
  EXPECT_EQ(States(tree), (std::vector<int>{-1, 4, 4, -1, 4}));
  rig.form["CheckBox7"].SetChecked(false);
  rig.screen.CheckBox7Click();
  EXPECT_EQ(States(tree), (std::vector<int>{-1, 3, 3, -1, 3}));
  EXPECT_TRUE(rig.form["CheckBox2"].Checked());  // table boxes keep their ticks

  rig.TickHandheld(0, 1);
  rig.TickHandheld(1, 0);
  rig.TickHandheld(1, 0);
  tree.MutableNodes()[1].stateIndex = 4;
  rig.screen.TreeView2Click(TreeNodeRef{1, -1});  // a station node has no check box
  rig.screen.TreeView2Click(std::nullopt);
  rig.screen.TreeView2Click(TreeNodeRef{7, 0});
  EXPECT_EQ(States(tree), (std::vector<int>{-1, 3, 4, -1, 3}));

  rig.TickAllHandhelds();
  rig.screen.ToolButton2Click();  // re-entering with CheckBox7 ticked unticks them all
  EXPECT_FALSE(rig.form["CheckBox7"].Checked());
  EXPECT_EQ(States(tree), (std::vector<int>{-1, 3, 3, -1, 3}));
  EXPECT_TRUE(rig.form["Panel2"].Visible());
  EXPECT_FALSE(rig.form["Panel1"].Visible());
  EXPECT_EQ(rig.form["StatusPanel1"].Text(), "下载界面");
  EXPECT_FALSE(rig.form["ToolButton1"].Enabled());
  EXPECT_FALSE(rig.form["ToolButton4"].Enabled());
  EXPECT_EQ(rig.form["Label19"].Text(), "请选择手持和文件! ! !");
}

TEST(DownloadScreen, RequestTellsTheHostWaitsAndFillsRowsInTreeOrder) {
  DownloadRig rig;
  SimStationPort& one = rig.AddStation(1, 1, {5, 12});
  rig.AddStation(2, 2, {3});
  rig.WriteTable(6, {"x"});
  rig.Tick(6);
  Timer& poll = rig.form.TimerNamed("ComTimer");
  poll.SetEnabled(true);
  rig.screen.ToolButton2Click();
  rig.TickAllHandhelds();
  EXPECT_TRUE(poll.Enabled());  // polling runs until a download starts

  Millis start = rig.loop.Now();
  rig.screen.BitBtn1Click();
  EXPECT_EQ(rig.hostPosts, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{11, 11}}));
  EXPECT_EQ(rig.hostPostTimes.at(0), start);
  EXPECT_EQ(rig.loop.Now(), start + 500);
  EXPECT_FALSE(poll.Enabled());
  EXPECT_FALSE(rig.pollReply);
  EXPECT_FALSE(rig.form["ToolButton3"].Enabled());
  EXPECT_EQ(rig.Captions(), (std::vector<std::string>{"01005", "01012", "02003"}));
  EXPECT_EQ(one.Sent().size(), 1u);  // the first search frame went out
}

// The request waits half a second after telling the host; a second click then is no
// second request, and leaving the screen then leaves no download behind.
TEST(DownloadScreen, ClicksDuringTheRequestsWait) {
  DownloadRig rig;
  SimStationPort& station = rig.OneHandheldOneTableOnTheScreen();
  OneShot click(rig.loop, 100, [&] { rig.screen.BitBtn1Click(); });
  rig.screen.BitBtn1Click();
  EXPECT_EQ(rig.hostPosts.size(), 1u);
  EXPECT_EQ(station.TakeSent().size(), 1u);  // one search frame

  rig.screen.Button2Click();
  rig.screen.ToolButton2Click();
  rig.TickAllHandhelds();
  OneShot leave(rig.loop, 100, [&] { rig.screen.Button2Click(); });
  station.TakeSent();
  rig.screen.BitBtn1Click();
  rig.loop.Advance(30000);
  EXPECT_TRUE(station.TakeSent().empty());
  EXPECT_TRUE(rig.form.TimerNamed("ComTimer").Enabled());
  EXPECT_TRUE(rig.form["ToolButton1"].Enabled());
  EXPECT_TRUE(rig.Captions().empty());
}

TEST(DownloadScreen, RequestWithoutTablesOrHandhelds) {
  DownloadRig rig;
  SimStationPort& station = rig.AddStation(1, 1, {5});
  rig.WriteTable(6, {"x"});
  rig.Tick(6);
  rig.TickAllHandhelds();
  rig.screen.ToolButton2Click();
  rig.TickAllHandhelds();
  rig.screen.BitBtn1Click();
  ASSERT_EQ(rig.Captions().size(), 1u);

  rig.Tick(6, false);
  rig.screen.BitBtn1Click();
  EXPECT_EQ(rig.messages, (std::vector<std::string>{"请选择要下发的文件!!!"}));
  EXPECT_TRUE(rig.Captions().empty());  // the old rows are gone
  // The search of the request before does not go on ticking with nothing to search.
  EXPECT_FALSE(rig.form.TimerNamed("Timer6").Enabled());
  EXPECT_FALSE(rig.form.TimerNamed("Timer8").Enabled());

  rig.Tick(6);
  rig.form["CheckBox7"].SetChecked(false);
  rig.screen.CheckBox7Click();
  rig.screen.BitBtn1Click();
  EXPECT_EQ(rig.messages.back(), "请选择要下载的手持!!!");
  station.TakeSent();
  rig.loop.Advance(30000);
  EXPECT_TRUE(station.TakeSent().empty());
  EXPECT_FALSE(rig.form.TimerNamed("ComTimer").Enabled());  // until the screen is left

  rig.screen.Button2Click();
  EXPECT_TRUE(rig.form.TimerNamed("ComTimer").Enabled());
  EXPECT_TRUE(rig.form["Panel1"].Visible());
  EXPECT_FALSE(rig.form["Panel2"].Visible());
  EXPECT_TRUE(rig.form["ToolButton1"].Enabled());
  EXPECT_TRUE(rig.form["ToolButton4"].Enabled());
  EXPECT_EQ(rig.form["StatusPanel1"].Text(), "实时监控界面");
}

TEST(DownloadScreen, LeavingDuringTheSearchStopsItWhileTheCountdownRunsOut) {
  DownloadRig rig;
  SimStationPort& station = rig.OneHandheldOneTableOnTheScreen();
  rig.screen.BitBtn1Click();
  rig.loop.Advance(5000);
  EXPECT_EQ(rig.form["Label20"].Text(), "17");
  rig.screen.Button2Click();
  station.TakeSent();
  EXPECT_TRUE(rig.Captions().empty());

  rig.loop.Advance(16999);
  EXPECT_TRUE(station.TakeSent().empty());
  EXPECT_EQ(rig.form["Label20"].Text(), "1");
  EXPECT_TRUE(rig.form["Label20"].Visible());
  rig.loop.Advance(1);
  EXPECT_EQ(rig.form["Label20"].Text(), "0");
  EXPECT_FALSE(rig.form["Label20"].Visible());
  rig.loop.Advance(20000);
  EXPECT_TRUE(station.TakeSent().empty());
}

// Two stations of five handhelds each take all six sample tables; every handheld ends
// with each table exactly as packed, also when a tenth of the frames and of the answers
// are lost on the radio.
void DownloadSampleTables(unsigned lossPerMille) {
  DownloadRig rig(lossPerMille, 2024);
  rig.StartSampleDownload(ORDERLINK_MENU_DIR);
  SimStationPort& a = *rig.ports[1];
  SimStationPort& b = *rig.ports[2];
  ASSERT_TRUE(rig.loop.AdvanceUntil([&] { return rig.AllTablesComplete(); }, 1000000, 100));
  rig.loop.Advance(5000);
  for (int t = 1; t <= kMenuTableCount; ++t) {
    const MenuTable& table = MenuTableInfo(t);
    std::string packed = ReadBytes(rig.dir.Path() / Utf8Path(table.packedFile));
    EXPECT_FALSE(packed.empty());
    for (SimStationPort* s : {&a, &b}) {
      EXPECT_EQ(s->badFrames, 0);
      for (auto& h : s->handhelds)
        EXPECT_EQ(h.Table(t, table.recordSize), packed) << table.packedFile << " " << h.number;
      EXPECT_FALSE(rig.transfer.Pending(t, s == &a ? 1 : 2));
    }
  }
  EXPECT_EQ(rig.form["Label19"].Text(), "文件下发完毕! ! !");
  for (std::size_t r = 0; r < 10; ++r) {
    EXPECT_EQ(rig.Bar(r).progress, rig.Bar(r).progressMax);
    EXPECT_TRUE(rig.transfer.Live(r));
  }
}

TEST(DownloadScreen, SampleTablesReachEveryHandheld) {
  DownloadSampleTables(0);
}
TEST(DownloadScreen, SampleTablesReachEveryHandheldDespiteLoss) {
  DownloadSampleTables(100);
}

}  // namespace
}  // namespace ol
