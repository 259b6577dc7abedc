#include <algorithm>

#include "gateway/handheld_gateway.h"
#include "stations_fixture.h"
#include "testing/one_shot.h"
#include "testing/request_packets.h"

namespace ol::testing {
namespace {

using Lines = std::vector<std::string>;

class NoHost : public HostLink {
 public:
  WindowHandle OwnHandle() const override { return 1; }
  void Post(WindowHandle, std::uint32_t, std::uint32_t, std::uint32_t) override {}
  bool WindowExists(WindowHandle) const override { return true; }
};

// The load against the gateway's own receive path and polling, wired as the program
// wires them.
class WithReceivePathTest : public StationsTest {
 protected:
  WithReceivePathTest() {
    for (int n = 1; n <= 4; ++n) gw.AttachStationPort(Port(n));
    form.TimerNamed("ComTimer").SetInterval(70);
    form.TimerNamed("ComTimer").OnTimer = [this] { gw.GetPolling().ComTimerTimer(); };
    hooks.clearReceiveBuffer = [this](int slot) { gw.Receive().ClearAccumulator(slot); };
    hooks.resetPolling = [this] {
      gw.GetPolling().ResetPollCursors();
      gw.GetPolling().ClearConnectedStations();
    };
    hooks.clearConnectedStations = [this] { gw.GetPolling().ClearConnectedStations(); };
    hooks.clearPollReplyFlag = [this] { gw.GetPolling().ClearPollReply(); };
  }

  NoHost host;
  HandheldGateway gw{GatewayEnv{loop, form, comms, txt, boxes, host}};
};

TEST_F(WithReceivePathTest, AnswerDuringTheWaitConnectsAndPollingRunsWhileTheNextSlotLoads) {
  WriteTxt("JZ.txt", "01 09 COM3\r\n02 07 COM4\r\n");
  WriteTxt("DCJ.txt", "01 005\r\n");
  answerChannel[1] = 4;  // station 1 answers on channel 05, station 2 is mute
  setup.FormCreate();

  EXPECT_EQ(StationStatus(form, 1).Text(), "05");
  EXPECT_EQ(form["PDID1"].Text(), "05");
  EXPECT_EQ(StationStatus(form, 2).Text(), kNotConnected);
  EXPECT_EQ(gw.GetPolling().ConnectedCount(), 1);
  EXPECT_TRUE(form.TimerNamed("ComTimer").Enabled());
  // Slot 1 was polled during slot 2's waits, once its handheld list was filled.
  std::size_t polls = 0;
  for (const std::string& frame : Port(1).Sent()) polls += frame == "AA010500B0";
  EXPECT_GE(polls, 3u);

  // The refresh forgets the connection until the station answers again.
  answerChannel[1] = -1;
  setup.ToolButton3Click();
  EXPECT_EQ(gw.GetPolling().ConnectedCount(), 0);
  EXPECT_EQ(StationStatus(form, 1).Text(), kNotConnected);
  EXPECT_FALSE(form.TimerNamed("ComTimer").Enabled());
}

// Station 1 came back silent and is asked for its channel every interval while station
// 2's handheld uploads: a packet whose chunks straddle a query still arrives whole.
TEST_F(WithReceivePathTest, ARecoveryQueryLeavesAnotherStationsPacketWhole) {
  WriteTxt("JZ.txt", "01 09 COM3\r\n02 07 COM4\r\n");
  WriteTxt("DCJ.txt", "01 005\r\n02 010\r\n");
  answerChannel[1] = 4;
  answerChannel[2] = 6;
  setup.FormCreate();
  ASSERT_EQ(gw.GetPolling().ConnectedCount(), 2);
  answerChannel[1] = -1;
  setup.LineLost(1);

  // The first retry comes after the interval and sends its query 100 ms later.
  auto queries = [this] {
    return std::count(Port(1).Sent().begin(), Port(1).Sent().end(), "AA400000BB");
  };
  const std::string packet = BuildPackets(2, 10, 0x4C, "1234567890ABCDEFGHIJKLMN")[0];
  std::ptrdiff_t queriesBefore = -1, queriesAfter = -1;
  OneShot pending(loop, 2040, [this] {
    // Only the handheld just polled opens an upload.
    for (int tick = 0; tick < 4 && gw.GetPolling().PolledSlot() != 2; ++tick)
      gw.GetPolling().ComTimerTimer();
    Port(2).TakeSent();  // the polls
    Port(2).ReceiveHex("A5020A");
  });
  OneShot head(loop, 2080, [&] {
    queriesBefore = queries();
    Port(2).ReceiveHex(packet.substr(0, 60));
  });
  OneShot tail(loop, 2120, [&] {
    queriesAfter = queries();
    Port(2).ReceiveHex(packet.substr(60));
  });
  loop.Advance(2200);
  ASSERT_EQ(queriesAfter, queriesBefore + 1);

  // The upload opens with "NO" and the packet is confirmed with "OK".
  std::string no = "02020A01014E4F", ok = "02020A01014F4B";
  EXPECT_EQ(Port(2).TakeSent(), (Lines{no + FrameCheck(no), ok + FrameCheck(ok)}));
}

}  // namespace
}  // namespace ol::testing
