#include <gtest/gtest.h>

#include <regex>

#include "app/gateway.h"
#include "core/gbk.h"
#include "gateway/gateway_fixture.h"
#include "monitor/monitor.h"
#include "stationsim/sim_station.h"
#include "testing/in_memory_host_link.h"

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
  using GatewayTest::gw, GatewayTest::loop, GatewayTest::Port, GatewayTest::txt;
  Monitor monitor{loop, form, comms, dir.Path() / "journal", {}, false};
};

// Recorded traffic, split and corrupted as the radio delivers it, read back in words.
TEST(TrafficWords, RecordedTrafficReadsInWords) {
  const std::string dc = BuildPackets(1, 5, 0x53, std::string("T01    X001Y00000000001") + '\0')[0];
  const auto kt = BuildPackets(1, 5, 0x4E, "A01204" + std::string(100, 'x'));
  std::string bad = kt[1];
  bad[40] = bad[40] == '0' ? '1' : '0';
  const auto dl = BuildPackets(1, 9, 0x4C, "1001      8888");
  struct Step {
    // p: poll tick; r: chunk received on slot 1 (hex); h: the host replies; w: wait ms;
    // c: the accumulator and the poll-reply flag cleared, as a download does
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
       {{'p', ""}, {'r', "A50109"}, {'w', "700"}, {'r', dl[0]}, {'w', "12000"}},
       {"轮询（最近 基站01 手持005）", "基站01 手持009 请求待传",
        "基站01 手持009 重发应答 NO（等待请求包 1/1） ×2",
        "基站01 手持009 请求包 1/1 已收，已回 OK", "基站01 手持009 手持未注册，请求未交主机",
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
        "基站01 确认不属于当前回复，已忽略", "基站01 无法识别的数据 4109 字节，已清除"}},
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
          break;
        case 'w':
          rig.loop.Advance(std::stoi(s.data));
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

}  // namespace
}  // namespace ol::testing
