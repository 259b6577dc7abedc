#include "gateway_fixture.h"

namespace ol::testing {
namespace {

class PollingTest : public GatewayTest {};

TEST_F(PollingTest, StationsTakeTurnsAndHandheldsRotateWithinEach) {
  form["PADLIST1"].SetLines({"001", "002"});
  form["ListBox2"].SetLines({"01 001", "01 002", "02 010"});
  Connect({1, 2});
  form.TimerNamed("ComTimer").SetEnabled(true);
  std::vector<std::string> polls;
  for (int i = 0; i < 5; ++i) {
    loop.Advance(70);
    for (int s : {1, 2})
      for (auto& f : Port(s).TakeSent()) polls.push_back(std::to_string(s) + "/" + f.substr(4, 2));
  }
  EXPECT_EQ(polls, (std::vector<std::string>{"1/01", "2/0A", "1/02", "2/0A", "1/01"}));
}

TEST_F(PollingTest, NotConnectedAndEmptySlotsTakeTheirTurnSilently) {
  Connect({1, 2});
  StationStatus(form, 2).SetText(kNotConnected);
  form.TimerNamed("ComTimer").SetEnabled(true);
  loop.Advance(70 * 4);
  EXPECT_EQ(Port(1).TakeSent().size(), 2u);
  EXPECT_TRUE(Port(2).Sent().empty());
  form["PADLIST1"].ClearLines();
  loop.Advance(70 * 4);
  EXPECT_TRUE(Port(1).Sent().empty());
}

// Whatever restarts polling during a handheld's exchange (a station's channel answer, the
// operator's screens), the exchange keeps its timers and ends by itself; the first tick
// after it resets the exchange state.
TEST_F(PollingTest, ARestartDuringAnExchangeWaitsForItsEnd) {
  Connect({1, 2});
  gw.GetPolling().ComTimerTimer();
  Port(1).ReceiveHex("A50105");
  Port(1).TakeSent();
  form.TimerNamed("ComTimer").SetEnabled(true);
  Port(2).ReceiveHex("AA4F000600BB");
  loop.Advance(1000);
  EXPECT_TRUE(form.TimerNamed("Timer4").Enabled());
  EXPECT_TRUE(form.TimerNamed("Timer7").Enabled());
  EXPECT_FALSE(form.TimerNamed("ComTimer").Enabled());
  EXPECT_TRUE(Port(2).Sent().empty());
  loop.Advance(3000);  // the eleventh repetition without a packet ends the exchange
  EXPECT_FALSE(form.TimerNamed("Timer4").Enabled());
  EXPECT_FALSE(form.TimerNamed("Timer7").Enabled());
  EXPECT_TRUE(gw.GetPolling().PollReplyFlag());
  EXPECT_TRUE(gw.Receive().Accumulator(1).empty());
  EXPECT_EQ(gw.GetUpload().PacketTotal(), 1);
  EXPECT_FALSE(gw.GetUpload().PacketGood());
  EXPECT_FALSE(Port(2).Sent().empty());
}

TEST_F(PollingTest, ALateRequestPendingAnswerOpensNoExchange) {
  Connect({1});
  gw.GetPolling().ComTimerTimer();  // polls 005
  gw.GetPolling().ComTimerTimer();  // polls 007
  Port(1).TakeSent();
  Port(1).ReceiveHex("A50105");  // 005 answers late
  EXPECT_TRUE(Port(1).Sent().empty());
  EXPECT_TRUE(gw.GetPolling().PollReplyFlag());
  EXPECT_FALSE(form.TimerNamed("Timer4").Enabled());
}

}  // namespace
}  // namespace ol::testing
