// Events that meet inside the waits of an exchange: a reply's first interval, a restart of
// polling, a newer exchange's request, a message box held open.
#include "core/gbk.h"
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
    PollUntil(1, 5);
    Port(1).ReceiveHex("A50105");
    Port(1).ReceiveHex(BuildPackets(1, 5, 0x53, "T01", kStampA)[0]);
    ASSERT_EQ(host.posted.size(), 1u);
  }
  // Handheld 010 of station 2, just polled, answers and uploads at once.
  void RequestFromB() {
    Port(2).ReceiveHex("A5020A");
    Port(2).ReceiveHex(BuildPackets(2, 10, 0x53, "T02", kStampB)[0]);
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
  // The texts of the reply frames among sent (codes other than 4C, short texts).
  static std::vector<std::string> ReplyTexts(const std::vector<std::string>& sent) {
    std::vector<std::string> texts;
    for (auto& r : Replies(sent)) texts.push_back(HexToBytes(r.substr(32, r.size() - 44)));
    return texts;
  }
  void HostWrites(const std::string& r1) {
    txt.Write("R1.txt", r1);
    gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
  }
  static std::size_t Polls(const std::vector<std::string>& sent) {
    std::size_t n = 0;
    for (auto& s : sent) n += s.size() == 10 && s.starts_with("AA") ? 1 : 0;
    return n;
  }
};

// A's reply is in its first interval when polling is restarted (a station's channel
// answer, the operator's screens): no other handheld is polled into A's exchange, A's
// resends run their course, and polling resumes after them.
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
  loop.Advance(1900);  // read at 120, first interval to 982, the first resend at 1844
  EXPECT_EQ(Polls(Port(2).TakeSent()), 0u);
  auto toA = Replies(Port(1).TakeSent());
  ASSERT_EQ(toA.size(), 2u);
  EXPECT_EQ(toA[0], toA[1]);
  EXPECT_EQ(toA[0].substr(18, 12), kStampA);
  // That resend used up the budget: polling resumes one interval later (2706).
  loop.Advance(800);
  EXPECT_EQ(Polls(Port(2).TakeSent()), 0u);
  loop.Advance(200);
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

// A reply that names a handheld owed an older reply answers that older request, whatever
// handheld is being answered now; naming nobody owed, the digits are the host's own text.
TEST_F(ExchangeTest, AReplyNamingAnotherOwedHandheldIsNotSent) {
  RequestFromA();
  FinishExchange();  // A's host was slow: A is still owed its reply
  PollUntil(2, 10);
  RequestFromB();
  HostWrites("DC   005\r\nfor 005\r\n");
  loop.Advance(ReplyRelay::kReadAfterSignal);
  EXPECT_TRUE(Replies(Port(2).TakeSent()).empty());
  HostWrites("DC   007\r\nfor 010\r\n");
  loop.Advance(ReplyRelay::kReadAfterSignal);
  EXPECT_EQ(ReplyTexts(Port(2).TakeSent()), (std::vector<std::string>{"for 010\r\n"}));
}

// While A's relay waits, B's request raises a box that stays open past B's exchange
// limit: B's expiry is B's own, so polling resumes during the box and after it.
TEST_F(ExchangeTest, ABoxOutlastingANewerExchangeDoesNotStopPolling) {
  boxes.Hold(loop, 12000);
  form["ListBox2"].SetLines({"01 005", "01 007"});  // 010 is polled, but not registered
  RequestFromA();
  OneShot confirm(loop, 300, [&] { Port(1).ReceiveHex(kConfirm); });
  OneShot bAsks(loop, 400, [&] { RequestFromB(); });  // polled at 370
  HostRepliesToA();
  loop.Advance(400);
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

// A's host is slow: A gets the no-reply text at the limit. The host's late answer to A is
// signalled while B (station 2) is uploading, 30 ms before B's request reaches the host:
// it must not reach B, and B's own answer, signalled 350 ms later, must. The late answer
// stays on record in logfile.txt and R2.txt.
TEST_F(ExchangeTest, ALateReplyNeverReachesTheNextWaiter) {
  for (const std::size_t late : {std::size_t{6}, std::size_t{700}}) {
    SCOPED_TRACE(late);
    RequestFromA();
    loop.Advance(ReplyRelay::kExchangeTime);
    ASSERT_EQ(ReplyTexts(Port(1).TakeSent()).size(), 1u);  // the no-reply text
    loop.AdvanceUntil([&] { return Polls(Port(2).TakeSent()) > 0; }, 1000);
    const auto b = BuildPackets(2, 10, 0x53, "T02" + std::string(100, 'b'), kStampB);
    Port(2).ReceiveHex("A5020A");
    Port(2).ReceiveHex(b[0]);
    HostWrites("DC\r\nA-LATE" + std::string(late - 6, 'a'));
    loop.Advance(30);
    Port(2).ReceiveHex(b[1]);
    Port(2).ReceiveHex(b[2]);
    loop.Advance(320);
    HostWrites("DC\r\nB-OK");
    loop.Advance(3000);
    const auto toB = ReplyTexts(Port(2).TakeSent());
    ASSERT_FALSE(toB.empty());
    for (const auto& t : toB) EXPECT_EQ(t, "B-OK\r\n");
    EXPECT_NE(txt.Read("logfile.txt").value().find("A-LATE"), std::string::npos);
    FinishExchange();
    host.posted.clear();
  }
  EXPECT_EQ(loop.MaxWaitDepth(), 0);
}

// An operator's dialog (any nested loop) opened inside the relay's steps and kept open for
// a minute: the reply goes out on time, is resent, and polling goes on around it.
TEST_F(ExchangeTest, ADialogOpenInsideTheRelayHoldsNothingBack) {
  struct Case {
    const char* name;
    Millis openAt;   // after the reply-ready signal
    bool lostFrame;  // the handheld never confirms
  } cases[] = {{"during the read's wait", 50, false}, {"after the first frame", 130, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RequestFromA();
    std::size_t repliesInDialog = 0, pollsInDialog = 0;
    OneShot dialog(loop, c.openAt, [&] {
      OneShot look(loop, 5000, [&] {
        auto sent = Port(1).TakeSent();
        auto other = Port(2).TakeSent();
        repliesInDialog = Replies(sent).size();
        pollsInDialog = Polls(sent) + Polls(other);
      });
      OneShot confirm(loop, 100, [&] {  // after the first frame, before its resend
        if (!c.lostFrame) Port(1).ReceiveHex(kConfirm);
      });
      loop.Delay(60, 0);
    });
    HostWrites("DC\r\nA-OK");
    loop.Advance(c.openAt + 1);
    if (c.lostFrame)
      EXPECT_GT(repliesInDialog, 10u);
    else
      EXPECT_EQ(repliesInDialog, 1u);
    EXPECT_GT(pollsInDialog, 20u);
    FinishExchange();
    host.posted.clear();
  }
}

// Once the request is with the host, a repeat of its last packet (its OK was lost) or a
// packet of another handheld is answered, but the exchange keeps the host's time: the
// host's answer at 5 s reaches the handheld.
TEST_F(ExchangeTest, PacketsAfterTheHandOverDoNotCutTheHostShort) {
  const std::string packet = BuildPackets(1, 5, 0x53, "T01", kStampA)[0];
  std::string garbled = packet;
  garbled[60] = garbled[60] == '0' ? '1' : '0';
  const std::string other = BuildPackets(1, 7, 0x53, "T07", kStampB)[0];
  for (const std::string& again : {garbled, packet, other}) {
    RequestFromA();
    loop.Advance(500);
    Port(1).ReceiveHex(again);
    loop.Advance(4500);
    HostWrites("DC   005\r\nA-OK");
    loop.Advance(200);
    const auto texts = ReplyTexts(Port(1).TakeSent());
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "A-OK\r\n");
    EXPECT_EQ(host.posted.size(), 1u);  // a repeat is not handed over twice
    host.posted.clear();
    Port(1).ReceiveHex(kConfirm);
    FinishExchange();
  }
}

// The host signals again before it has written B's reply: R1.txt still holds A's, read for
// A, and is not sent to B. Written anew, even with the same text, it is B's.
TEST_F(ExchangeTest, AnR1ReadForAnotherRequestIsNotSentAgain) {
  RequestFromA();
  HostWrites("DC\r\nSAME");
  loop.Advance(ReplyRelay::kReadAfterSignal);
  Port(1).ReceiveHex(kConfirm);
  loop.Advance(100);
  RequestFromB();
  gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
  loop.Advance(ReplyRelay::kReadAfterSignal);
  EXPECT_TRUE(Replies(Port(2).TakeSent()).empty());
  HostWrites("DC\r\nSAME");
  loop.Advance(ReplyRelay::kReadAfterSignal);
  EXPECT_EQ(ReplyTexts(Port(2).TakeSent()), (std::vector<std::string>{"SAME\r\n"}));
}

// A confirmation from another station during the host's wait is refused and leaves nothing
// behind: the real one then ends the resending at once.
TEST_F(ExchangeTest, AStrayConfirmationDoesNotHideTheRealOne) {
  RequestFromA();
  Port(2).ReceiveHex("04020A000000000000");
  HostWrites("DC\r\nA-OK");
  loop.Advance(ReplyRelay::kReadAfterSignal + 10);
  Port(1).ReceiveHex(kConfirm);
  loop.Advance(3000);
  EXPECT_EQ(Replies(Port(1).TakeSent()).size(), 1u);
  EXPECT_FALSE(gw.Relay().ReplyPending());
}

// A host that posts reply-ready on every poll tick for a minute: nothing nests, the one
// reply is sent once, and the later signals are kept apart from the next exchanges.
TEST_F(ExchangeTest, AFloodOfReplySignalsNestsNothing) {
  RequestFromA();
  txt.Write("R1.txt", "DC   005\r\nA-OK");
  Timer flood(loop, 70);
  flood.OnTimer = [&] { gw.Relay().HandleHostMessage({kHostMessage, 0, 1}); };
  flood.SetEnabled(true);
  OneShot confirm(loop, 250, [&] { Port(1).ReceiveHex(kConfirm); });
  loop.Advance(60000);
  flood.SetEnabled(false);
  EXPECT_EQ(loop.MaxWaitDepth(), 0);
  EXPECT_EQ(ReplyTexts(Port(1).TakeSent()).size(), 1u);
  EXPECT_TRUE(ReplyTexts(Port(2).TakeSent()).empty());
  EXPECT_LT(loop.ActiveTimers(), 20u);
}

// At the exchange's limit: a reply signalled 10 ms before it is still the host's answer the
// handheld gets (the journal says the limit was passed for it); a signal whose R1.txt never
// appears ends in the no-reply text, not in silence.
TEST_F(ExchangeTest, TheLimitGivesTheHandheldAnAnswer) {
  struct Case {
    const char* name;
    bool fileWritten;
    const char* text;
  } cases[] = {{"signalled 10 ms before the limit", true, "A-OK"},
               {"signalled, R1.txt never written", false, "信息上传完毕,"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir.Path() / "TXT" / "R1.txt");
    RequestFromA();
    loop.Advance(ReplyRelay::kExchangeTime - 10);
    if (c.fileWritten) txt.Write("R1.txt", "DC\r\nA-OK");
    gw.Relay().HandleHostMessage({kHostMessage, 0, 1});
    loop.Advance(10 + ReplyRelay::kReadAfterSignal);
    const auto texts = ReplyTexts(Port(1).TakeSent());
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_TRUE(texts[0].starts_with(Utf8ToGbk(c.text))) << texts[0];
    loop.Advance(4000);
    EXPECT_TRUE(form.TimerNamed("ComTimer").Enabled());
    FinishExchange();
    host.posted.clear();
  }
}

}  // namespace
}  // namespace ol::testing
