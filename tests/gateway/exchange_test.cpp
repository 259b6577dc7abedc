// Events that meet inside the waits of an exchange: a reply's first interval, a restart of
// polling, a newer exchange's request, a message box held open.
#include "core/text_file.h"
#include "gateway_fixture.h"
#include "testing/one_shot.h"

namespace ol::testing {
namespace {

constexpr char kStampA[] = "0A0000000001";
constexpr char kStampB[] = "0B0000000002";
constexpr char kConfirm[] = "040105000000000000";

class ExchangeTest : public GatewayTest {
 protected:
  ExchangeTest() { Connect({1, 2}); }

  // Handheld 005 of station 1 asks; its request reaches the host.
  void RequestFromA() {
    gw.GetPolling().ComTimerTimer();
    Port(1).ReceiveHex("A50105");
    Port(1).ReceiveHex(BuildPackets(1, 5, 0x53, "T01", kStampA)[0]);
    ASSERT_EQ(host.posted.size(), 1u);
  }
  // Handheld hh of station 2 answers the poll it was sent and uploads at once.
  void RequestFromB(int hh = 10) {
    Port(2).ReceiveHex("A502" + IntToHex(hh));
    Port(2).ReceiveHex(BuildPackets(2, hh, 0x53, "T02", kStampB)[0]);
  }
  // The host's reply for A: long, so its first interval lasts about 0.9 s.
  void HostRepliesToA() {
    txt.Write("R1.txt", "DC\r\n" + std::string(780, 'a'));
    gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
  }
  static std::vector<std::string> Replies(std::vector<std::string> sent) {
    std::vector<std::string> replies;
    for (auto& s : sent)
      if (s.starts_with("03")) replies.push_back(s);
    return replies;
  }
  static std::size_t Polls(const std::vector<std::string>& sent) {
    std::size_t n = 0;
    for (auto& s : sent) n += s.size() == 10 && s.starts_with("AA") ? 1 : 0;
    return n;
  }
};

// A's reply is in its first interval when polling is restarted (a station's channel
// answer, the operator's screens): no other handheld is polled into A's exchange, A's
// resends run their course, and polling resumes after A's confirmation.
class RestartDuringFirstInterval : public ExchangeTest,
                                   public ::testing::WithParamInterface<int> {};

TEST_P(RestartDuringFirstInterval, LeavesTheExchangeToItsHandheld) {
  RequestFromA();
  Port(2).TakeSent();
  OneShot restart(loop, 400, [&] {
    if (GetParam() == 0)
      Port(2).ReceiveHex("AA4F000600BB");
    else
      form.TimerNamed("ComTimer").SetEnabled(true);
  });
  HostRepliesToA();
  loop.Advance(1000);  // the first resend
  EXPECT_EQ(Polls(Port(2).TakeSent()), 0u);
  auto toA = Replies(Port(1).TakeSent());
  ASSERT_EQ(toA.size(), 2u);
  EXPECT_EQ(toA[0], toA[1]);
  EXPECT_EQ(toA[0].substr(18, 12), kStampA);
  Port(1).ReceiveHex(kConfirm);
  loop.Advance(300);
  EXPECT_GT(Polls(Port(2).TakeSent()), 0u);
  EXPECT_TRUE(Replies(Port(1).TakeSent()).empty());
}

INSTANTIATE_TEST_SUITE_P(ChannelAnswerOrOperator, RestartDuringFirstInterval,
                         ::testing::Values(0, 1));

// A confirms during its first interval; B's whole exchange falls into A's wait. B's reply
// signal is B's own: it is relayed to B, and A's wait, resuming into B's exchange, sends
// nothing more.
TEST_F(ExchangeTest, ANewerExchangeInsideAReplysFirstIntervalGetsItsReply) {
  RequestFromA();
  OneShot confirm(loop, 300, [&] { Port(1).ReceiveHex(kConfirm); });
  OneShot bAsks(loop, 400, [&] { RequestFromB(); });  // polled at 370
  OneShot hostAnswersB(loop, 500, [&] {
    txt.Write("R1.txt", "DC   010\r\nB-OK\r\n");
    gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
  });
  HostRepliesToA();
  loop.Advance(5000);
  EXPECT_EQ(host.posted.size(), 2u);
  auto toB = Replies(Port(2).TakeSent());
  ASSERT_FALSE(toB.empty());
  for (auto& r : toB) {
    EXPECT_TRUE(r.starts_with("03020A55555500")) << r;
    EXPECT_EQ(r.substr(18, 12), kStampB);
  }
  EXPECT_EQ(Replies(Port(1).TakeSent()).size(), 1u);
}

// A host that names another handheld in its reply's first line is answering somebody
// else's request: the current handheld does not get it.
TEST_F(ExchangeTest, AReplyNamingAnotherHandheldIsNotSent) {
  RequestFromA();
  txt.Write("R1.txt", "DC   007\r\nfor 007\r\n");
  gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
  EXPECT_TRUE(Replies(Port(1).TakeSent()).empty());
  txt.Write("R1.txt", "DC   005\r\nfor 005\r\n");
  gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
  EXPECT_EQ(Replies(Port(1).TakeSent()).size(), 1u);
}

// While A's relay waits, B's request raises a box that stays open past B's exchange
// limit: B's expiry is B's own, so polling resumes during the box and after it.
TEST_F(ExchangeTest, ABoxOutlastingANewerExchangeDoesNotStopPolling) {
  boxes.Hold(loop, 12000);
  RequestFromA();
  OneShot confirm(loop, 300, [&] { Port(1).ReceiveHex(kConfirm); });
  OneShot bAsks(loop, 400, [&] { RequestFromB(11); });  // 011 is not registered
  HostRepliesToA();
  ASSERT_EQ(boxes.texts.size(), 1u);
  Port(1).TakeSent();
  Port(2).TakeSent();
  loop.Advance(1000);
  EXPECT_GT(Polls(Port(1).TakeSent()) + Polls(Port(2).TakeSent()), 10u);
  EXPECT_TRUE(form.TimerNamed("ComTimer").Enabled());
}

// The activity log cannot be written and its box stays open past the exchange: the host
// was told of the request before the box, while the exchange was open, so nobody has to
// be there for it to reach the host; a silent host still ends in the no-reply text.
TEST_F(ExchangeTest, ARequestWhoseLogCannotBeWrittenReachesTheHostBeforeItsBox) {
  std::filesystem::create_directory(dir.Path() / "TXT" / "logfile.txt");
  boxes.Hold(loop, 12000);
  gw.GetPolling().ComTimerTimer();
  Port(1).ReceiveHex("A50105");
  Port(1).ReceiveHex(BuildPackets(1, 5, 0x53, "T01", kStampA)[0]);
  EXPECT_EQ(host.posted.size(), 1u);
  EXPECT_EQ(boxes.texts.size(), 1u);
  auto toA = Replies(Port(1).TakeSent());
  ASSERT_EQ(toA.size(), 1u);
  EXPECT_EQ(toA[0].substr(30, 2), "4D");  // the no-reply text
}

}  // namespace
}  // namespace ol::testing
