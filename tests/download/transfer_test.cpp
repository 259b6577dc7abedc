#include "download/transfer.h"

#include <gtest/gtest.h>

#include <map>

#include "core/gbk.h"
#include "download_rig.h"

namespace ol {
namespace {

using testing::DownloadRig;
using testing::SimStationPort;

bool IsDataFrame(const std::string& hex) {
  return hex.size() == 139 * 2;
}
int FrameIndex(const std::string& hex) {
  return static_cast<int>(HexToInt(hex.substr(14, 4)));
}

std::vector<std::string> DataFrames(const std::vector<std::string>& sent) {
  std::vector<std::string> out;
  for (const auto& f : sent)
    if (IsDataFrame(f)) out.push_back(f);
  return out;
}

std::vector<std::string> Lines(int n, std::size_t width, char fill = 'a') {
  std::vector<std::string> lines;
  for (int i = 0; i < n; ++i) lines.push_back(std::string(width, static_cast<char>(fill + i % 26)));
  return lines;
}

// A download of three packets to one handheld that never answers, started.
SimStationPort& StartToASilentHandheld(DownloadRig& rig) {
  SimStationPort& station = rig.AddStation(1, 1, {3});
  station.handhelds[0].silent = true;
  rig.WriteTable(6, Lines(12, 32));  // three packets
  rig.Tick(6);
  rig.TickAllHandhelds();
  rig.screen.BitBtn1Click();
  return station;
}

// Dish lines with distinct codes, each packing to one 128-byte record.
std::vector<std::string> Dishes(int n) {
  std::vector<std::string> lines;
  for (int i = 0; i < n; ++i) {
    std::string line = ZeroPad(1000000 + i, 7) + std::string(20, 'n') + "     8.00";
    line.resize(100, ' ');
    lines.push_back(line);
  }
  return lines;
}

TEST(Transfer, OneCategoryRecordToTwoHandhelds) {
  DownloadRig rig;
  SimStationPort& station = rig.AddStation(1, 1, {3, 7});
  std::string category = Utf8ToGbk("01 凉菜");
  rig.WriteTable(6, {category});
  rig.Tick(6);
  rig.TickAllHandhelds();
  rig.screen.BitBtn1Click();

  std::vector<std::string> sent = station.TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0],
            "0A"     // search frame
            "01"     // station byte
            "06"     // first selected table: dish categories
            "02"     // two handhelds
            "03"     // handheld 3
            "07"     // handheld 7
            "001D")  // check value
  ;
  EXPECT_EQ(rig.form["Label19"].Text(), "正在搜索设备,请稍候! ! !");
  EXPECT_TRUE(rig.form["Label20"].Visible());
  EXPECT_EQ(rig.Bar(0).progressMax, 0);  // 32 bytes are no whole packet

  rig.loop.Advance(21999);
  sent = station.TakeSent();
  EXPECT_GT(sent.size(), 300u);  // one search frame every 60 ms, 3 ms for the empty slots
  EXPECT_TRUE(DataFrames(sent).empty());
  EXPECT_EQ(rig.form["Label20"].Text(), "1");

  rig.loop.Advance(1);
  sent = DataFrames(station.TakeSent());
  ASSERT_EQ(sent.size(), 1u);
  std::string payload =
      BytesToHex(category + std::string(32 - category.size(), ' ')) + std::string(96 * 2, 'F');
  std::string frame =
      "0A"      // data frame
      "01"      // station byte
      "00"      //
      "01"      // one table in this request
      "06"      // dish categories
      "0000"    // last packet index
      "0000" +  // packet index
      payload;  // the record, then 0xFF
  EXPECT_EQ(sent[0], frame + FrameCheck(frame));
  EXPECT_EQ(rig.form.TimerNamed("Timer5").Interval(), 390);
  EXPECT_EQ(rig.form["Label18"].Text(), "390");
  EXPECT_EQ(rig.form["Label19"].Text(), "文件下发完毕! ! !");
  EXPECT_FALSE(rig.form["Label21"].Visible());
  EXPECT_FALSE(rig.form["Label20"].Visible());
  EXPECT_FALSE(rig.form.TimerNamed("Timer6").Enabled());

  rig.loop.Advance(3000);
  EXPECT_TRUE(DataFrames(station.TakeSent()).empty());  // both acknowledged: done
  EXPECT_FALSE(rig.transfer.Pending(6, 1));
  EXPECT_EQ(rig.form["Memo5"].Lines(),
            (std::vector<std::string>{frame + FrameCheck(frame), "0A01030000", "0A01070000"}));
  EXPECT_EQ(rig.Bar(0).progress, 0);  // a bar never passes its maximum
  EXPECT_EQ(station.handhelds[1].Table(6, 32), category + std::string(32 - category.size(), ' '));
}

TEST(Transfer, PacketCountsOfExactAndEmptyImages) {
  DownloadRig rig;
  SimStationPort& station = rig.AddStation(1, 1, {9});
  rig.WriteTable(5, {});
  rig.WriteTable(6, Lines(8, 32));  // exactly 256 bytes
  rig.Tick(5);
  rig.Tick(6);
  rig.TickAllHandhelds();
  rig.screen.BitBtn1Click();
  rig.loop.Advance(kSearchMillis);
  std::vector<std::string> labels;
  std::vector<std::string> frames;
  for (int i = 0; i < 40; ++i) {
    rig.loop.Advance(50);
    for (const auto& f : DataFrames(station.TakeSent())) {
      frames.push_back(f);
      labels.push_back(rig.form["Label21"].Visible() ? rig.form["Label21"].Text() : "-");
    }
  }
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].substr(0, 18),
            "0A010002050000"
            "0000");
  EXPECT_EQ(frames[0].substr(18, 256), std::string(256, 'F'));  // the empty table
  EXPECT_EQ(frames[1].substr(0, 18),
            "0A010002060001"
            "0000");
  EXPECT_EQ(frames[2].substr(0, 18),
            "0A010002060001"
            "0001");
  EXPECT_EQ(labels, (std::vector<std::string>{"-", "共:1包 第:1包", "-"}));
  EXPECT_EQ(rig.Bar(0).progressMax, 2);
  EXPECT_EQ(rig.Bar(0).progress, 2);  // three acknowledgements, held at the maximum
  EXPECT_EQ(station.handhelds[0].Table(6, 32), rig.txt.Read("菜品类别表.bin").value());
}

TEST(Transfer, SilentHandheldIsRetriedThenNoLongerWaitedFor) {
  DownloadRig rig;
  SimStationPort& idle = rig.AddStation(1, 1, {4});
  SimStationPort& station = rig.AddStation(2, 3, {5});
  station.handhelds[0].silent = true;
  rig.WriteTable(1, Dishes(10));
  rig.Tick(1);
  rig.TickHandheld(1, 0);  // only the second station's handheld
  rig.screen.BitBtn1Click();
  rig.loop.Advance(kSearchMillis);

  // The station is served once a round: its interval of 340 ms plus 1 ms for each of the
  // three slots without rows.
  std::map<int, int> sendsOf;
  std::vector<Millis> at;
  for (int step = 0; step < 40000 && at.size() < 50; ++step) {
    rig.loop.Advance(1);
    for (const auto& f : DataFrames(station.TakeSent())) {
      ++sendsOf[FrameIndex(f)];
      at.push_back(rig.loop.Now());
    }
  }
  ASSERT_EQ(at.size(), 50u);
  EXPECT_EQ(at[1] - at[0], 343);
  EXPECT_EQ(at[49] - at[48], 343);
  EXPECT_TRUE(DataFrames(idle.TakeSent()).empty());
  EXPECT_EQ(sendsOf, (std::map<int, int>{{0, 20}, {1, 6}, {2, 6}, {3, 6}, {4, 6}, {5, 6}}));
  EXPECT_TRUE(rig.transfer.Live(0));
  rig.loop.Advance(20000);
  for (const auto& f : DataFrames(station.TakeSent())) ++sendsOf[FrameIndex(f)];
  EXPECT_FALSE(rig.transfer.Live(0));
  EXPECT_GT(sendsOf[5], 40);  // nobody left to wait for: the packet repeats
  EXPECT_EQ(sendsOf.count(6), 0u);

  rig.screen.Button2Click();
  rig.loop.Advance(5000);
  EXPECT_TRUE(station.TakeSent().empty());
  EXPECT_TRUE(rig.form.TimerNamed("ComTimer").Enabled());
}

TEST(Transfer, DataDuringTheSearchStopsItAndCountsForNoPacket) {
  DownloadRig rig;
  SimStationPort& first = rig.AddStation(1, 1, {3});
  SimStationPort& second = rig.AddStation(2, 2, {4});
  rig.WriteTable(6, Lines(12, 32));  // three packets
  rig.Tick(6);
  rig.TickAllHandhelds();
  rig.screen.BitBtn1Click();
  ASSERT_TRUE(rig.loop.AdvanceUntil(
      [&] { return second.handhelds[0].Complete(6) && first.handhelds[0].Complete(6); }, 60000));
  rig.loop.Advance(2000);
  first.TakeSent();
  second.TakeSent();
  for (auto& h : second.handhelds) h.packets.clear();

  // A second request; the second station's handheld answers the first search frame.
  rig.screen.BitBtn1Click();
  ASSERT_EQ(first.TakeSent().size(), 1u);
  second.ReceiveHex("0A02040000");
  std::vector<std::string> trace = rig.form["Memo5"].Lines();
  rig.loop.Advance(kSearchMillis - 1);
  EXPECT_TRUE(first.TakeSent().empty());
  EXPECT_TRUE(second.TakeSent().empty());

  rig.loop.Advance(1);
  std::vector<std::string> toSecond = DataFrames(second.TakeSent());
  ASSERT_EQ(toSecond.size(), 1u);  // served first: the search had stopped at slot 2
  EXPECT_TRUE(first.TakeSent().empty());
  EXPECT_EQ(FrameIndex(toSecond[0]), 0);
  EXPECT_EQ(rig.form["Memo5"].Lines().at(0), trace.at(0));  // no phase switch

  rig.loop.Advance(10000);
  EXPECT_TRUE(second.handhelds[0].Complete(6));
  EXPECT_EQ(second.handhelds[0].Table(6, 32), rig.txt.Read("菜品类别表.bin").value());
}

// The check for silent handhelds counts each download's own frames, also when data cut its
// search short: 49 frames of the download before must not make a handheld that answers
// from its second frame on look silent after its first.
TEST(Transfer, ADownloadDoesNotInheritTheFrameCountOfTheOneBefore) {
  DownloadRig rig;
  SimStationPort& station = rig.AddStation(1, 1, {3});
  rig.WriteTable(2, Lines(196, 32));  // 49 packets
  rig.Tick(2);
  rig.TickAllHandhelds();
  rig.screen.BitBtn1Click();
  ASSERT_TRUE(rig.loop.AdvanceUntil([&] { return station.handhelds[0].Complete(2); }, 60000));
  rig.loop.Advance(2000);
  station.TakeSent();
  station.handhelds[0].packets.clear();

  station.handhelds[0].silent = true;
  rig.screen.BitBtn1Click();
  station.ReceiveHex("0A01090000");     // another handheld's answer stops the search
  rig.loop.Advance(kSearchMillis + 4);  // (the search had moved on to the empty slots)
  ASSERT_EQ(DataFrames(station.TakeSent()).size(), 1u);
  station.handhelds[0].silent = false;
  EXPECT_TRUE(rig.loop.AdvanceUntil([&] { return station.handhelds[0].Complete(2); }, 60000));
  EXPECT_TRUE(rig.transfer.Live(0));
}

// The start of an acknowledgement still in the buffer when the first packet goes out,
// completed by a noise byte, acknowledges nothing.
TEST(Transfer, AStaleAcknowledgementStartDoesNotDeliverTheFirstPacket) {
  DownloadRig rig;
  SimStationPort& station = StartToASilentHandheld(rig);
  station.ReceiveHex("0A010300");
  rig.loop.Advance(kSearchMillis + 100);
  station.ReceiveHex("A5");
  rig.loop.Advance(6 * 340);
  std::vector<std::string> frames = DataFrames(station.TakeSent());
  ASSERT_GE(frames.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(FrameIndex(frames[i]), 0) << i;
}

// An answer to the search frame is no acknowledgement of the first packet: a handheld
// that falls silent after it gets that packet the full number of times.
TEST(Transfer, AnAnswerToTheSearchDoesNotDeliverTheFirstPacket) {
  DownloadRig rig;
  SimStationPort& station = StartToASilentHandheld(rig);
  station.ReceiveHex("0A01030000");
  rig.loop.Advance(kSearchMillis + 6 * 340 + 100);
  std::vector<std::string> frames = DataFrames(station.TakeSent());
  ASSERT_GE(frames.size(), 7u);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(FrameIndex(frames[i]), 0) << i;
  EXPECT_EQ(FrameIndex(frames[6]), 1);
}

TEST(Transfer, DuplicateAcknowledgementsFillTheBarButKeepTheHandheldLive) {
  DownloadRig rig;
  SimStationPort& station = rig.AddStation(1, 1, {1, 2});
  for (auto& h : station.handhelds) h.acksPerFrame = 2;
  rig.WriteTable(2, Lines(1000, 32));  // 250 packets; the bars are full after 125
  rig.Tick(2);
  rig.TickAllHandhelds();
  rig.screen.BitBtn1Click();
  ASSERT_TRUE(rig.loop.AdvanceUntil([&] { return station.handhelds[1].Complete(2); }, 200000));
  EXPECT_EQ(rig.Bar(0).progress, 250);
  EXPECT_TRUE(rig.transfer.Live(0));
  EXPECT_TRUE(rig.transfer.Live(1));
  EXPECT_EQ(station.handhelds[0].Table(2, 32), rig.txt.Read("客户要求表.bin").value());
  EXPECT_EQ(station.badFrames, 0);
}

TEST(Transfer, MoreThanFiftyOneHandheldsAtOneStation) {
  DownloadRig rig;
  std::vector<int> many;
  for (int h = 100; h < 160; ++h) many.push_back(h);
  SimStationPort& station = rig.AddStation(1, 7, many);
  rig.WriteTable(3, Lines(5, 22));
  rig.Tick(3);
  rig.TickAllHandhelds();
  rig.screen.BitBtn1Click();
  std::vector<std::string> sent = station.TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].substr(0, 10),
            "0A0703"
            "3C"
            "64");
  EXPECT_EQ(sent[0].size(), (4u + 60u + 2u) * 2u);
  ASSERT_TRUE(rig.loop.AdvanceUntil(
      [&] {
        for (auto& h : station.handhelds)
          if (!h.Complete(3)) return false;
        return true;
      },
      60000));
  EXPECT_EQ(rig.Captions().size(), 60u);
  EXPECT_EQ(rig.Captions().back(), "07159");
  EXPECT_EQ(station.handhelds.back().Table(3, 32), rig.txt.Read("菜品套餐表.bin").value());
}

TEST(Transfer, MissingOrUnpackableTablesEndTheRequestBeforeAnyFrame) {
  DownloadRig rig;
  SimStationPort& station = rig.AddStation(1, 1, {3});
  rig.TickAllHandhelds();
  rig.Tick(1);
  rig.Tick(6);
  rig.WriteTable(6, {"x"});
  rig.screen.BitBtn1Click();
  EXPECT_EQ(rig.messages, (std::vector<std::string>{"不存在\"菜品表.TXT\",不能打包"}));

  std::vector<std::string> dishes = Dishes(3);
  dishes[2].replace(30, 6, "  x.00");
  rig.WriteTable(1, dishes);
  rig.screen.BitBtn1Click();
  ASSERT_EQ(rig.messages.size(), 2u);
  EXPECT_EQ(rig.messages[1], "2---" + dishes[2] + "\r\n请重新打包");

  rig.Tick(1, false);
  rig.WriteTable(4, {"0110000011" + std::string(6, ' ') + "    ab   "});
  rig.Tick(4);
  rig.screen.BitBtn1Click();
  ASSERT_EQ(rig.messages.size(), 3u);
  EXPECT_EQ(rig.messages[2].substr(0, 3), "0--");
  EXPECT_FALSE(rig.txt.Exists("菜品套餐内容表.bin"));
  EXPECT_FALSE(rig.txt.Exists("菜品类别表.bin") && rig.txt.Exists("菜品表.bin"));

  rig.loop.Advance(30000);
  EXPECT_TRUE(station.TakeSent().empty());
  EXPECT_EQ(rig.Captions().size(), 1u);  // the row stays, with an empty bar
  EXPECT_FALSE(rig.form.TimerNamed("ComTimer").Enabled());
}

}  // namespace
}  // namespace ol
