#include "gateway/handheld_gateway.h"
#include "stations_fixture.h"

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
    hooks.clearReceiveBuffer = [this] { gw.Receive().ClearAccumulator(); };
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

}  // namespace
}  // namespace ol::testing
