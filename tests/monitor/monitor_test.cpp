#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>

#include "app/gateway.h"
#include "core/gbk.h"
#include "gateway/gateway_fixture.h"
#include "monitor/monitor.h"
#include "stationsim/sim_station.h"
#include "testing/in_memory_host_link.h"
#include "testing/recording_message_box.h"
#include "testing/temp_dir.h"

namespace ol::testing {
namespace {

// The decoded view's lines without their times, blanks folded.
std::vector<std::string> Words(const Monitor& m) {
  std::vector<std::string> out;
  for (const TrafficLine& line : m.Log().Lines()) {
    std::string s = RenderTrafficLine(line).substr(14);
    s = std::regex_replace(s, std::regex("（至 [0-9:.]+）"), "");
    s = std::regex_replace(s, std::regex(" +"), " ");
    out.push_back(Trim(s));
  }
  return out;
}

// The gateway of the logic tests with a monitor listening.
struct TrafficRig : GatewayTest {
  TrafficRig() {
    gw.Hooks().traffic = [this](const TrafficEvent& e) { monitor.OnTraffic(e); };
    Connect({1});
  }
  void TestBody() override {}
  using GatewayTest::form, GatewayTest::gw, GatewayTest::loop, GatewayTest::Port, GatewayTest::txt;
  Monitor monitor{loop, form, comms, dir.Path() / "journal", {}, false};
};

// A view following the log gets only the difference: a fold rewrites its last line when
// that line is one it shows, new lines are added, and a log that outran it is sent anew.
TEST(TrafficFollower, SendsTheDifference) {
  TrafficLog log;
  auto add = [&](Traffic kind, int station) {
    log.Add({kind, "10:00:00.000", "", station, -1, "x"});
  };
  TrafficFollower all, station2;
  const TrafficFilter only2{2, -1};
  add(Traffic::Poll, 1);
  EXPECT_TRUE(all.Next(log, {}).rebuild);
  EXPECT_TRUE(station2.Next(log, only2).lines.empty());
  add(Traffic::Poll, 1);  // folds
  add(Traffic::ChannelAnswer, 2);
  const TrafficUpdate a = all.Next(log, {}), b = station2.Next(log, only2);
  EXPECT_TRUE(a.rewriteLast && !a.rebuild);
  EXPECT_NE(a.last.find("×2"), std::string::npos) << a.last;
  EXPECT_EQ(a.lines.size(), 1u);
  EXPECT_FALSE(b.rewriteLast);  // the folded line is not station 2's
  EXPECT_EQ(b.lines.size(), 1u);
  EXPECT_TRUE(all.Next(log, {}).lines.empty());
  for (std::size_t i = 0; i <= TrafficLog::kMaxLines; ++i) add(Traffic::ChannelAnswer, 1);
  const TrafficUpdate c = all.Next(log, {});
  EXPECT_TRUE(c.rebuild);
  EXPECT_EQ(c.lines.size(), TrafficLog::kMaxLines);
}

// Recorded traffic, split and corrupted as the radio delivers it, read back in words.
TEST(TrafficWords, RecordedTrafficReadsInWords) {
  const std::string dc = BuildPackets(1, 5, 0x53, std::string("T01    X001Y00000000001") + '\0')[0];
  const auto kt = BuildPackets(1, 5, 0x4E, "A01204" + std::string(100, 'x'));
  std::string bad = kt[1];
  bad[40] = bad[40] == '0' ? '1' : '0';
  const auto dl = BuildPackets(1, 5, 0x4C, "1001      8888");
  struct Step {
    // p: poll tick; r: chunk received on slot 1 (hex); h: the host replies; w: wait ms;
    // c: the accumulator and the poll-reply flag cleared, as a download does; u: handheld
    // 005 unregistered, still polled
    char op;
    std::string data;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> words;  // a trailing '*' matches any rest
  } cases[] = {
      {"one packet, answer and confirmation split",
       {{'p', ""},
        {'r', "A5"},
        {'r', "0105"},
        {'r', dc.substr(0, 50)},
        {'r', dc.substr(50)},
        {'h', "DC   005\r\nOK\r\n"},
        {'r', "04"},
        {'r', "0105000000000000"}},
       {"轮询（最近 基站01 手持005）", "基站01 手持005 请求待传",
        "基站01 手持005 请求包 1/1 已收，已回 OK", "基站01 手持005 请求 DC（点菜）已交主机",
        "基站01 手持005 主机通知回复已就绪", "基站01 手持005 主机回复 DC，已发往手持 005",
        "基站01 手持005 手持确认"}},
      {"second of three packets corrupted, then sent again",
       {{'p', ""}, {'r', "A50105"}, {'r', kt[0]}, {'r', bad}, {'r', kt[1]}, {'r', kt[2]}},
       {"轮询（最近 基站01 手持005）", "基站01 手持005 请求待传",
        "基站01 手持005 请求包 1/3 已收，已回 OK", "基站01 手持005 请求包 2/3 校验错，已回 NO",
        "基站01 手持005 请求包 2/3 已收，已回 OK", "基站01 手持005 请求包 3/3 已收，已回 OK",
        "基站01 手持005 请求 KT（开台）已交主机"}},
      {"a handheld that is not registered, then silence",
       {{'u', ""}, {'p', ""}, {'r', "A50105"}, {'w', "700"}, {'r', dl[0]}, {'w', "12000"}},
       {"轮询（最近 基站01 手持005）", "基站01 手持005 请求待传",
        "基站01 手持005 重发应答 NO（等待请求包 1/1） ×2",
        "基站01 手持005 请求包 1/1 已收，已回 OK", "基站01 手持005 手持未注册，请求未交主机",
        "轮询*"}},
      {"the host stays silent",
       {{'p', ""}, {'r', "A50105"}, {'r', dc}, {'w', "11500"}},
       {"轮询（最近 基站01 手持005）", "基站01 手持005 请求待传",
        "基站01 手持005 请求包 1/1 已收，已回 OK", "基站01 手持005 请求 DC（点菜）已交主机",
        "基站01 手持005 无应答，已发无回复提示", "*"}},
      {"channel answer, download acknowledgements, a stray confirmation, noise",
       {{'r', "AA4F000400BB"},
        {'c', ""},
        {'r', "0A0105000A0A01050000"},
        {'r', "040105000000000000"},
        {'r', std::string(8200, '5')}},
       {"基站01 频道应答：频道 05", "基站01 手持005 下载应答 ×2",
        "基站01 无法识别的数据 9 字节，已清除", "基站01 无法识别的数据 4100 字节，已清除"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TrafficRig rig;
    for (const Step& s : c.steps) {
      switch (s.op) {
        case 'p':
          rig.gw.GetPolling().ComTimerTimer();
          break;
        case 'r':
          rig.Port(1).ReceiveHex(s.data);
          break;
        case 'h':
          rig.txt.Write("R1.txt", s.data);
          rig.gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
          rig.loop.Advance(ReplyRelay::kReadAfterSignal);
          break;
        case 'w':
          rig.loop.Advance(std::stoi(s.data));
          break;
        case 'u':
          rig.form["ListBox2"].SetLines({"01 007", "02 010"});
          break;
        case 'c':
          rig.gw.Receive().ClearAccumulator();
          rig.gw.GetPolling().ClearPollReply();
          break;
      }
    }
    const std::vector<std::string> words = Words(rig.monitor);
    std::size_t i = 0;
    for (; i < c.words.size() && i < words.size(); ++i) {
      const std::string& want = c.words[i];
      if (want.ends_with('*')) {
        EXPECT_TRUE(words[i].starts_with(want.substr(0, want.size() - 1))) << words[i];
        break;
      }
      EXPECT_EQ(words[i], want);
    }
    if (!c.words.back().ends_with('*')) {
      EXPECT_EQ(words.size(), c.words.size());
    }
  }
}

// A scripted run: one simulated station with handhelds 5 and 7; the host answers every
// request of 5 and none of 7.
TEST(HandheldBoard, CountsAScriptedSimulatorRun) {
  ManualLoop loop;
  TempDir dir;
  InMemoryHostHub hub;
  InMemoryHostLink host{hub, loop, 10};
  InMemoryHostLink own{hub, loop, 20};
  RecordingMessageBox boxes;
  std::filesystem::create_directories(dir.Path() / "TXT");
  WriteBytes(dir.Path() / "TXT" / "JZ.txt", "01 05 ttySim1\r\n");
  WriteBytes(dir.Path() / "TXT" / "DCJ.txt", "01 005\r\n01 007\r\n");
  FakePort* port = nullptr;
  std::unique_ptr<sim::SimStation> station;
  GatewayWorld world{loop,
                     own,
                     boxes,
                     [&](int n) {
                       auto p = std::make_unique<FakePort>(&loop, n <= 4 ? n : 0);
                       if (n == 1) {
                         port = p.get();
                         p->onSend = [&](const std::string& hex) {
                           station->Receive(HexToBytes(hex));
                         };
                       }
                       return p;
                     },
                     dir.Path() / "TXT",
                     [] { return std::vector<std::string>{}; }};
  world.journalThread = false;
  Gateway g(std::move(world));
  std::vector<std::string> tray;
  g.Window().trayMessage = [&](const std::string& text) { tray.push_back(text); };
  station =
      std::make_unique<sim::SimStation>(loop, sim::StationPlan{1, 4, {5, 7}},
                                        [&](const std::string& bytes) { port->Receive(bytes); });
  std::map<int, std::map<sim::SimEvent::Kind, int>> seen;  // by handheld
  int corrupted = 0;
  station->onEvent = [&](const sim::SimEvent& e) {
    ++seen[e.handheld][e.kind];
    if (e.kind == sim::SimEvent::Kind::PacketSent && e.detail == "corrupted") ++corrupted;
  };
  host.OnMessage = [&](const HostMessage& m) {
    if (m.wparam != 1 || m.lparam != 1) return;
    const auto t1 = SplitLines(ReadBytes(dir.Path() / "TXT" / "T1.txt"));
    if (t1.empty() || !t1[0].ends_with("005")) return;
    WriteBytes(dir.Path() / "TXT" / "R1.txt", t1[0] + "\r\nOK\r\n");
    host.Post(20, kHostMessage, 0, 1);
  };
  g.Announce(10);
  g.FormCreate();
  station->QueueRequest({5, 0x4C, "1001      8888"});
  station->QueueRequest({5, 0x4E, "A01204" + std::string(100, 'x'), sim::Fault::CorruptPacket, 2});
  station->QueueRequest({5, 0x53, std::string("A012   0001000000000001") + '\0'});
  loop.Advance(20000);
  for (int i = 0; i < 3; ++i) station->QueueRequest({7, 0x4C, "1002      6666"});
  loop.Advance(60000);
  ASSERT_TRUE(station->Idle());

  using K = sim::SimEvent::Kind;
  const std::vector<BoardRow> rows = g.GetMonitor().HandheldRows();
  ASSERT_EQ(rows.size(), 2u);
  // Cells: station, handheld, state, last request, requests, bad packets, resends,
  // confirmed, no-reply texts, to host, to handheld, alert.
  const BoardRow& five = rows[0];
  EXPECT_EQ(five.cells[1], "005");
  EXPECT_EQ(five.cells[2], "空闲");
  EXPECT_TRUE(five.cells[3].starts_with("DC ")) << five.cells[3];
  EXPECT_EQ(five.cells[4], std::to_string(seen[5][K::UploadComplete]));
  EXPECT_EQ(five.cells[4], "3");
  EXPECT_EQ(five.cells[5], std::to_string(corrupted));
  EXPECT_EQ(five.cells[7], std::to_string(seen[5][K::ConfirmSent]));
  EXPECT_EQ(five.cells[8], "0");
  EXPECT_NE(five.cells[10], "-");
  EXPECT_EQ(five.alert, "");
  const BoardRow& seven = rows[1];
  EXPECT_EQ(seven.cells[4], "3");
  // A no-reply text ends its exchange as it goes out: the handheld's confirmation of it
  // is not waited for and counts for nothing.
  EXPECT_EQ(seen[7][K::ConfirmSent], 3);
  EXPECT_EQ(seven.cells[7], "0");
  EXPECT_EQ(seven.cells[8], "3");
  EXPECT_EQ(seven.cells[10], "-");  // the host never answered it
  EXPECT_EQ(seven.alert, "连续3次失败：主机无回复");
  EXPECT_EQ(corrupted, 1);
  ASSERT_EQ(g.GetMonitor().StationRows().size(), 1u);
  EXPECT_EQ(g.GetMonitor().StationRows()[0].cells[4], "已连接");
  EXPECT_EQ(std::count_if(tray.begin(), tray.end(),
                          [](const std::string& t) { return t.starts_with("主机连续3次"); }),
            1);
  EXPECT_NE(g.GetMonitor().TrayTip().find("基站01 ttySim1：已连接 频道05"), std::string::npos);
}

// The journal's day files: rotation at midnight, the bound over all days, its own thread.
TEST(TrafficJournal, KeepsDaysWithinItsBound) {
  const std::string line(98, 'x');  // 100 bytes on disk with CR LF
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::size_t>> existing;  // file, bytes
    std::uintmax_t bound;
    std::vector<std::string> days;  // one line appended on each
    std::vector<std::string> kept;  // day files left, oldest first
    std::uint64_t dropped;
  } cases[] = {
      {"the oldest days go first",
       {{"2026-12-01.txt", 400}, {"2026-12-02.txt", 400}, {"2026-12-03.txt", 400}},
       1000,
       {"2026-12-08"},
       {"2026-12-02.txt", "2026-12-03.txt", "2026-12-08.txt"},
       0},
      {"a day alone at the bound keeps its first lines",
       {},
       250,
       {"2026-12-08", "2026-12-08", "2026-12-08"},
       {"2026-12-08.txt"},
       1},
      {"the next day starts its own file, the full day gives way",
       {},
       250,
       {"2026-12-08", "2026-12-08", "2026-12-09"},
       {"2026-12-09.txt"},
       0},
      {"other files are neither counted nor removed",
       {{"notes.txt", 5000}, {"2026-12-01.txt", 100}},
       250,
       {"2026-12-08"},
       {"2026-12-01.txt", "2026-12-08.txt"},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto folder = dir.Path() / "journal";
    std::filesystem::create_directories(folder);
    for (const auto& [name, size] : c.existing) WriteBytes(folder / name, std::string(size, 'o'));
    {
      Journal journal(folder, {c.bound, 100}, true);
      for (const std::string& day : c.days) journal.Append(day, line);
      journal.Flush();
      EXPECT_EQ(journal.CurrentStatus().dropped, c.dropped);
      EXPECT_EQ(journal.CurrentStatus().ok, c.dropped == 0);
    }
    std::vector<std::string> kept;
    for (const auto& f : Journal::DayFiles(folder)) kept.push_back(f.filename().string());
    EXPECT_EQ(kept, c.kept);
    for (const auto& [name, size] : c.existing)
      if (name == "notes.txt") {
        EXPECT_EQ(std::filesystem::file_size(folder / name), size);
      }
  }
  // The lines themselves: GBK, CR LF, appended across restarts.
  TempDir dir;
  for (int run = 0; run < 2; ++run) {
    Journal journal(dir.Path(), {}, true);
    journal.Append("2026-12-08", "19:40:01.123  基站01 手持012  手持确认");
  }
  const std::string once = Utf8ToGbk("19:40:01.123  基站01 手持012  手持确认") + "\r\n";
  EXPECT_EQ(ReadBytes(dir.Path() / "2026-12-08.txt"), once + once);
}

}  // namespace
}  // namespace ol::testing
